# Checks the ABI decoder (through abi_driver) against eth-abi on hypothesis-built types and
# values, including nesting past the depth limit, dirty padding and truncation; UTF-8
# replacement against bytes.decode and the decimal forms against int. Exit 77: tools missing.

import functools
import subprocess
import sys

try:
    import eth_abi
    from hypothesis import HealthCheck, given, settings, strategies as st
except ImportError as error:
    print(f"{error.name} is not installed for {sys.executable}: skipped")
    sys.exit(77)

DEPTH_LIMIT = 16
BASE = settings(derandomize=True, database=None, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
PROC = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
TOO_DEEP = [0]


def ask(*fields: str) -> str:
    PROC.stdin.write("\t".join(fields) + "\n")
    PROC.stdin.flush()
    return PROC.stdout.readline().rstrip("\n")


def expect(got: str, want: str, what: str) -> None:
    assert got == want, f"{what}\n  got:  {got}\n  want: {want}"


# Types are tuples: ("bool",), ("int", bits), ("uint", bits), ("bytesN", n), ("address",),
# ("function",), ("bytes",), ("string",), ("array", t), ("fixed", t, k), ("tuple", [t, ...]).
STATIC_LEAVES = st.sampled_from([("bool",), ("address",), ("function",)]) | st.builds(
    lambda kind, n: (kind, n if kind == "bytesN" else 8 * n),
    st.sampled_from(["int", "uint", "bytesN"]), st.integers(1, 32))
LEAVES = STATIC_LEAVES | st.sampled_from([("bytes",), ("string",)])


def fixed(inner, most):
    return st.tuples(st.just("fixed"), inner, st.integers(1, most))


def tuples(inner, most):
    return st.lists(inner, min_size=1, max_size=most).map(lambda ms: ("tuple", ms))


TYPES = st.recursive(LEAVES, lambda i: i.map(lambda t: ("array", t)) | fixed(i, 3) | tuples(i, 4),
                     max_leaves=6)
STATIC_TYPES = st.recursive(STATIC_LEAVES, lambda i: fixed(i, 3) | tuples(i, 3), max_leaves=4)
# Chains of 8 to 18 narrow wrappers around a leaf: nesting on both sides of the limit.
WRAP = {"array": lambda t: ("array", t), "fixed": lambda t: ("fixed", t, 1),
        "tuple": lambda t: ("tuple", [t]), "pair": lambda t: ("tuple", [("uint", 256), t])}
DEEP_TYPES = st.tuples(LEAVES, st.lists(st.sampled_from(sorted(WRAP)), min_size=8, max_size=18)
                       ).map(lambda p: functools.reduce(lambda t, w: WRAP[w](t), p[1], p[0]))


def type_str(t) -> str:
    kind = t[0]
    if kind == "array":
        return type_str(t[1]) + "[]"
    if kind == "fixed":
        return f"{type_str(t[1])}[{t[2]}]"
    if kind == "tuple":
        return "(" + ",".join(map(type_str, t[1])) + ")"
    return kind.replace("bytesN", "bytes") + "".join(map(str, t[1:]))


def values_of(t, longest=3):
    kind = t[0]
    if kind == "array":
        return st.lists(values_of(t[1], longest), max_size=longest)
    if kind == "fixed":
        return st.lists(values_of(t[1], longest), min_size=t[2], max_size=t[2])
    if kind == "tuple":
        return st.tuples(*(values_of(m, longest) for m in t[1]))
    if kind in ("int", "uint"):
        low = -(2 ** (t[1] - 1)) if kind == "int" else 0
        return st.integers(low, low + 2 ** t[1] - 1)
    if kind == "address":
        return st.binary(min_size=20, max_size=20).map(lambda b: "0x" + b.hex())
    if kind in ("bytesN", "function"):
        size = t[1] if kind == "bytesN" else 24
        return st.binary(min_size=size, max_size=size)
    return {"bool": st.booleans(), "bytes": st.binary(max_size=70),
            "string": st.text(max_size=40)}[kind]


def canonical(t, v) -> str:
    kind = t[0]
    if kind in ("array", "fixed"):
        return "[" + ",".join(canonical(t[1], x) for x in v) + "]"
    if kind == "tuple":
        return "(" + ",".join(map(canonical, t[1], v)) + ")"
    if kind == "bool":
        return "true" if v else "false"
    if kind in ("int", "uint", "address"):
        return str(v).lower()
    if kind == "bytesN":
        return f"b{t[1]}:" + v.ljust(32, b"\0").hex()
    return {"function": "f", "bytes": "x"}.get(kind, "s") + (v.encode() if kind == "string"
                                                             else v).hex()


def reader_depth(t, v) -> int:
    # The deepest reader the decoder makes for value `v` of type `t` (the root reader is 0):
    # every tuple, fixed array and dynamic array takes one level; an empty array's elements none.
    kind = t[0]
    if kind == "array":
        return 1 + (max(reader_depth(t[1], x) for x in v) if v else 0)
    if kind == "fixed":
        return 1 + max(reader_depth(t[1], x) for x in v)
    return 1 + max(map(reader_depth, t[1], v)) if kind == "tuple" else 0


def typed(types, longest=3):
    return types.flatmap(lambda t: st.tuples(st.just(t), values_of(t, longest)))


def decodes_like_eth_abi(op: str, tvs, trailing: bytes = b"") -> None:
    types = [type_str(t) for t, _ in tvs]
    data = eth_abi.encode(types, [v for _, v in tvs]) + trailing
    what = types[0] if op == "value" else "(" + ",".join(types) + ")"
    got = ask(op, what, data.hex())
    # Parameters take no level of their own: each is read from the root reader.
    if any(reader_depth(t, v) > DEPTH_LIMIT for t, v in tvs):
        TOO_DEEP[0] += 1
        return expect(got, "fail RecursionLimitExceeded", what)
    want = ",".join(map(canonical, [t for t, _ in tvs], eth_abi.decode(types, data)))
    expect(got, want if op == "value" else f"({want})", what)


@settings(BASE, max_examples=500)
@given(typed(TYPES))
def check_single_values(tv) -> None:
    decodes_like_eth_abi("value", [tv])


@settings(BASE, max_examples=200)
@given(typed(DEEP_TYPES, longest=2))
def check_deep_values(tv) -> None:
    decodes_like_eth_abi("value", [tv])


@settings(BASE, max_examples=300)
@given(st.lists(typed(TYPES) | typed(DEEP_TYPES, longest=1), max_size=4), st.binary(max_size=40))
def check_parameter_lists(tvs, trailing) -> None:
    decodes_like_eth_abi("params", tvs, trailing)


def dirty_word(t, word: bytes, noise: bytes) -> tuple[bytes, str]:
    # The word with its padding replaced by noise, and what the lenient decoder reads.
    kind = t[0]
    if kind in ("bytesN", "function"):
        keep = t[1] if kind == "bytesN" else 24
        word = word[:keep] + noise[keep:]
    else:
        keep = {"bool": 1, "address": 20}.get(kind) or t[1] // 8
        word = noise[: 32 - keep] + word[32 - keep:]
    number = int.from_bytes(word, "big", signed=kind == "int")
    return word, {"bool": "true" if number else "false", "address": "0x" + word[12:].hex(),
                  "bytesN": f"b{t[-1]}:{word.hex()}", "function": "f" + word[:24].hex()
                  }.get(kind, str(number))


@settings(BASE, max_examples=300)
@given(st.lists(st.tuples(typed(STATIC_LEAVES), st.binary(min_size=32, max_size=32)),
                min_size=1, max_size=5), st.binary(max_size=64))
def check_static_leniency(items, trailing) -> None:
    types = [type_str(t) for (t, _), _ in items]
    data = eth_abi.encode(types, [v for (_, v), _ in items])
    dirty = [dirty_word(t, data[32 * i: 32 * i + 32], noise)
             for i, ((t, _), noise) in enumerate(items)]
    what = "(" + ",".join(types) + ")"
    got = ask("params", what, (b"".join(w for w, _ in dirty) + trailing).hex())
    expect(got, "(" + ",".join(want for _, want in dirty) + ")", what)


@settings(BASE, max_examples=200)
@given(typed(STATIC_TYPES), st.integers(1, 32))
def check_static_truncation(tv, cut) -> None:
    data = eth_abi.encode([type_str(tv[0])], [tv[1]])
    expect(ask("value", type_str(tv[0]), data[:-cut].hex()), "fail Overrun", type_str(tv[0]))


def utf8_matches(raw: bytes) -> None:
    expect(ask("utf8", raw.hex()), raw.decode("utf-8", "replace").encode().hex(), raw.hex())


# Overlongs, surrogates, above U+10FFFF, truncations at the end and inside, and the edges
# of the valid ranges.
UTF8_EDGES = [bytes.fromhex(h) for h in (
    "c0af e080af eda080 f4908080 f580 80bf e282 e28278 f09f9878f09f ed9fbf ee8080 f48fbfbf 00c2"
).split()]
INTERESTING_BYTES = st.sampled_from(
    [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1,
     0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFE, 0xFF])


@settings(BASE, max_examples=500)
@given(st.lists(INTERESTING_BYTES, max_size=24).map(bytes) | st.binary(max_size=40)
       | st.text(max_size=20).map(str.encode))
def check_utf8_replacement(raw) -> None:
    utf8_matches(raw)


def text_forms_match(n: int) -> None:
    word = n.to_bytes(32, "big").hex()
    expect(ask("uint", word), str(n), f"uint {n}")
    expect(ask("int", word), str(n - 2**256 if n >= 2**255 else n), f"int {n}")


# As signed words the top ones read -2^255, -2^127, -2^127 - 1 and -1.
EDGES = [0, 1, 2**64 - 1, 2**64, 2**127 - 1, 2**127, 2**128 - 1, 2**128, 2**255 - 1, 2**255,
         2**255 + 1, 10**77 - 1, 10**77, 2**256 - 2**127, 2**256 - 2**127 - 1, 2**256 - 1]


@settings(BASE, max_examples=300)
@given(st.integers(0, 2**256 - 1))
def check_text_forms(n) -> None:
    text_forms_match(n)


def main() -> int:
    try:
        for raw in UTF8_EDGES:
            utf8_matches(raw)
        for n in EDGES:
            text_forms_match(n)
        for check in (check_single_values, check_deep_values, check_parameter_lists,
                      check_static_leniency, check_static_truncation, check_utf8_replacement,
                      check_text_forms):
            check()
            print(f"{check.__name__}: ok")
        assert TOO_DEEP[0] > 0, "no value was too deep for the reader"
        print(f"{TOO_DEEP[0]} values too deep for the reader")
    finally:
        PROC.stdin.close()
        PROC.wait(timeout=10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
