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


# Digits are read sixteen at a time and the rest one pair at a time: the pair goes to every
# place in a block of sixteen, and into the short tail.
@pytest.mark.parametrize(("before", "after"), [(k, 32) for k in range(8)] + [(40, 1)])
@pytest.mark.parametrize("place", [0, 1])
def test_every_ascii_character_in_each_place_of_a_pair(before, after, place):
    # Past ASCII: two- and three-byte characters, padded to whole pairs, fail at their first byte.
    pairs = [("0" + chr(code), chr(code) + "0")[place] for code in range(128)] + ["é", "€0"]
    for pair in pairs:
        text = "0x" + "aB" * before + pair + "Cd" * after
        if all(c in string.hexdigits for c in pair):
            assert DECODER.decode(text)["raw_data"] == "0x" + bytes.fromhex(text[2:]).hex()
        else:
            bad = 2 * before + (1 - place if pair.isascii() else 0)
            with pytest.raises(ValueError, match=f"at position {bad}$"):
                DECODER.decode(text)


@pytest.mark.parametrize(("text", "position"), [
    ("0xg0" + "00" * 70 + "zz", 0), ("0x0g" + "00" * 70 + "z0", 1),
    ("0x" + "00" * 70 + "0zz0", 141), ("0x" + "00" * 70 + "z00z", 140)])
def test_the_first_bad_character_is_reported(text, position):
    with pytest.raises(ValueError, match=f"at position {position}$"):
        DECODER.decode(text)
