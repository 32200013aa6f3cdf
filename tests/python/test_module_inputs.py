"""Hexadecimal input, the context dictionary and the shape of the result dictionary."""

import json

import pytest

import kestrix
from kestrix import EvmErrorDecoder, decode_error

DECODER = EvmErrorDecoder()
KEYS = ["raw_data", "selector", "suggestion", "confidence", "kind", "message", "error_name",
        "inputs", "panic_code", "panic_meaning"]
UNKNOWN = "Unknown error selector. Try looking up the selector on "


# ---- hexadecimal input ----

@pytest.mark.parametrize(
    "data, message",
    [
        ("0x0", "Odd number of digits"),
        (" 0x00", "Odd number of digits"),
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
        # Each byte of a multi-byte character is judged and shown on its own, as the Latin-1
        # character of the same number.
        ("0xé", "Invalid character 'Ã' at position 0"),  # c3 a9
        ("0é0", "Invalid character 'Ã' at position 1"),
        ("00€0", "Invalid character 'â' at position 2"),  # e2 82 ac
        ("\U0001f600", "Invalid character 'ð' at position 0"),  # f0 9f 98 80
        ("\u00a0\u00a0", "Invalid character 'Â' at position 0"),  # c2 a0
    ],
)
def test_hex_failures(data, message):
    with pytest.raises(ValueError) as caught:
        DECODER.decode(data)
    assert str(caught.value) == "hex decode: " + message
    with pytest.raises(ValueError) as again:
        decode_error(data)
    assert str(again.value) == str(caught.value)


def test_hex_digits_in_either_case_and_prefix():
    for data in ("", "0x"):
        assert DECODER.decode(data)["kind"] == "empty"
    upper = DECODER.decode("0xDEADBEEF")
    assert upper == DECODER.decode("deadbeef") == DECODER.decode("0xdEaDbEeF")
    assert upper["raw_data"] == upper["selector"] == "0xdeadbeef"
    every_byte = bytes(range(256))
    assert DECODER.decode(every_byte.hex().upper())["raw_data"] == "0x" + every_byte.hex()


def test_lone_surrogates_in_data_raise_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        DECODER.decode("0x\ud800")
    with pytest.raises(UnicodeEncodeError):
        decode_error("\udfff")


# ---- result dictionary ----

@pytest.mark.parametrize("length", [0, 1, 3, 4, 5, 31, 32, 33, 36, 100])
def test_result_shape_for_empty_and_raw_data(length):
    data = bytes((0xDE + i) % 256 for i in range(length))
    result = DECODER.decode("0x" + data.hex())
    assert type(result) is dict
    assert list(result) == KEYS
    assert result["raw_data"] == "0x" + data.hex()
    assert type(result["confidence"]) is float
    for key in ("message", "error_name", "inputs", "panic_code", "panic_meaning"):
        assert result[key] is None
    if length == 0:
        assert result["kind"] == "empty"
        assert result["selector"] is None
        assert result["suggestion"] == "Transaction reverted with no error message."
        assert result["confidence"] == 0.5
        return
    assert result["kind"] == "raw_revert"
    assert result["confidence"] == 0.0
    assert result["suggestion"].startswith(UNKNOWN)
    assert result["selector"] == (None if length < 4 else "0x" + data[:4].hex())


def test_panic_code_is_an_unsigned_int():
    for code in (0x11, 2**64 - 1):
        result = DECODER.decode("0x4e487b71" + code.to_bytes(32, "big").hex())
        assert list(result) == KEYS
        assert result["kind"] == "panic"
        assert type(result["panic_code"]) is int and result["panic_code"] == code
        assert result["confidence"] == 1.0


def test_decode_error_matches_a_fresh_decoder():
    for data in ("", "0x", "0x01", "0xdeadbeef", "4e487b71" + "11".zfill(64), "08c379a0" + "00" * 40):
        assert decode_error(data) == EvmErrorDecoder().decode(data)


# ---- context ----

def context_message(context):
    with pytest.raises(ValueError) as caught:
        DECODER.decode_with_context("0x", context)
    return str(caught.value)


def oracle_column(pairs, rejected_key):
    """Bytes of the compact, byte-sorted JSON text up to the rejected value's closing quote."""
    ordered = sorted(pairs.items(), key=lambda item: item[0].encode())
    text = "{"
    for index, (key, value) in enumerate(ordered):
        text += ("," if index else "") + json.dumps(key, ensure_ascii=False) + ":"
        text += json.dumps(value, ensure_ascii=False)
        if key == rejected_key:
            return len(text.encode())
    raise AssertionError("key not found")


def test_context_is_carried_not_interpreted():
    data = "0x4e487b71" + "01".zfill(64)
    contexts = [
        {},
        {"chain": "ethereum", "tx_hash": "0xabc", "function_name": "transfer"},
        {"chain": None, "Chain": 1, "contract_address": object(), "call_selector": b"\x00"},
        {"block_number": 12345},
        {"block_number": "18446744073709551615"},
        {"block_number": True and 1},
    ]
    for context in contexts:
        assert DECODER.decode_with_context(data, context) == DECODER.decode(data)


