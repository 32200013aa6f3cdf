"""Checks the ABI decoder (through abi_driver) against eth-abi and Python.

Hypothesis builds types from the grammar (bool, intN, uintN, bytesN, address, function, bytes,
string, T[], T[k], tuples, nested) with values for them; eth_abi.encode encodes them and the
decoded values must equal what eth_abi.decode reads back, member by member. Nesting deeper than
the reader's depth limit must fail with RecursionLimitExceeded. Static parameter lists are
decoded again with dirty padding and trailing bytes to confirm the decoder's leniency; cutting
bytes off a static list must overrun. UTF-8 replacement is compared with
bytes.decode("utf-8", "replace"), and the decimal text forms with Python's int.
Exits 77 (skipped) when eth-abi or hypothesis is missing.
"""

import functools
import subprocess
import sys
import time

try:
    import eth_abi
    from hypothesis import HealthCheck, given, settings, strategies as st
except ImportError:
    sys.exit(77)

DEPTH_LIMIT = 16
BASE = settings(
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class Driver:
    def __init__(self, path: str) -> None:
        self.proc = subprocess.Popen(
            [path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1
        )

    def ask(self, *fields: str) -> str:
        assert self.proc.stdin and self.proc.stdout
        self.proc.stdin.write("\t".join(fields) + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().rstrip("\n")

    def close(self) -> None:
        assert self.proc.stdin
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


DRIVER = Driver(sys.argv[1])
DEEP = {"values": 0, "params": 0}

# --- Types: tuples ("bool",), ("int", n), ("uint", n), ("bytesN", n), ("address",),
# ("function",), ("bytes",), ("string",), ("array", t), ("fixed", t, k), ("tuple", [t...]).

STATIC_LEAVES = st.one_of(
    st.just(("bool",)),
    st.integers(1, 32).map(lambda n: ("int", 8 * n)),
    st.integers(1, 32).map(lambda n: ("uint", 8 * n)),
    st.integers(1, 32).map(lambda n: ("bytesN", n)),
    st.just(("address",)),
    st.just(("function",)),
)
LEAVES = st.one_of(STATIC_LEAVES, st.just(("bytes",)), st.just(("string",)))


def extend(inner):
    return st.one_of(
        inner.map(lambda t: ("array", t)),
        st.tuples(inner, st.integers(1, 3)).map(lambda p: ("fixed", p[0], p[1])),
        st.lists(inner, min_size=1, max_size=4).map(lambda ms: ("tuple", ms)),
    )


TYPES = st.recursive(LEAVES, extend, max_leaves=6)

def wrap(t, how):
    if how == "array":
        return ("array", t)
    if how == "fixed":
        return ("fixed", t, 1)
    if how == "pair":
        return ("tuple", [("uint", 256), t])
    return ("tuple", [t])


# Chains of 8 to 16 wrappers around a leaf (reader depths on both sides of the limit); they
# stay narrow so that values do not grow with a power of the depth.
DEEP_TYPES = st.tuples(
    LEAVES,
    st.lists(st.sampled_from(["array", "fixed", "tuple", "pair"]), min_size=8, max_size=16),
).map(lambda p: functools.reduce(wrap, p[1], p[0]))

STATIC_TYPES = st.recursive(
    STATIC_LEAVES,
    lambda inner: st.one_of(
        st.tuples(inner, st.integers(1, 3)).map(lambda p: ("fixed", p[0], p[1])),
        st.lists(inner, min_size=1, max_size=3).map(lambda ms: ("tuple", ms)),
    ),
    max_leaves=4,
)


def type_str(t) -> str:
    kind = t[0]
    if kind in ("int", "uint"):
        return f"{kind}{t[1]}"
    if kind == "bytesN":
        return f"bytes{t[1]}"
    if kind == "array":
        return type_str(t[1]) + "[]"
    if kind == "fixed":
        return f"{type_str(t[1])}[{t[2]}]"
    if kind == "tuple":
        return "(" + ",".join(type_str(m) for m in t[1]) + ")"
    return kind


def values_of(t, longest=3):
    kind = t[0]
    if kind == "bool":
        return st.booleans()
    if kind == "int":
        return st.integers(-(2 ** (t[1] - 1)), 2 ** (t[1] - 1) - 1)
    if kind == "uint":
        return st.integers(0, 2 ** t[1] - 1)
    if kind == "bytesN":
        return st.binary(min_size=t[1], max_size=t[1])
    if kind == "address":
        return st.binary(min_size=20, max_size=20).map(lambda b: "0x" + b.hex())
    if kind == "function":
        return st.binary(min_size=24, max_size=24)
    if kind == "bytes":
        return st.binary(max_size=70)
    if kind == "string":
        return st.text(max_size=40)
    if kind == "array":
        return st.lists(values_of(t[1], longest), max_size=longest)
    if kind == "fixed":
        return st.lists(values_of(t[1], longest), min_size=t[2], max_size=t[2])
    return st.tuples(*(values_of(m, longest) for m in t[1]))


def canonical(t, v) -> str:
    """The driver's text of value `v` of type `t`, computed in Python."""
    kind = t[0]
    if kind == "bool":
        return "true" if v else "false"
    if kind in ("int", "uint"):
        return str(v)
    if kind == "bytesN":
        return f"b{t[1]}:" + v.ljust(32, b"\0").hex()
    if kind == "address":
        return v.lower()
    if kind == "function":
        return "f" + v.hex()
    if kind == "bytes":
        return "x" + v.hex()
    if kind == "string":
        return "s" + v.encode("utf-8").hex()
    if kind in ("array", "fixed"):
        return "[" + ",".join(canonical(t[1], x) for x in v) + "]"
    return "(" + ",".join(canonical(m, x) for m, x in zip(t[1], v)) + ")"


def reader_depth(t, v) -> int:
    """The deepest reader the decoder makes for value `v` of type `t` (the root reader is 0)."""
    kind = t[0]
    if kind in ("bytes", "string"):
        return 1
    if kind == "array":
        if not v:
            return 1
        return 2 + max(reader_depth(t[1], x) for x in v)
    if kind == "fixed":
        return 1 + max(reader_depth(t[1], x) for x in v)
    if kind == "tuple":
        return 1 + max(reader_depth(m, x) for m, x in zip(t[1], v))
    return 0


def typed_value(types, longest=3):
    return types.flatmap(lambda t: st.tuples(st.just(t), values_of(t, longest)))


def expect(got: str, want: str, what: str) -> None:
    if got != want:
        raise AssertionError(f"{what}\n  got:  {got}\n  want: {want}")


@settings(BASE, max_examples=500)
@given(typed_value(TYPES))
def check_single_values(tv) -> None:
    t, v = tv
    ts = type_str(t)
    data = eth_abi.encode([ts], [v])
    got = DRIVER.ask("value", ts, data.hex())
    if reader_depth(t, v) > DEPTH_LIMIT:
        DEEP["values"] += 1
        expect(got, "fail RecursionLimitExceeded", ts)
        return
    (decoded,) = eth_abi.decode([ts], data)
    expect(got, canonical(t, decoded), f"{ts} = {v!r}")


@settings(BASE, max_examples=200)
@given(typed_value(DEEP_TYPES, longest=2))
def check_deep_values(tv) -> None:
    check_single_values.hypothesis.inner_test(tv)


@settings(BASE, max_examples=300)
@given(
    st.lists(st.one_of(typed_value(TYPES), typed_value(DEEP_TYPES, longest=1)), max_size=4),
    st.binary(max_size=40),
)
def check_parameter_lists(tvs, trailing) -> None:
    types = [type_str(t) for t, _ in tvs]
    values = [v for _, v in tvs]
    data = eth_abi.encode(types, values) + trailing
    tuple_str = "(" + ",".join(types) + ")"
    got = DRIVER.ask("params", tuple_str, data.hex())
    # Parameters take no level of their own: each is read from the root reader.
    if any(reader_depth(t, v) > DEPTH_LIMIT for t, v in tvs):
        DEEP["params"] += 1
        expect(got, "fail RecursionLimitExceeded", tuple_str)
        return
    decoded = eth_abi.decode(types, data)
    want = "(" + ",".join(canonical(t, x) for (t, _), x in zip(tvs, decoded)) + ")"
    expect(got, want, f"{tuple_str} = {values!r} + {trailing.hex()}")


def dirty_word(t, word: bytes, noise: bytes) -> tuple[bytes, str]:
    """The word with its padding replaced by noise, and what the lenient decoder reads."""
    kind = t[0]
    if kind == "bool":
        word = noise[:31] + word[31:]
        return word, "true" if any(word) else "false"
    if kind == "uint":
        keep = t[1] // 8
        word = noise[: 32 - keep] + word[32 - keep :]
        return word, str(int.from_bytes(word, "big"))
    if kind == "int":
        keep = t[1] // 8
        word = noise[: 32 - keep] + word[32 - keep :]
        return word, str(int.from_bytes(word, "big", signed=True))
    if kind == "bytesN":
        word = word[: t[1]] + noise[t[1] :]
        return word, f"b{t[1]}:" + word.hex()
    if kind == "address":
        word = noise[:12] + word[12:]
        return word, "0x" + word[12:].hex()
    word = word[:24] + noise[24:]
    return word, "f" + word[:24].hex()


@settings(BASE, max_examples=300)
@given(
    st.lists(
        typed_value(STATIC_LEAVES).flatmap(
            lambda tv: st.tuples(st.just(tv), st.binary(min_size=32, max_size=32))
        ),
        min_size=1,
        max_size=5,
    ),
    st.binary(max_size=64),
)
def check_static_leniency(items, trailing) -> None:
    types = [type_str(t) for (t, _), _ in items]
    data = eth_abi.encode(types, [v for (_, v), _ in items])
    words, wants = [], []
    for i, ((t, _), noise) in enumerate(items):
        word, want = dirty_word(t, data[32 * i : 32 * i + 32], noise)
        words.append(word)
        wants.append(want)
    dirty = b"".join(words) + trailing
    tuple_str = "(" + ",".join(types) + ")"
    expect(DRIVER.ask("params", tuple_str, dirty.hex()), "(" + ",".join(wants) + ")", tuple_str)


@settings(BASE, max_examples=200)
@given(typed_value(STATIC_TYPES), st.integers(1, 32))
def check_static_truncation(tv, cut) -> None:
    t, v = tv
    ts = type_str(t)
    data = eth_abi.encode([ts], [v])
    cut = min(cut, len(data))
    expect(DRIVER.ask("value", ts, data[:-cut].hex()), "fail Overrun", ts)


INTERESTING_BYTES = st.sampled_from(
    [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0]
    + [0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFE, 0xFF]
)


@settings(BASE, max_examples=500)
@given(
    st.one_of(
        st.lists(INTERESTING_BYTES, max_size=24).map(bytes),
        st.binary(max_size=40),
        st.text(max_size=20).map(lambda s: s.encode("utf-8")),
    )
)
def check_utf8_replacement(raw) -> None:
    want = raw.decode("utf-8", "replace").encode("utf-8").hex()
    expect(DRIVER.ask("utf8", raw.hex()), want, raw.hex())


EDGES = [0, 1, 2**64 - 1, 2**64, 2**127 - 1, 2**127, 2**128 - 1, 2**128, 2**255 - 1]
EDGES += [2**255, 2**255 + 1, 2**256 - 1, 10**77, 10**77 - 1]


@settings(BASE, max_examples=300)
@given(st.one_of(st.sampled_from(EDGES), st.integers(0, 2**256 - 1)))
def check_text_forms(n) -> None:
    word = n.to_bytes(32, "big").hex()
    expect(DRIVER.ask("uint", word), str(n), f"uint {n}")
    signed = n - 2**256 if n >= 2**255 else n
    expect(DRIVER.ask("int", word), str(signed), f"int {n}")


def main() -> int:
    try:
        for check in (
            check_single_values,
            check_deep_values,
            check_parameter_lists,
            check_static_leniency,
            check_static_truncation,
            check_utf8_replacement,
            check_text_forms,
        ):
            started = time.monotonic()
            check()
            print(f"{check.__name__}: ok ({time.monotonic() - started:.1f} s)")
        print(f"too deep for the reader: {DEEP}")
    finally:
        DRIVER.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
