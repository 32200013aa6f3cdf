"""revert_data() on every container shape and on odd input: strict about hex, never raising."""

from __future__ import annotations

import string
from collections.abc import Callable
from typing import Any

import kestrix
import kestrix_tools
import pytest
from hypothesis import given, settings, strategies as st

web3_exceptions = pytest.importorskip("web3.exceptions", reason="web3 is a test requirement")
HexBytes = pytest.importorskip("hexbytes").HexBytes
TransactionFailed = pytest.importorskip("eth_tester.exceptions").TransactionFailed
Revert = pytest.importorskip("eth.exceptions").Revert  # py-evm's REVERT

# Every way an error can hold the same revert data, given it as "0x" + hex.
SHAPES: dict[str, Callable[[str], object]] = {
    "hex text": lambda data: data,
    "upper-case hex": lambda data: "0X" + data[2:].upper(),
    "bytes": lambda data: bytes.fromhex(data[2:]),
    "bytearray": lambda data: bytearray.fromhex(data[2:]),
    "memoryview": lambda data: memoryview(bytes.fromhex(data[2:])),
    "ContractLogicError.data text": lambda data: web3_exceptions.ContractLogicError("execution reverted", data=data),
    "ContractCustomError.data": lambda data: web3_exceptions.ContractCustomError(data, data=data),
    "ContractPanicError.data": lambda data: web3_exceptions.ContractPanicError("Panic", data=data),
    "OffchainLookup.data": lambda data: web3_exceptions.OffchainLookup({}, data=data),
    "ContractLogicError.data HexBytes": lambda data: web3_exceptions.ContractLogicError(
        "execution reverted", data=HexBytes(data)),
    "ContractLogicError.data nested dicts": lambda data: web3_exceptions.ContractLogicError(
        "execution reverted: x", data={"message": "x", "data": {"data": {"data": data}}}),
    "ContractLogicError.data Reverted text": lambda data: web3_exceptions.ContractLogicError(
        "execution reverted", data="Reverted " + data),
    "Web3RPCError.rpc_response": lambda data: web3_exceptions.Web3RPCError(
        "error", rpc_response={"jsonrpc": "2.0", "id": 1, "error": {"code": -32000, "message": "m", "data": data}}),
    "ValueError of an error object": lambda data: ValueError({"code": 3, "message": "execution reverted", "data": data}),
    "error object": lambda data: {"code": 3, "message": "execution reverted", "data": data},
    "response": lambda data: {"jsonrpc": "2.0", "id": 1, "error": {"code": 3, "message": "m", "data": data}},
    "chained cause": lambda data: _raise_from(RuntimeError("wrapped"), web3_exceptions.ContractLogicError(data=data)),
    "py-evm Revert inside eth-tester's failure": lambda data: _eth_tester_failure(_py_evm_revert(bytes.fromhex(data[2:]))),
    "eth-tester's bytes text": lambda data: _eth_tester_failure(str(bytes.fromhex(data[2:]))),
    "web3's rewrapped bytes text": lambda data: _eth_tester_failure(f"execution reverted: {bytes.fromhex(data[2:])}"),
}


def _raise_from(outer: BaseException, inner: BaseException) -> BaseException:
    outer.__cause__ = inner
    return outer


def _eth_tester_failure(argument: object) -> BaseException:
    return TransactionFailed(argument)  # type: ignore[no-any-return]


def _py_evm_revert(data: bytes) -> BaseException:
    return Revert(data)  # type: ignore[no-any-return]


@settings(max_examples=300, deadline=None)
@given(shape=st.sampled_from(sorted(SHAPES)), data=st.binary(max_size=300))
def test_every_shape_gives_back_the_same_revert_data(shape: str, data: bytes) -> None:
    assert kestrix_tools.revert_data(SHAPES[shape]("0x" + data.hex())) == "0x" + data.hex()


def _is_strict_hex(text: str) -> bool:
    """Python's own view: "0x", then an even number of characters from string.hexdigits."""
    digits = text[2:]
    return text[:2] in ("0x", "0X") and len(digits) % 2 == 0 and all(c in string.hexdigits for c in digits)


@settings(max_examples=400, deadline=None)
@given(st.text(alphabet="0xX123abcdefABCDEFgG \n\t１٣", max_size=12))
def test_text_counts_only_when_it_is_strict_hex(text: str) -> None:
    expected = "0x" + bytes.fromhex(text[2:]).hex() if _is_strict_hex(text) else None
    assert kestrix_tools.revert_data(text) == expected
    # Under an error's "data", some nodes leave out the "0x".
    if expected is None and text and _is_strict_hex("0x" + text):
        expected = "0x" + text.lower()
    assert kestrix_tools.revert_data({"code": 3, "message": "m", "data": text}) == expected


