"""Frames named from the known protocols' functions (data/known_functions.json) on real traces,
after the user's ABIs, and never by a guess where several known signatures share a selector."""

from __future__ import annotations

import importlib.metadata
import importlib.resources
import json
from typing import Any

import kestrix_tools
import pytest
from Crypto.Hash import keccak
from eth_abi import encode
from hypothesis import given, settings, strategies as st
from kestrix_tools import _known_functions, cli
from kestrix_tools._signature_text import parse_signature
from kestrix_tools.transaction import FunctionNames

from trace_data import TRACES, call_trace, flat_trace

A, B = "0x" + "11" * 20, "0x" + "22" * 20

# Real go-ethereum traces: trace -> (selector, name) of each frame whose selector the data holds.
REAL: dict[str, list[tuple[str | None, str | None]]] = {
    "oog": [("0xa9059cbb", "transfer")],
    "inner_throw_outer_revert": [("0xa9059cbb", "transfer")],
    "revert_reason": [("0x5c19a95c", "delegate")],
    "inner_revert_reason": [("0xc0406226", "run")],
    "inner_instafail": [("0x2e1a7d4d", "withdraw")],
    "withlog_tx_partial_failed": [("0xb61d27f6", "execute")],
}


def named(explained: kestrix_tools.transaction.Transaction) -> list[tuple[str | None, str | None]]:
    return [(f.selector, f.function) for f in explained.frames if f.function is not None]


@pytest.mark.parametrize("name", REAL)
def test_real_traces_name_the_known_functions_by_default(name: str) -> None:
    assert named(kestrix_tools.explain_trace(call_trace(name))) == REAL[name]
    assert named(kestrix_tools.explain_trace(call_trace(name), functions=FunctionNames(known=False))) == []


def test_flat_traces_and_the_trace_command_show_the_names(capsys: pytest.CaptureFixture[str]) -> None:
    assert named(kestrix_tools.explain_trace(flat_trace("oog"))) == REAL["oog"]
    # Selectors the data does not hold stay selectors.
    assert named(kestrix_tools.explain_trace(call_trace("deep_calls"))) == []
    assert cli.main(["trace", str(TRACES / "calltracer/revert_reason.json")]) == 0
    assert " delegate (0x5c19a95c)  reverted" in capsys.readouterr().out
    assert cli.main(["trace", "--json", str(TRACES / "flat/inner_throw_outer_revert.json")]) == 0
    assert [f["function"] for f in json.loads(capsys.readouterr().out)["frames"]] == [None, "transfer"]


def selector(signature: str) -> str:
    return "0x" + keccak.new(digest_bits=256, data=signature.encode()).hexdigest()[:8]


def call(signature: str, types: list[str], values: list[object], extra: bytes = b"") -> str:
    return selector(signature) + (encode(types, values) + extra).hex()


TRANSFER_FROM = call("transferFrom(address,address,uint256)", ["address", "address", "uint256"], [A, B, 5])
LOOK_ALIKE = "func_60iHVgK(address,address,uint256,uint256,address)"
DEPOSIT_TYPES = ["address", "address", "uint256", "uint256", "int64", "uint32", "bytes", "uint256"]
DEPOSIT = call("deposit(address,address,uint256,uint256,int64,uint32,bytes,uint256)", DEPOSIT_TYPES,
               [A, B, 1, 2, -3, 4, b"hello", 6])


@pytest.mark.parametrize(("data", "name"), [
    # 0x23b872dd holds transferFrom and three of 1inch's look-alikes: the one the input fits.
    (TRANSFER_FROM, "transferFrom"),
    (call(LOOK_ALIKE, ["address", "address", "uint256", "uint256", "address"], [A, B, 1, 2, A]), "func_60iHVgK"),
    (call("func_801zDya(address,address,uint256,((address,uint256),uint256,uint256),bytes32,bytes)",
          ["address", "address", "uint256", "((address,uint256),uint256,uint256)", "bytes32", "bytes"],
          [A, B, 1, ((A, 2), 3, 4), b"\x07" * 32, b"\x01" * 40]), "func_801zDya"),
    # Fits none of them exactly (one more word), or is cut short: the selector alone.
    (call("transferFrom(address,address,uint256)", ["address", "address", "uint256"], [A, B, 5], b"\0" * 32), None),
    (TRANSFER_FROM[:-2], None),
    # Across's deposit and its renamed copy take the same parameters: every input fits both.
    (DEPOSIT, None),
    # One known signature: named when the input decodes.
    (call("transfer(address,uint256)", ["address", "uint256"], [A, 7]), "transfer"),
    (call("transfer(address,uint256)", ["address", "uint256"], [A, 7])[:40], None),
])
def test_shared_selectors_name_only_the_signature_the_input_fits_exactly(data: str, name: str | None) -> None:
    assert FunctionNames()(data) == name


