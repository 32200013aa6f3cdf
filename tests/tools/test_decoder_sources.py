"""Decoder's sources: signature texts and JSON ABIs as given, their failures, de-duplication
and order, hostile sizes, and everything else decoding exactly as kestrix does."""

from __future__ import annotations

import json
import sys
from typing import Any

import kestrix
import pytest
from Crypto.Hash import keccak
from eth_abi import encode
from hypothesis import given, settings, strategies as st

from kestrix_tools import Decoder, _native


def selector(signature: str) -> bytes:
    return keccak.new(digest_bits=256, data=signature.encode()).digest()[:4]


def inputs(decoder: Decoder, signature: str, types: list[str], args: list[Any]) -> list[Any]:
    got = decoder.decode(selector(signature) + encode(types, args))
    assert got["kind"] == "custom_error", got
    return json.loads(got["inputs"])


UINT5 = {"type": "uint", "value": 5}
UINT7 = {"type": "uint", "value": 7}


@pytest.mark.parametrize(("text", "canonical", "names", "args"), [
    ("error InsufficientFunds(uint256 available, uint256 required)", "InsufficientFunds(uint256,uint256)",
     ["available", "required"], [5, 7]),
    ("InsufficientFunds(uint256,uint256)", "InsufficientFunds(uint256,uint256)", ["", ""], [5, 7]),
    ("  error\tInsufficientFunds ( uint available ,uint required ) ; ", "InsufficientFunds(uint256,uint256)",
     ["available", "required"], [5, 7]),
    ("Mixed(int, uint8 $x)", "Mixed(int256,uint8)", ["", "$x"], [-5, 7]),
    ("error error(uint256 error)", "error(uint256)", ["error"], [5]),
    ("Padded(uint008 a, bytes01 [ 01 ] b)", "Padded(uint8,bytes1[1])", ["a", "b"], [5, [b"\x07"]]),
    ("Status(Lib.State s)", "Status(uint8)", ["s"], [2]),
    ("Refund(address payable to, address payable[] others)", "Refund(address,address[])", ["to", "others"],
     ["0x" + "11" * 20, []]),
    ("error Said(string memory why, bytes calldata raw)", "Said(string,bytes)", ["why", "raw"], ["no", b""]),
])
def test_signature_forms(text: str, canonical: str, names: list[str], args: list[Any]) -> None:
    decoder = Decoder(signatures=[text])
    assert decoder.errors == (canonical,)
    got = inputs(decoder, canonical, canonical[canonical.index("(") + 1:-1].split(","), args)
    assert [name for name, _ in got] == names


@pytest.mark.parametrize(("text", "message"), [
    ("", "expected the error's name at character 0, found the end"),
    ("Foo", "expected '(' at character 3"),
    ("Foo(uint256", "expected ',' or ')' at character 11, found the end"),
    ("Foo(uint256,)", "expected a type at character 12"),
    ("Foo(,uint256)", "expected a type at character 4"),
    ("Foo(uint256 a b)", "expected ',' or ')' at character 14, found 'b'"),
    ("Foo(uint256) trailing", "expected the end of the signature"),
    ("event Moved(address indexed from, uint256 value)", "only errors are read, not an event at character 0"),
    ("function f(uint256 amount) returns (bool)", "only errors are read, not a function"),
    ("Foo(payable)", "unknown type 'payable'"),
    ("Foo(uint7)", "parameter 1: invalid size in type 'uint7'"),
    ("Foo(bool, bytes33)", "parameter 2: invalid size in type 'bytes33'"),
    ("Foo(uint256[0])", "an array length must be at least 1"),
    ("Foo(uint256[18446744073709551616])", "array length 18446744073709551616 is too large"),
    ("Foo(IERC20 token)", "unknown type 'IERC20'"),
    ("Foo(tuple)", "a tuple type needs its components"),
    ("Foo(uint256[)", "expected ']'"),
    ("Foo(" + "(" * 17 + "bool" + ")" * 17 + ")", "tuples nested deeper than 16 levels"),
    ("Foo(bool" + "[]" * 17 + ")", "more than 16 array dimensions"),
    ("Foo(" + "(" * 10 + "bool[][][][][][][]" + ")" * 10 + ")", "nested deeper than 16 levels"),
])
def test_malformed_signatures_name_the_text(text: str, message: str) -> None:
    with pytest.raises(ValueError) as caught:
        Decoder(signatures=["Fine(uint256)", text])
    assert str(caught.value).startswith(f"signature {text[:60]!r}")
    assert message in str(caught.value)


