"""kestrix_tools._native.Decoder directly: user errors encoded with eth-abi, selectors checked
with pycryptodome's Keccak, the order of candidates, the built-ins behind them, the decoder's
depth limit and malformed definitions."""

from __future__ import annotations

import json
import subprocess
import sys

import kestrix
import pytest
from Crypto.Hash import keccak
from eth_abi import encode

from kestrix_tools._native import Decoder

ALICE = "0x5b38da6a701c568545dcfcb03fcb875f56beddc4"


def selector(signature: str) -> bytes:
    return keccak.new(digest_bits=256, data=signature.encode()).digest()[:4]


def revert(signature: str, types: list[str], values: list[object]) -> bytes:
    return selector(signature) + encode(types, values)


def inputs(result: dict) -> list:
    assert result["kind"] == "custom_error", result
    return json.loads(result["inputs"])


# One error with every kind of leaf parameter (nested values are left to the differential):
# (name, JSON ABI type, components), the canonical type eth-abi encodes, a value, and its
# lossless form in `inputs`.
PAIR = (("code", "uint8", None), ("why", "string", None))
ROWS = [
    (("u", "uint", None), "uint256", 2**256 - 1,
     {"type": "biguint", "value": str(2**256 - 1)}),
    (("i", "int8", None), "int8", -128, {"type": "int", "value": -128}),
    (("b", "bool", None), "bool", True, {"type": "bool", "value": True}),
    (("a", "address", None), "address", ALICE, {"type": "address", "value": ALICE}),
    (("f3", "bytes3", None), "bytes3", b"\x00\xff\x01", {"type": "bytes", "value": [0, 255, 1]}),
    (("fn", "function", None), "bytes24", bytes(range(24)),
     {"type": "bytes", "value": list(range(24))}),
    (("d", "bytes", None), "bytes", b"", {"type": "bytes", "value": []}),
    (("s", "string", None), "string", "é\"\n", {"type": "str", "value": "é\"\n"}),
    (("arr", "uint16[2]", None), "uint16[2]", [1, 65535],
     {"type": "array", "value": [{"type": "uint", "value": 1}, {"type": "uint", "value": 65535}]}),
]


def test_every_parameter_kind_round_trips_losslessly():
    params = [row[0] for row in ROWS]
    types = [row[1] for row in ROWS]
    # eth-abi writes "function" as bytes24.
    signature = "Everything(" + ",".join(types).replace("bytes24", "function") + ")"
    decoder = Decoder([("Everything", params, "fix it")])
    assert decoder.errors == (signature,)
    data = selector(signature) + encode(types, [row[2] for row in ROWS])
    result = decoder.decode(data)
    assert result["selector"] == "0x" + selector(signature).hex()
    assert (result["error_name"], result["suggestion"]) == ("Everything", "fix it")
    assert result["confidence"] == kestrix.decode_error("0xd93c0665")["confidence"]
    assert inputs(result) == [[param[0], row[3]] for param, row in zip(params, ROWS)]
    # Every input form gives the same dict: hex text (either prefix rule) and bytes-likes.
    for given in (data.hex(), "0x" + data.hex().upper(), bytearray(data), memoryview(data)):
        assert decoder.decode(given) == result


def test_truncated_or_corrupted_data_is_raw_revert():
    decoder = Decoder([("Pair", [PAIR[0], PAIR[1]], None)])
    data = revert("Pair(uint8,string)", ["uint8", "string"], [1, "hello"])
    # Cut inside the number, the offset, the length and the five bytes of text.
    for cut in (4, 35, 67, 99, 103):
        assert decoder.decode(data[:cut])["kind"] == "raw_revert"
    corrupted = data[:4 + 63] + b"\xff" + data[4 + 64:]  # the string's offset points past the end
    assert decoder.decode(corrupted)["kind"] == "raw_revert"


def test_user_errors_sharing_a_selector_are_tried_in_order():
    # transfer(address,uint256) and many_msg_babbage(bytes1) share the selector a9059cbb.
    definitions = [("transfer", [("to", "address", None), ("amount", "uint256", None)], "one"),
                   ("many_msg_babbage", [("b", "bytes1", None)], "two")]
    assert selector("transfer(address,uint256)") == selector("many_msg_babbage(bytes1)")
    decoder = Decoder(definitions)
    both = decoder.decode(revert("transfer(address,uint256)", ["address", "uint256"], [ALICE, 5]))
    assert (both["error_name"], both["suggestion"]) == ("transfer", "one")
    one_word = decoder.decode(revert("many_msg_babbage(bytes1)", ["bytes1"], [b"\x42"]))
    assert (one_word["error_name"], one_word["suggestion"]) == ("many_msg_babbage", "two")
    assert inputs(one_word) == [["b", {"type": "bytes", "value": [0x42]}]]
    # The other order: the one-word error takes the two-word data too.
    reversed_order = Decoder(definitions[::-1])
    assert reversed_order.decode(both["raw_data"])["error_name"] == "many_msg_babbage"


def test_an_error_without_parameters_ignores_the_payload():
    decoder = Decoder([("Bare", [], "bare hint")])
    for tail in (b"", b"\x01", b"\xff" * 100):
        result = decoder.decode(selector("Bare()") + tail)
        assert (result["error_name"], result["inputs"], result["suggestion"]) == (
            "Bare", "[]", "bare hint")


