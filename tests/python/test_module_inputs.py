"""Hexadecimal input, the context dictionary and the shape of the result dictionary."""

import json
import re

import pytest

import kestrix
from kestrix import EvmErrorDecoder, decode_error

DECODER = EvmErrorDecoder()
PANIC_1 = "0x4e487b71" + "01".zfill(64)


@pytest.mark.parametrize("data, message", [
    ("0x0", "Odd number of digits"),
    ("0xzzz", "Odd number of digits"),  # the count is checked before any digit
    ("0X08c379a0", "Invalid character 'X' at position 1"),
    ("0xzz", "Invalid character 'z' at position 0"),
    ("0x0g", "Invalid character 'g' at position 1"),
    ("0x0x00", "Invalid character 'x' at position 1"),
    ("00 0", "Invalid character ' ' at position 2"),
    ("0x00'0", "Invalid character '\\'' at position 2"),
    ('0x00"0', "Invalid character '\"' at position 2"),
    ("0x00\\0", "Invalid character '\\\\' at position 2"),
    ("0x\x000", "Invalid character '\\0' at position 0"),
    ("\t0", "Invalid character '\\t' at position 0"),
    ("0\n", "Invalid character '\\n' at position 1"),
    ("\r0", "Invalid character '\\r' at position 0"),
    ("\x1b0", "Invalid character '\\u{1b}' at position 0"),
    ("\x0b0", "Invalid character '\\u{b}' at position 0"),
    ("\x7f0", "Invalid character '\\u{7f}' at position 0"),
    # Each byte of a multi-byte character is judged on its own, shown as the Latin-1 character.
    ("0xé", "Invalid character 'Ã' at position 0"),  # c3 a9
    ("00€0", "Invalid character 'â' at position 2"),  # e2 82 ac
    ("\U0001f600", "Invalid character 'ð' at position 0"),  # f0 9f 98 80
])
def test_hex_failures(data, message):
    for call in (DECODER.decode, decode_error):
        with pytest.raises(ValueError) as caught:
            call(data)
        assert str(caught.value) == "hex decode: " + message
    with pytest.raises(UnicodeEncodeError):
        DECODER.decode(data + "\ud800")


TYPES = dict(raw_data=str, selector=str, suggestion=str, confidence=float, kind=str, message=str,
             error_name=str, inputs=str, panic_code=int, panic_meaning=str)


@pytest.mark.parametrize("data, kind", [("", "empty"), ("0x01", "raw_revert"), ("0xdEaDbEeF", "raw_revert"),
                                        (PANIC_1, "panic"), ("d93c0665", "custom_error"),
                                        ("08c379a0" + "20".zfill(64) + "00" * 32, "revert_string")])
def test_result_dict_keys_order_and_types(data, kind):
    result = DECODER.decode(data)
    assert type(result) is dict and list(result) == list(TYPES) and result["kind"] == kind
    assert all(value is None or type(value) is TYPES[key] for key, value in result.items())
    assert result["raw_data"] == "0x" + data.removeprefix("0x").lower()


def shown(value):
    """The text the module takes for a context value: a str as it is, else its str()."""
    text = value if isinstance(value, str) else str(value)
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def rejection(context):
    """The message for a bad block_number: its column is where the value ends in the compact
    JSON text of the context, keys sorted by their UTF-8 bytes."""
    text = "{"
    for key in sorted(context, key=str.encode):
        text += json.dumps(key, ensure_ascii=False) + ":" + json.dumps(shown(context[key]), ensure_ascii=False)
        if key == "block_number":
            value = json.dumps(shown(context[key]), ensure_ascii=False)
            return f"invalid type: string {value}, expected u64 at line 1 column {len(text.encode())}"
        text += ","


