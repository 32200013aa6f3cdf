"""The native Snappy compressor: pyarrow's own Snappy decompressor must give every input back, the
output never exceeds the promised bound, and repetitive input really shrinks."""

from __future__ import annotations

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
native = pytest.importorskip("kestrix_tools._native")
if not hasattr(native, "_snappy_compress"):
    pytest.skip("the native module has no Snappy compressor", allow_module_level=True)


def bound(size: int) -> int:
    return 32 + size + size // 6


def round_trip(data: bytes) -> bytes:
    compressed: bytes = native._snappy_compress(data)
    assert len(compressed) <= bound(len(data))
    back: bytes = pa.decompress(compressed, decompressed_size=len(data), codec="snappy").to_pybytes()
    assert back == data
    return compressed


def noise(size: int, seed: int = 7) -> bytes:
    return random.Random(seed).randbytes(size)


def hex_text(size: int, seed: int = 1) -> bytes:
    """Revert data as hex lines: a selector, then ABI words mostly padded with zeros."""
    rng = random.Random(seed)
    lines: list[bytes] = []
    while sum(len(line) for line in lines) < size:
        words = "".join(rng.randbytes(rng.randrange(32)).hex().rjust(64, "0") for _ in range(rng.randrange(5)))
        lines.append(f"0x{rng.randbytes(4).hex()}{words}\n".encode())
    return b"".join(lines)[:size]


SIZES = [0, 1, 3, 4, 5, 15, 16, 17, 59, 60, 61, 255, 256, 257, 65535, 65536, 65537, 1 << 20]


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("kind", ["noise", "one byte", "hex text"])
def test_sizes_at_element_and_block_boundaries(size: int, kind: str) -> None:
    data = {"noise": noise, "one byte": lambda n: b"\xab" * n, "hex text": hex_text}[kind](size)
    round_trip(data)


@pytest.mark.parametrize("distance", [1, 2, 3, 4, 11, 12, 2047, 2048, 2049, 65535, 65536])
@pytest.mark.parametrize("length", [4, 11, 12, 64, 65, 67, 68, 1000])
def test_repeats_at_copy_offset_boundaries(distance: int, length: int) -> None:
    # A piece, then a stretch of it `distance` bytes later; offsets past a block cannot be copied.
    piece = noise(distance, seed=distance)
    data = piece + piece[:length] * (1 + length // max(distance, 1)) + noise(40, seed=3)
    round_trip(data)


@pytest.mark.parametrize("literal", [1, 59, 60, 61, 256, 257, 65535, 65536, 70000])
def test_long_literals_after_matches(literal: int) -> None:
    # Literal runs whose length needs 0 to 3 extra bytes, between copies and at a block's end.
    text = b"0x08c379a0" + b"0" * 200
    data = text + noise(literal) + text + noise(literal, seed=9)
    round_trip(data)


def test_repetitive_input_shrinks() -> None:
    line = b"0x08c379a0" + b"Ownable: caller is not the owner".hex().encode().ljust(90, b"0")
    data = (line * (1 << 20))[: 1 << 20]
    assert len(round_trip(data)) < len(data) // 10
    assert len(round_trip(b"\0" * (1 << 20))) < 60_000
    # Random hex digits only shrink where zeros pad them: about as well as Arrow's own Snappy.
    for data in (hex_text(1 << 20), hex_text(100_000, seed=2) * 3):
        assert len(round_trip(data)) <= pa.compress(data, codec="snappy").size * 1.03


def test_incompressible_input_stays_within_the_bound() -> None:
    for size in (1 << 16, (1 << 20) + 3):
        assert len(round_trip(noise(size))) <= size + 16 + size // 65536 * 3


def test_bytes_likes_and_wrong_arguments() -> None:
    data = hex_text(5000)
    assert native._snappy_compress(bytearray(data)) == native._snappy_compress(memoryview(data)) == round_trip(data)
    with pytest.raises(TypeError):
        native._snappy_compress("text")
    with pytest.raises(TypeError):
        native._snappy_compress()


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=3000))
def test_any_bytes_round_trip(data: bytes) -> None:
    round_trip(data)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.binary(min_size=1, max_size=80), st.integers(1, 40)), max_size=30),
       st.integers(0, 3000))
def test_bytes_from_repeated_pieces_round_trip(pieces: list[tuple[bytes, int]], pad: int) -> None:
    # Pieces repeated back to back, after a filler that moves them across the 64 KiB boundary.
    data = b"x" * (65536 - pad) + b"".join(piece * count for piece, count in pieces)
    round_trip(data)
    round_trip(data[65536 - pad:])