ABI: list[dict[str, Any]] = [
    {"type": "constructor", "inputs": [{"name": "owner", "type": "address"}]},
    {"type": "function", "name": "withdraw", "inputs": [{"name": "x", "type": "not even a type"}], "outputs": []},
    {"type": "event", "name": "Moved", "inputs": [], "anonymous": False},
    {"type": "error", "name": "Empty", "inputs": []},
    {"type": "error", "name": "Orders", "inputs": [
        {"name": "batches", "type": "tuple[2][]", "internalType": "struct Order[2][]", "components": [
            {"name": "id", "type": "uint64"}, {"name": "tag", "type": "bytes3"}]},
        {"name": "when", "type": "uint"}]},
]


@pytest.mark.parametrize("form", ["list", "text", "bytes", "artifact"])
def test_json_abi_forms(form: str) -> None:
    given: Any = {"list": ABI, "text": json.dumps(ABI), "bytes": json.dumps(ABI).encode(),
                  "artifact": {"contractName": "Book", "abi": ABI}}[form]
    decoder = Decoder(abi=given)
    assert decoder.errors == ("Empty()", "Orders((uint64,bytes3)[2][],uint256)")
    assert inputs(decoder, "Empty()", [], []) == []
    got = inputs(decoder, decoder.errors[1], ["(uint64,bytes3)[2][]", "uint256"], [[], 7])
    assert got == [["batches", {"type": "array", "value": []}], ["when", UINT7]]


def error_entry(*inputs: dict[str, Any], name: Any = "Bad") -> dict[str, Any]:
    return {"type": "error", "name": name, "inputs": list(inputs)}


@pytest.mark.parametrize(("abi", "message"), [
    ('[{"type": "error", ', "abi: not valid JSON: Expecting property name enclosed in double quotes (line 1, column 20)"),
    ("[" * 100_000, "abi: JSON nested"),
    ('"just text"', "abi: neither a JSON ABI nor"),
    ([error_entry(), 5], "abi: ABI entry 1 is not an object"),
    ([error_entry(name="1st")], "abi: ABI entry 0: error name '1st' is not an identifier"),
    ([error_entry(name=None)], "abi: ABI entry 0: error name None is not an identifier"),
    ([{"type": "error", "name": "Bad", "inputs": {}}], "abi: ABI entry 0 (error Bad): \"inputs\" is not a list"),
    ([error_entry({"name": "x", "type": "uint7"})], "abi: ABI entry 0 (error Bad) input 0 (x): invalid size in type 'uint7'"),
    ([error_entry({"name": "x"})], "input 0 (x): \"type\" is missing or not a string"),
    ([error_entry({"name": 3, "type": "bool"})], "input 0: \"name\" is not a string"),
    ([error_entry({"type": "tuple[]"})], "input 0: a tuple type needs a \"components\" list"),
    ([error_entry({"type": "bool", "components": [{"type": "bool"}]})], "components given for type 'bool'"),
    ([error_entry({"type": "tuple", "components": [{"name": "inner", "type": "fixed128x18"}]})],
     "input 0 component 0 (inner): unknown type 'fixed128x18'"),
    ([error_entry({"type": "(uint256,bool)"})], "invalid type '(uint256,bool)'"),
])
def test_bad_json_abis_say_where_and_what(abi: Any, message: str) -> None:
    with pytest.raises(ValueError) as caught:
        Decoder(abi=abi)
    assert message in str(caught.value)


@pytest.mark.parametrize("limit", [1000, 100_000])  # importing web3 raises the limit to 100000
def test_deep_json_is_refused_whatever_the_recursion_limit(limit: int) -> None:
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        for text in ('{"a":' * 200_000, '[' * 6000 + '"]]' + ']' * 6000):
            with pytest.raises(ValueError, match="^abi: JSON nested"):
                Decoder(abi=text)
        depth = 400  # the refusal is about depth, not size
        fine = '[{"type": "error", "name": "E", "inputs": [], "x": ' + '[' * depth + '"[[["' + ']' * depth + '}]'
        assert Decoder(abi=fine).errors == ("E()",)
    finally:
        sys.setrecursionlimit(saved)


def test_deeply_nested_components_are_refused_without_recursing() -> None:
    param: dict[str, Any] = {"type": "bool"}
    for _ in range(50_000):
        param = {"type": "tuple", "components": [param]}
    with pytest.raises(ValueError, match="tuples nested deeper than 16 levels"):
        Decoder(abi=[error_entry(param)])


