"""kestrix against the independent reference decoder over random revert data: a seeded bulk
run, and a smaller hypothesis run that shrinks any disagreement to a minimal example."""

from __future__ import annotations

import random

import kestrix
from eth_abi import encode
from hypothesis import given, settings, strategies as st

from test_decode_reference import BY_SELECTOR, ERROR_SELECTOR, PANIC_SELECTOR, random_args, reference_decode

SELECTORS = [ERROR_SELECTOR, PANIC_SELECTOR, *BY_SELECTOR]
PIECES = ["not the owner", "Not Owner", "INSUFFICIENT", "balance", "Allowance", "paused", "already",
          "INIT", "İ", "Σ", "ς", "ＰＡＵＳＥＤ", "\x00", " ", "\u0345", "'", "A"]
PANIC_CODES = [0, 1, 2, 0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x51, 0x52, 0x100, 2**64 - 1, 2**64, 2**256 - 1]
CASES = 100_000


def random_reason(rng: random.Random) -> bytes:
    """UTF-8 of keywords, random code points and NULs; sometimes made invalid by a random tail."""
    def piece() -> str:
        if rng.random() < 0.5:
            return rng.choice(PIECES)
        cp = rng.choice([rng.randint(0x20, 0x7F), rng.randint(0x80, 0x7FF), rng.randint(0x800, 0xFFFF),
                         rng.randint(0x10000, 0x10FFFF)])
        return "?" if 0xD800 <= cp <= 0xDFFF else chr(cp)
    raw = "".join(piece() for _ in range(rng.randint(0, 8))).encode()
    return raw + rng.randbytes(rng.randint(1, 3)) if rng.random() < 0.1 else raw


def valid_body(rng: random.Random, selector: bytes) -> bytes:
    if selector == ERROR_SELECTOR:
        return encode(["bytes"], [random_reason(rng)])  # the layout of string, with any bytes
    if selector == PANIC_SELECTOR:
        return encode(["uint256"], [rng.choice(PANIC_CODES + [rng.getrandbits(rng.randint(1, 256))])])
    entry = BY_SELECTOR.get(selector)
    return (encode([t for _, t in entry[1]], random_args(rng, entry[1])) if entry
            else rng.randbytes(32 * rng.randint(0, 4)))


def dirty(rng: random.Random, body: bytearray) -> bytes:
    """Sets random bytes, mostly the high bytes of words that a lenient reader ignores."""
    for _ in range(rng.randint(1, 4) if body else 0):
        at = rng.randrange(len(body))
        at -= at % 32 - rng.randrange(24) if rng.random() < 0.7 else 0
        body[min(at, len(body) - 1)] = rng.randrange(256)
    if rng.random() < 0.2 and len(body) >= 32:
        body[31] = rng.choice([0, 1, 31, 33, 63, 64, 96, 255])  # odd string offsets
    return bytes(body)


def random_data(rng: random.Random) -> bytes:
    r = rng.random()
    if r < 0.02:
        return rng.randbytes(rng.randint(0, 4))
    selector = ERROR_SELECTOR if r < 0.3 else PANIC_SELECTOR if r < 0.5 else rng.choice(SELECTORS) if r < 0.9 \
        else rng.randbytes(4)
    body, shape = valid_body(rng, selector), rng.random()
    if shape < 0.35:
        return selector + body
    if shape < 0.5:
        return selector + body + rng.randbytes(rng.randint(1, 70))  # trailing bytes
    if shape < 0.7:
        return selector + body[: rng.randint(0, len(body))]  # cut short
    if shape < 0.85:
        return selector + dirty(rng, bytearray(body))
    return selector + rng.randbytes(rng.choice([0, 1, 31, 32, 33, 63, 64, 65, 96, rng.randint(0, 200)]))


def test_agrees_with_reference_on_random_data() -> None:
    rng = random.Random(20240601)
    decoder = kestrix.EvmErrorDecoder()
    kinds: dict[str, int] = {}
    for i in range(CASES):
        data = random_data(rng)
        text = ("0x" if rng.random() < 0.5 else "") + (data.hex().upper() if rng.random() < 0.3 else data.hex())
        got = (kestrix.decode_error if i % 8 == 0 else decoder.decode)(text)
        want = reference_decode(data)
        assert type(got) is dict and list(got.items()) == list(want.items()), f"case {i}: 0x{data.hex()}"
        assert list(map(type, got.values())) == list(map(type, want.values())), f"case {i}: 0x{data.hex()}"
        kinds[want["kind"]] = kinds.get(want["kind"], 0) + 1
    assert all(kinds.get(k, 0) > CASES // 50 for k in ("revert_string", "panic", "custom_error", "raw_revert"))
    assert kinds.get("empty", 0) > 0


@settings(max_examples=500, deadline=None)
@given(st.sampled_from(SELECTORS + [b"\xde\xad\xbe\xef"]), st.binary(max_size=160))
def test_agrees_with_reference_on_arbitrary_bodies(selector: bytes, body: bytes) -> None:
    assert kestrix.decode_error((selector + body).hex()) == reference_decode(selector + body)
