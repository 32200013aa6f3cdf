"""kestrix against the independent reference decoder over random revert data.

The bulk runs from a seeded random.Random (reproducible, fast); a smaller hypothesis set
shrinks any disagreement it finds to a minimal example.
"""

from __future__ import annotations

import random
from typing import Any

import kestrix
from eth_abi import encode
from hypothesis import given, settings, strategies as st

from test_decode_reference import (BUILTIN, BY_SELECTOR, ERROR_SELECTOR, PANIC_SELECTOR, random_args,
                                   reference_decode)

SELECTORS = [ERROR_SELECTOR, PANIC_SELECTOR, *BY_SELECTOR]
PIECES = ["not the owner", "Not Owner", "INSUFFICIENT", "balance", "Allowance", "paused", "already",
          "INIT", "İ", "Σ", "ς", "ＰＡＵＳＥＤ", "\x00", " ", "\u0345", "'", "A"]
PANIC_CODES = [0, 1, 2, 0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x51, 0x52, 0x100, 2**64 - 1, 2**64, 2**256 - 1]
CASES = 100_000


def random_reason(rng: random.Random) -> bytes:
    """UTF-8 of a reason built from keywords, random code points and NULs; sometimes invalid."""
    parts = []
    for _ in range(rng.randint(0, 8)):
        r = rng.random()
        if r < 0.5:
            parts.append(rng.choice(PIECES))
        else:
            cp = rng.choice([rng.randint(0x20, 0x7F), rng.randint(0x80, 0x7FF), rng.randint(0x800, 0xFFFF),
                             rng.randint(0x10000, 0x10FFFF)])
            parts.append(chr(cp) if not 0xD800 <= cp <= 0xDFFF else "?")
    raw = "".join(parts).encode()
    if rng.random() < 0.1:
        raw += rng.randbytes(rng.randint(1, 3))  # often invalid UTF-8
    return raw


def valid_body(rng: random.Random, selector: bytes) -> bytes:
    if selector == ERROR_SELECTOR:
        return encode(["bytes"], [random_reason(rng)])  # same layout as string, any bytes
    if selector == PANIC_SELECTOR:
        return encode(["uint256"], [rng.choice(PANIC_CODES + [rng.getrandbits(rng.randint(1, 256))])])
    entry = BY_SELECTOR.get(selector)
    if entry is None:
        return rng.randbytes(32 * rng.randint(0, 4))
    return encode([t for _, t in entry[1]], random_args(rng, entry[1]))


def dirty(rng: random.Random, body: bytes) -> bytes:
    """Sets random bytes, favouring the ones a lenient reader ignores (high bytes of words)."""
    out = bytearray(body)
    for _ in range(rng.randint(1, 4)):
        if not out:
            break
        at = rng.randrange(len(out))
        if rng.random() < 0.7:
            at -= at % 32 - rng.randrange(24)  # inside the first 24 bytes of its word
        out[min(at, len(out) - 1)] = rng.randrange(256)
    if rng.random() < 0.2 and len(out) >= 32:
        out[31] = rng.choice([0, 1, 31, 33, 63, 64, 96, 255])  # odd offsets for strings
    return bytes(out)


def random_data(rng: random.Random) -> bytes:
    r = rng.random()
    if r < 0.02:
        return rng.randbytes(rng.randint(0, 4))
    if r < 0.3:
        selector = ERROR_SELECTOR
    elif r < 0.5:
        selector = PANIC_SELECTOR
    else:
        selector = rng.choice(SELECTORS) if r < 0.9 else rng.randbytes(4)
    body = valid_body(rng, selector)
    shape = rng.random()
    if shape < 0.35:
        pass
    elif shape < 0.5:
        body += rng.randbytes(rng.randint(1, 70))
    elif shape < 0.7:
        body = body[: rng.randint(0, len(body))]
    elif shape < 0.85:
        body = dirty(rng, body)
    else:
        body = rng.randbytes(rng.choice([0, 1, 31, 32, 33, 63, 64, 65, 96, rng.randint(0, 200)]))
    return selector + body


def as_hex(rng: random.Random, data: bytes) -> str:
    text = data.hex()
    if rng.random() < 0.3:
        text = text.upper()
    return ("0x" if rng.random() < 0.5 else "") + text


def test_agrees_with_reference_on_random_data() -> None:
    rng = random.Random(20240601)
    decoder = kestrix.EvmErrorDecoder()
    kinds: dict[str, int] = {}
    for i in range(CASES):
        data = random_data(rng)
        decode = kestrix.decode_error if i % 8 == 0 else decoder.decode
        got = decode(as_hex(rng, data))
        want = reference_decode(data)
        assert list(got.items()) == list(want.items()), f"case {i}: 0x{data.hex()}"
        kinds[want["kind"]] = kinds.get(want["kind"], 0) + 1
    # Every kind the decoder produces was exercised in quantity.
    assert all(kinds.get(k, 0) > CASES // 50 for k in ("revert_string", "panic", "custom_error", "raw_revert"))
    assert kinds.get("empty", 0) > 0


@settings(max_examples=500, deadline=None)
@given(st.sampled_from(SELECTORS + [b"\xde\xad\xbe\xef"]), st.binary(max_size=160))
def test_agrees_with_reference_on_arbitrary_bodies(selector: bytes, body: bytes) -> None:
    data = selector + body
    assert kestrix.decode_error(data.hex()) == reference_decode(data)


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(BUILTIN), st.randoms(use_true_random=False), st.binary(max_size=40))
def test_agrees_with_reference_on_builtin_encodings(row: tuple[Any, ...], rnd: random.Random, trailing: bytes) -> None:
    name, params, _, selector = row
    data = bytes.fromhex(selector) + encode([t for _, t in params], random_args(rnd, params)) + trailing
    assert kestrix.decode_error(data.hex()) == reference_decode(data)