@pytest.mark.parametrize("context", [
    {}, {"chain": "ethereum", "tx_hash": "0xabc", "function_name": "transfer"},
    {"chain": None, "Chain": 1, "contract_address": object(), "call_selector": b"\x00"},
    {"block_number": 12345}, {"block_number": "18446744073709551615"},
    {"block_number": "abc"}, {"block_number": None}, {"block_number": -1}, {"block_number": 2**64},
    {"block_number": True}, {"block_number": 1.5}, {"block_number": [1, "x"]}, {"block_number": "\ud800"},
    {"block_number": "a\udfffb\ud800\udc00"}, {"block_number": type("Custom", (), {"__str__": lambda s: "a\tb"})()},
    {"block_number": type("StrSub", (str,), {"__str__": lambda s: "ignored"})("kept")},
    {"zz": "last", "block_number": "x", "aa": "first"},
    {"é": "2", "z": "1", "block_number": "x", "B": "0"},  # 'é' sorts after 'z' by bytes
    {"\U0001f600": "a", "\uffff": "b", "block_number": "x"},  # not UTF-16 order
    {"a": 'quote " back \\ slash / del \x7f', "block_number": "x"},
    {"a": "\x08\t\n\x0c\r\x00\x1f", "block_number": "x"}, {"\n": "\x01", "block_number": "x"},
])
def test_context_is_carried_and_block_number_checked(context):
    number = shown(context.get("block_number", 0))
    if re.fullmatch("[0-9]+", number) and int(number) < 2**64:
        assert DECODER.decode_with_context(PANIC_1, context) == DECODER.decode(PANIC_1)
        return
    with pytest.raises(ValueError) as caught:
        DECODER.decode_with_context(PANIC_1, context)
    assert str(caught.value) == rejection(context)


def test_context_key_errors():
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyString'$"):
        DECODER.decode_with_context("0x", {1: "x"})
    with pytest.raises(TypeError, match=r"^'tuple' object cannot be converted to 'PyString'$"):
        DECODER.decode_with_context("0x", {"chain": "x", (1,): "y"})
    with pytest.raises(UnicodeEncodeError):
        DECODER.decode_with_context("0x", {"\ud800": "x"})
    with pytest.raises(ValueError, match="^hex decode: Invalid character 'z' at position 0$"):
        DECODER.decode_with_context("0xzz", {1: 2})  # bad hex is reported before the context is read


def test_dict_subclass_iteration_methods_are_not_used():
    def refuse(*args):
        raise AssertionError("a dict subclass method was used")

    methods = dict.fromkeys(["__iter__", "keys", "items", "values", "__getitem__"], refuse)
    sneaky = type("Sneaky", (dict,), methods | {"__len__": lambda self: 99})
    with pytest.raises(ValueError, match='^invalid type: string "abc", expected u64 at line 1 column 21$'):
        DECODER.decode_with_context("0x", sneaky(block_number="abc", chain="x"))
    assert DECODER.decode_with_context("0x", sneaky(chain="x"))["kind"] == "empty"


def test_unprintable_value_is_reported_and_the_call_goes_on(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda report: seen.append((report.exc_type, report.object)))
    boom = type("Boom", (), {"__str__": lambda self: 1 / 0})()
    assert DECODER.decode_with_context("0x01", {"chain": boom}) == DECODER.decode("0x01")
    assert seen == [(ZeroDivisionError, boom)]
    with pytest.raises(ValueError) as caught:
        DECODER.decode_with_context("0x01", {"block_number": boom})
    assert str(caught.value) == rejection({"block_number": "<unprintable Boom object>"}) and len(seen) == 2


@pytest.mark.parametrize("change, message", [
    (lambda context: context.update(new=1), "dictionary changed size during iteration"),
    (lambda context: context.pop("a") and context.update(c=1), "dictionary keys changed during iteration"),
])
def test_value_changing_the_dict_is_an_internal_failure(capsys, change, message):
    context = {"a": 1}
    context["b"] = type("Change", (), {"__str__": lambda self: change(context) or "x"})()
    with pytest.raises(BaseException) as caught:
        DECODER.decode_with_context("0x", context)
    assert str(caught.value) == message and message in capsys.readouterr().err
    # The internal failure type derives from BaseException directly and is no module attribute.
    assert type(caught.value).__bases__ == (BaseException,) and type(caught.value) not in vars(kestrix).values()
