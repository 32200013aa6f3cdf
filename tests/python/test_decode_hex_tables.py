"""The hexadecimal reader and writer against Python's own: every byte value both ways, every
ASCII character in both places of a pair, and the first of several bad characters reported."""

import string

import pytest

import kestrix

DECODER = kestrix.EvmErrorDecoder()
EVERY_BYTE = bytes(range(256))


@pytest.mark.parametrize("text", [EVERY_BYTE.hex(), EVERY_BYTE.hex().upper(), "0x" + EVERY_BYTE.hex()])
def test_every_byte_value_reads_and_writes_back(text):
    assert DECODER.decode(text)["raw_data"] == "0x" + EVERY_BYTE.hex()


@pytest.mark.parametrize("place", [0, 1])
def test_every_ascii_character_in_each_place_of_a_pair(place):
    for code in range(128):
        pair = ["0", "0"]
        pair[place] = chr(code)
        text = "0x" + "ab" * 40 + "".join(pair) + "cd"
        if chr(code) in string.hexdigits:
            assert DECODER.decode(text)["raw_data"] == "0x" + bytes.fromhex(text[2:]).hex()
        else:
            with pytest.raises(ValueError, match=f"at position {80 + place}$"):
                DECODER.decode(text)


@pytest.mark.parametrize(("text", "position"), [
    ("0xg0" + "00" * 70 + "zz", 0), ("0x0g" + "00" * 70 + "z0", 1),
    ("0x" + "00" * 70 + "0zz0", 141), ("0x" + "00" * 70 + "z00z", 140)])
def test_the_first_bad_character_is_reported(text, position):
    with pytest.raises(ValueError, match=f"at position {position}$"):
        DECODER.decode(text)