def test_block_number_must_be_decimal_digits():
    assert context_message({"block_number": "abc"}) == (
        'invalid type: string "abc", expected u64 at line 1 column 21')
    assert context_message({"block_number": None}) == (
        'invalid type: string "None", expected u64 at line 1 column 22')
    assert context_message({"block_number": -1}).startswith('invalid type: string "-1", expected u64')
    assert context_message({"block_number": 2**64}).startswith(
        'invalid type: string "18446744073709551616", expected u64')


@pytest.mark.parametrize(
    "pairs",
    [
        {"zz": "last", "block_number": "x", "aa": "first"},
        {"é": "2", "z": "1", "block_number": "x", "B": "0"},  # 'é' sorts after 'z' by bytes
        {"\U0001f600": "a", "\uffff": "b", "block_number": "x"},  # not UTF-16 order
        {"a": 'quote " back \\ slash / del \x7f', "block_number": "x"},
        {"a": "\x08\t\n\x0c\r\x00\x1f", "block_number": "x"},
        {"\n": "\x01", "block_number": "x"},
    ],
)
def test_context_json_is_sorted_and_escaped(pairs):
    message = context_message(pairs)
    assert message == f'invalid type: string "x", expected u64 at line 1 column {oracle_column(pairs, "block_number")}'


def test_context_values_become_their_str():
    class Custom:
        def __str__(self):
            return "a\tb"

    class StrSub(str):
        def __str__(self):
            return "ignored"

    cases = [
        (-17, '"-17"'), (None, '"None"'), (True, '"True"'), (1.5, '"1.5"'),
        (Custom(), '"a\\tb"'), (StrSub("kept"), '"kept"'), ([1, "x"], "\"[1, 'x']\""),
    ]
    for value, shown in cases:
        message = context_message({"block_number": value})
        assert message.startswith(f"invalid type: string {shown}, expected u64 at line 1 column "), message


def test_context_value_with_lone_surrogates_is_replaced():
    for value in ("\ud800", "a\udfffb\ud800\udc00"):
        replaced = value.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
        message = context_message({"block_number": value})
        column = oracle_column({"block_number": replaced}, "block_number")
        assert message == f'invalid type: string "{replaced}", expected u64 at line 1 column {column}'


def test_context_key_errors():
    with pytest.raises(TypeError) as caught:
        DECODER.decode_with_context("0x", {1: "x"})
    assert str(caught.value) == "'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError, match=r"^'tuple' object cannot be converted to 'PyString'$"):
        DECODER.decode_with_context("0x", {"chain": "x", (1,): "y"})
    with pytest.raises(UnicodeEncodeError):
        DECODER.decode_with_context("0x", {"\ud800": "x"})
    # Bad hexadecimal is reported before the context is looked at.
    with pytest.raises(ValueError, match="^hex decode: Invalid character 'z' at position 0$"):
        DECODER.decode_with_context("0xzz", {1: 2})


def test_dict_subclass_iteration_methods_are_not_used():
    class Sneaky(dict):
        def __iter__(self):
            raise AssertionError("__iter__ used")

        def keys(self):
            raise AssertionError("keys used")

        def items(self):
            raise AssertionError("items used")

        def values(self):
            raise AssertionError("values used")

        def __getitem__(self, key):
            raise AssertionError("__getitem__ used")

        def __len__(self):
            return 99

    context = Sneaky(block_number="abc", chain="x")
    assert context_message(context) == 'invalid type: string "abc", expected u64 at line 1 column 21'
    assert DECODER.decode_with_context("0x", Sneaky(chain="x"))["kind"] == "empty"


def test_unprintable_value_is_reported_and_the_call_goes_on(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", lambda report: seen.append(
        (report.exc_type, str(report.exc_value), report.object)))

    class Boom:
        def __str__(self):
            raise RuntimeError("cannot print")

    boom = Boom()
    result = DECODER.decode_with_context("0x01", {"chain": boom})
    assert result == DECODER.decode("0x01")
    assert seen == [(RuntimeError, "cannot print", boom)]

    seen.clear()
    message = context_message({"block_number": boom})
    assert message == ('invalid type: string "<unprintable Boom object>", expected u64 at line 1 '
                       f'column {oracle_column({"block_number": "<unprintable Boom object>"}, "block_number")}')
    assert len(seen) == 1


def test_value_changing_the_dict_is_an_internal_failure(capsys):
    context = {}

    class Grow:
        def __str__(self):
            context["new"] = 1
            return "x"

    context.update(a=Grow(), b=1)
    with pytest.raises(BaseException) as caught:
        DECODER.decode_with_context("0x", context)
    assert not isinstance(caught.value, Exception)
    assert str(caught.value) == "dictionary changed size during iteration"
    assert "dictionary changed size during iteration" in capsys.readouterr().err

    context = {}

    class Swap:
        def __str__(self):
            del context["a"]
            context["c"] = 1
            return "x"

    context.update(a=1, b=Swap())
    with pytest.raises(BaseException) as caught:
        DECODER.decode_with_context("0x", context)
    assert str(caught.value) == "dictionary keys changed during iteration"
    # The internal failure type derives from BaseException directly and is no module attribute.
    assert type(caught.value).__bases__ == (BaseException,)
    assert type(caught.value) not in vars(kestrix).values()