@pytest.mark.parametrize("text, expected", [
    ("Reverted 0x12", "0x12"),
    ("Reverted 0x", "0x"),
    ("Reverted  0x12", None),
    ("reverted 0x12", None),
    ("Reverted 0x123", None),
    ("Reverted 0x12 ", None),
    ("err: 0xdf2d9b42 (supplied gas 36000000)", "0xdf2d9b42"),
    ("err: revert (supplied gas 36000000)", None),
    ("no data", None),  # web3's own placeholder (with "execution reverted": geth's empty revert)
    ("0x12\n", None),
    ("0x١٢", None),  # Arabic-Indic digits are digits to str.isdigit, not hex
])
def test_node_phrases_around_hex(text: str, expected: str | None) -> None:
    assert kestrix_tools.revert_data(text) == expected
    implied = "0x" if text == "no data" else expected
    assert kestrix_tools.revert_data(web3_exceptions.ContractLogicError("execution reverted", data=text)) == implied


json_like = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=20) | st.binary(max_size=8),
    lambda children: st.lists(children, max_size=3)
    | st.dictionaries(st.sampled_from(["data", "result", "return", "error", "message", "0x" + "ab" * 32, "x"])
                      | st.integers(), children, max_size=4),
    max_leaves=20,
)


@settings(max_examples=400, deadline=None)
@given(json_like)
def test_any_json_like_value_gives_none_or_strict_hex(value: Any) -> None:
    for shape in (value, {"error": value}, {"data": value},
                  web3_exceptions.ContractLogicError("execution reverted", data=value),
                  web3_exceptions.Web3RPCError("error", rpc_response={"error": value})):
        found = kestrix_tools.revert_data(shape)
        assert found is None or (found.startswith("0x") and _is_strict_hex(found) and found == found.lower())


class RaisingData(Exception):
    @property
    def data(self) -> str:
        raise RuntimeError("no")


class RaisingMapping(dict[str, Any]):
    def get(self, key: str, default: Any = None) -> Any:
        raise RuntimeError("no")


def _cyclic() -> dict[str, Any]:
    error: dict[str, Any] = {"code": 3}
    error["data"] = error
    return error


def _context_cycle() -> BaseException:
    first, second = RuntimeError("a"), RuntimeError("b")
    first.__context__, second.__context__ = second, first
    return first


@pytest.mark.parametrize("odd", [
    None, 0, 1.5, object(), [], ["0x12"], ("0x12",), {"0x12"}, {}, {"data": None}, {"data": 12},
    {"result": "0x12"},  # a successful response's result is not revert data
    {"message": "execution reverted: 0x12"},  # nor is hex inside a message
    {"data": {"message": "0x12"}},
    {"data": {"0x" + "ab" * 32: {"error": "out of gas", "return": "0x12"}}},
    {"data": {"x": {"data": "0x12"}}},  # only the known keys are followed
    {"data": {"data": {"data": {"data": {"data": {"data": {"data": {"data": {"data": {"data": "0x12"}}}}}}}}}},
    _cyclic(), RaisingMapping(data="0x12"), RaisingData(), _context_cycle(),
    web3_exceptions.ContractLogicError("execution reverted: 0x12"),
    UnicodeDecodeError("utf-8", b"\x12\x34", 0, 1, "invalid start byte"),  # bytes in args[1]
    KeyError("0x12"),
])
def test_odd_shapes_carry_no_revert_data(odd: object) -> None:
    assert kestrix_tools.revert_data(odd) is None
    assert kestrix_tools.explain(odd) is None


def test_explain_hands_the_revert_data_to_the_decoder_given() -> None:
    class Recorder:
        def __init__(self) -> None:
            self.seen: list[str] = []

        def decode(self, data: str) -> Any:
            self.seen.append(data)
            return kestrix.decode_error(data)

    recorder = Recorder()
    error = web3_exceptions.ContractCustomError("0XDEADBEEF", data="0XDEADBEEF")
    assert kestrix_tools.explain(error, recorder) == kestrix_tools.explain(error) == kestrix.decode_error("0xdeadbeef")
    assert kestrix_tools.explain(ValueError("nothing"), recorder) is None
    assert recorder.seen == ["0xdeadbeef"]