@pytest.mark.parametrize("definitions, message", [
    ([("Foo", [("a", "uint7", None)], None)],
     "error 'Foo', parameter 1 'a': invalid type 'uint7' (invalid size for type: uint7)"),
    ([("Foo", [("", "tuple[]", None)], None)],
     "error 'Foo', parameter 1: type 'tuple[]' needs components"),
    ([("Foo", [("a", "address", [])], None)],
     "error 'Foo', parameter 1 'a': components given for type 'address', which is not a tuple"),
    ([("Foo", [("a", "tuple", [("b", "strin", None)])], None)],
     "error 'Foo', parameter 1 'a': invalid type 'strin' (invalid type string: strin)"),
    ([("Foo", [("a", "tuple[x]", [])], None)], "error 'Foo', parameter 1 'a': invalid type 'tuple[x]' (parser error:)"),
    ([("Foo", [("", "bool", None), ("n", "tuple[3]", None)], None)],
     "error 'Foo', parameter 2 'n': type 'tuple[3]' needs components"),
    ([("Ok", [], None), ("no name", [], None)], "error name 'no name' is not an identifier"),
    ([("9Lives", [], None)], "error name '9Lives' is not an identifier"),
    ([("", [], None)], "error name '' is not an identifier"),
    ([("Foo", [], None, None)], "definition 1: expected (name, parameters, suggestion), got 4 items"),
    (["Foo()"], "definition 1: expected (name, parameters, suggestion)"),
    ([("Foo", "uint256", None)], "definition 1: parameters must be a sequence"),
    ([("Foo", [("a", "uint")], None)],
     "definition 1 parameter 1: expected (name, type, components), got 2 items"),
    ([("Foo", [("a", 256, None)], None)],
     "definition 1 parameter 1 type: 'int' object cannot be converted to 'str'"),
    ([("Foo", [], b"hint")], "definition 1 suggestion: 'bytes' object cannot be converted to 'str'"),
])
def test_malformed_definitions_raise_value_error(definitions, message):
    with pytest.raises(ValueError) as raised:
        Decoder(definitions)
    assert str(raised.value) == message


def test_argument_types():
    assert Decoder().errors == Decoder(definitions=()).errors == ()
    with pytest.raises(TypeError):
        Decoder(5)
    with pytest.raises(TypeError, match="argument 'data': 'int' object cannot be converted"):
        Decoder().decode(5)


def test_only_the_module_initialiser_is_exported_and_sub_interpreters_do_not_crash():
    import kestrix_tools._native as native
    nm = subprocess.run(["nm", "-D", "--defined-only", native.__file__], capture_output=True, text=True)
    if nm.returncode == 0:
        assert [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()] == ["PyInit__native"]
    code = """
import sys
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    import _interpreters as interpreters
from kestrix_tools._native import Decoder
interpreter = interpreters.create()
try:
    # 3.13's _interpreters returns the exception's snapshot; 3.11 and 3.12 raise RunFailedError.
    failure = interpreters.run_string(interpreter, "import kestrix_tools._native")
    failure = None if failure is None else failure.formatted
except Exception as error:
    failure = str(error)
if failure is not None:
    print("refused" if "does not support" in failure else failure)
interpreters.destroy(interpreter)
print(Decoder().decode("0x")["kind"])
"""
    process = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert process.returncode == 0, process.stderr
    assert process.stdout.split() == ["refused", "empty"], process.stdout + process.stderr


def test_allocation_failures_raise_and_leave_nothing_behind():
    # Fails the n-th allocation and every later one, for n = 0, 1, ... until a call succeeds; every
    # failed call must end in MemoryError (or the internal-failure exception when making a result
    # value failed), never a crash. The callable is called straight from `attempt`: CPython 3.11
    # may itself lose an exception leaving a Python frame while allocations fail.
    data = revert("Foo(uint256,(bytes3)[])", ["uint256", "(bytes3)[]"], [5, [(b"abc",)]]).hex()
    code = f"""
import _testcapi, sys
from kestrix_tools._native import Decoder

def attempt(call, argument, n):
    _testcapi.set_nomemory(n, 0)
    try:
        result = call(argument)
    except BaseException:
        _testcapi.remove_mem_hooks()
        return None, sys.exc_info()[1]
    _testcapi.remove_mem_hooks()
    return result, None

DEFINITIONS = [("Foo", [("a", "uint", None), ("t", "tuple[]", [("x", "bytes3", None)])], "hint"),
               ("Bar", [], None)]
decoder = Decoder(DEFINITIONS)
CALLS = [(Decoder, DEFINITIONS), (decoder.decode, "{data}"), (decoder.decode, bytes.fromhex("{data}"))]
for call, argument in CALLS:
    expected = call(argument)
    for n in range(100000):
        result, error = attempt(call, argument, n)
        if error is None:
            break
        assert isinstance(error, MemoryError) or type(error).__name__ == "InternalError", repr(error)
    assert (result.errors == expected.errors) if call is Decoder else result == expected
    print(n)
"""
    process = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code],
                             capture_output=True, text=True, timeout=300)
    assert process.returncode == 0 and "Fatal Python error" not in process.stderr, process.stderr[-3000:]
    assert all(int(n) > 0 for n in process.stdout.split()), process.stdout