def test_wrong_argument_types() -> None:
    for kwargs in ({"abi": 5}, {"signatures": [b"Foo()"]}, {"signatures": 5}, {"paths": [3]}, {"paths": 3}):
        with pytest.raises(TypeError):
            Decoder(**kwargs)


def test_same_error_added_once_in_first_found_order() -> None:
    abi = [error_entry({"name": "a", "type": "uint256"}, name="One"), error_entry(name="Two"),
           error_entry({"name": "renamed", "type": "uint"}, name="One")]
    decoder = Decoder(abi=abi, signatures=["Three()", "error One(uint x)", "Two()", "One(uint8)"])
    assert decoder.errors == ("One(uint256)", "Two()", "Three()", "One(uint8)")
    assert inputs(decoder, "One(uint256)", ["uint256"], [5]) == [["a", UINT5]]


def test_user_errors_come_before_builtins_and_fall_through() -> None:
    builtin = "ERC20InsufficientBalance(address,uint256,uint256)"
    decoder = Decoder(signatures=["error ERC20InsufficientBalance(address a, uint256, uint256 c)"])
    assert decoder.errors == (builtin,)
    data = selector(builtin) + encode(["address", "uint256", "uint256"], ["0x" + "11" * 20, 5, 7])
    got = decoder.decode(data)
    # A copy without a hint of its own keeps the built-in's.
    assert (got["error_name"], got["suggestion"]) == ("ERC20InsufficientBalance", kestrix.decode_error(data.hex())["suggestion"])
    assert [name for name, _ in json.loads(got["inputs"])] == ["a", "", "c"]
    # A user error whose data do not decode is reported as kestrix reports data nothing explains.
    loose = Decoder(signatures=["Loose(string)"])
    data = selector("Loose(string)") + encode(["uint256"], [4096])  # an offset past the end of the data
    assert loose.decode(data) == kestrix.decode_error(data.hex())
    assert loose.decode(data)["kind"] == "raw_revert"


@pytest.mark.parametrize("data", [
    "", "0x", "08c379a0" + encode(["string"], ["Ownable: caller is not the owner"]).hex(),
    "0x4e487b71" + "00" * 31 + "11", "0xe450d38c" + encode(["address", "uint256", "uint256"], ["0x" + "5b" * 20, 1, 2]).hex(),
    "0xd93c0665", "0x" + selector("AccessControlUnauthorizedAccount(address,bytes32)").hex()
    + encode(["address", "bytes32"], ["0x" + "5b" * 20, b"\x01" * 32]).hex(),
    "0xdeadbeef", "0xdeadbe", "0x" + "AB" * 40,
])
def test_without_definitions_or_known_errors_decodes_as_kestrix(data: str) -> None:
    decoder = Decoder(known=False)
    assert decoder.errors == ()
    assert type(decoder.decode).__name__ == "builtin_function_or_method"  # no Python frame per call
    want = kestrix.decode_error(data)
    assert decoder.decode(data) == want
    # The built-ins answer the same behind user errors with other selectors.
    assert Decoder(signatures=["Other(uint256)"], known=False).decode(data) == want
    raw = bytes.fromhex(data[2:] if data.startswith("0x") else data)
    for form in (raw, bytearray(raw), memoryview(raw)):
        assert decoder.decode(form) == want
    for bad in ("0x0", "zz"):
        with pytest.raises(ValueError) as caught:
            kestrix.decode_error(bad)
        with pytest.raises(ValueError, match=str(caught.value)):
            decoder.decode(bad)


_JSON_VALUES = st.recursive(
    st.none() | st.integers() | st.text(alphabet='[]{}"\\\n abc\u00e9\U0001f600'),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(alphabet='[]{}"\\ ab'), inner, max_size=3),
    max_leaves=40)


def _depth(value: object) -> int:
    children = value.values() if isinstance(value, dict) else value if isinstance(value, list) else ()
    return (1 + max(map(_depth, children), default=0)) if isinstance(value, (list, dict)) else 0


@given(_JSON_VALUES, st.booleans())
@settings(max_examples=300, deadline=None)
def test_the_nesting_measure_counts_brackets_outside_strings(value: object, ascii_only: bool) -> None:
    text = json.dumps(value, ensure_ascii=ascii_only)
    depth = _depth(value)
    for limit in {max(depth - 1, 0), depth}:
        assert _native.json_nesting_exceeds(text.encode(), limit) == (depth > limit)