def test_the_users_functions_come_first_and_each_input_is_judged_on_its_own() -> None:
    abi = [{"type": "function", "name": "func_60iHVgK", "inputs": [
        {"name": n, "type": t} for n, t in zip("abcde", ["address", "address", "uint256", "uint256", "address"])]}]
    # Six words fit no known signature exactly; the user's function decodes them.
    six = call(LOOK_ALIKE, ["address", "address", "uint256", "uint256", "address"], [A, B, 1, 2, A], b"\0" * 32)
    assert FunctionNames(abi=abi)(six) == "func_60iHVgK" and FunctionNames()(six) is None
    assert FunctionNames(abi=abi)(TRANSFER_FROM) == "transferFrom"
    assert FunctionNames(abi=abi, known=False)(TRANSFER_FROM) is None
    # The same selector again: a short input first must not decide for a whole one.
    names = FunctionNames()
    assert [names(TRANSFER_FROM[:-2]), names(TRANSFER_FROM), names(DEPOSIT)] == [None, "transferFrom", None]


def test_the_data_is_read_once_and_only_when_a_call_is_named() -> None:
    _known_functions._index.cache_clear()
    _known_functions._built.clear()
    names = FunctionNames()
    assert _known_functions._index.cache_info().currsize == 0
    kestrix_tools.explain_trace(call_trace("oog"))
    names(TRANSFER_FROM)
    info = _known_functions._index.cache_info()
    assert (info.misses, info.currsize) == (1, 1)


def test_the_known_functions_are_installed_with_the_package() -> None:
    distributions = importlib.metadata.packages_distributions()["kestrix_tools"]
    files = {str(f).replace("\\", "/") for d in distributions for f in importlib.metadata.files(d) or []}
    assert "kestrix_tools/data/known_functions.json" in files


def test_every_entry_of_the_file_is_found_by_its_selector() -> None:
    text = importlib.resources.files("kestrix_tools").joinpath("data/known_functions.json").read_text("utf-8")
    expected = sorted((f["selector"], f["signature"]) for f in json.loads(text)["functions"])
    _, starts = _known_functions._index()
    assert sorted((s, signature) for s in starts for signature, _ in _known_functions._entries(s)) == expected


# eth-abi's encoder as the oracle of where an encoding ends, on nested dynamic types.
NESTED = ["(bytes,uint256)[]", "string[2]", "(address,uint256)", "uint8[3]", "((uint8,bool),bytes)", "(uint8,(bytes,address)[])[]", "bytes[][]", "uint256[2][]", "bool"]


def values_of(type_text: str) -> st.SearchStrategy[Any]:
    if type_text.endswith("]"):
        inner, _, length = type_text[:-1].rpartition("[")
        size = int(length) if length else None
        return st.lists(values_of(inner), min_size=size or 0, max_size=size or 3)
    if type_text.startswith("("):
        depth, parts, start = 0, [], 1
        for i, char in enumerate(type_text[1:-1], 1):
            depth += (char == "(") - (char == ")")
            if char == "," and depth == 0:
                parts.append(type_text[start:i])
                start = i + 1
        parts.append(type_text[start:-1])
        return st.tuples(*(values_of(p) for p in parts))
    simple: dict[str, st.SearchStrategy[Any]] = {
        "bytes": st.binary(max_size=70), "string": st.text(max_size=40), "uint256": st.integers(0, 2**256 - 1),
        "uint8": st.integers(0, 255), "bool": st.booleans(), "address": st.just(A)}
    return simple[type_text]


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_an_encoding_fits_exactly_and_one_more_byte_does_not(data: st.DataObject) -> None:
    types = data.draw(st.lists(st.sampled_from(NESTED), min_size=1, max_size=3))
    values = [data.draw(values_of(t)) for t in types]
    _, params, _ = parse_signature(f"f({','.join(types)})")
    encoded = encode(types, values)
    native = tuple(p.param for p in params)
    assert _known_functions._fits_exactly(native, encoded)
    assert not _known_functions._fits_exactly(native, encoded + b"\0" * data.draw(st.integers(1, 64)))


def test_offsets_that_point_at_the_same_bytes_again_and_again_stop_early() -> None:
    # bytes[][][]: a thousand arrays, all at one place, each of a thousand strings all at one place.
    count = 1000

    def words(*values: int) -> bytes:
        return b"".join(v.to_bytes(32, "big") for v in values)

    shared = words(count, *[count * 32] * count)
    data = words(32) + shared + shared + words(0)
    _, params, _ = parse_signature("f(bytes[][][])")
    assert not _known_functions._fits_exactly(tuple(p.param for p in params), data)
