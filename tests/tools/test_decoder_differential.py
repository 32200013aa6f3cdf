"""Decoder against eth-abi: random error definitions, loaded both as a JSON ABI and as signature
text, their arguments encoded by eth_abi.encode and decoded back, every value compared in the
lossless inputs forms; selectors checked with pycryptodome's Keccak-256; truncated and corrupted
payloads never raise.

KESTRIX_DIFFERENTIAL_DEFINITIONS sets how many definitions run (default 10,000, in batches)."""

from __future__ import annotations

import json
import math
import os
import random
from typing import Any, Union

from Crypto.Hash import keccak
from eth_abi import encode
from hypothesis import HealthCheck, given, settings, strategies as st

from kestrix_tools import Decoder

DEFINITIONS = int(os.environ.get("KESTRIX_DIFFERENTIAL_DEFINITIONS", "10000"))
BATCH = 10
KEYS = ["raw_data", "selector", "suggestion", "confidence", "kind", "message", "error_name", "inputs",
        "panic_code", "panic_meaning"]

# A type tree: ("leaf", written type, canonical type) | ("array", child, length or None)
# | ("tuple", ((member name, child), ...)).
Node = tuple[Any, ...]
Json = Union[dict[str, Any], list[Any], str, int, bool]

NAMES = st.sampled_from(["a", "to", "amount", "_x", "$y", "Z9", "error", "tuple", "uint256", "owner_", "x$1"])


def _leaf(written: str, canonical: str | None = None) -> Node:
    return ("leaf", written, canonical or written)


LEAVES = st.one_of(
    st.integers(1, 32).map(lambda n: _leaf(f"uint{8 * n}")),
    st.integers(1, 32).map(lambda n: _leaf(f"int{8 * n}")),
    st.sampled_from([_leaf("uint", "uint256"), _leaf("int", "int256"), _leaf("bool"), _leaf("address"),
                     _leaf("bytes"), _leaf("string"), _leaf("function")]),
    st.integers(1, 32).map(lambda n: _leaf(f"bytes{n}")),
)


def _extend(children: st.SearchStrategy[Node]) -> st.SearchStrategy[Node]:
    return st.one_of(
        st.tuples(st.just("array"), children, st.none() | st.integers(1, 3)),
        st.tuples(st.just("tuple"), st.lists(st.tuples(NAMES, children), min_size=1, max_size=4).map(tuple)),
    )


def reader_depth(node: Node) -> int:
    """Levels the native reader descends for a value of this type (dynamic arrays take two)."""
    if node[0] == "leaf":
        return 1 if node[1] in ("bytes", "string") else 0
    if node[0] == "array":
        return reader_depth(node[1]) + (2 if node[2] is None else 1)
    return 1 + max(reader_depth(child) for _, child in node[1])


TYPES = st.recursive(LEAVES, _extend, max_leaves=6).filter(lambda n: reader_depth(n) <= 14)


def canonical(node: Node) -> str:
    if node[0] == "leaf":
        return str(node[2])
    if node[0] == "array":
        return canonical(node[1]) + (f"[{node[2]}]" if node[2] else "[]")
    return "(" + ",".join(canonical(child) for _, child in node[1]) + ")"


def _base_and_suffixes(node: Node) -> tuple[Node, str]:
    suffixes = ""
    while node[0] == "array":
        suffixes = (f"[{node[2]}]" if node[2] else "[]") + suffixes
        node = node[1]
    return node, suffixes


def json_param(name: str, node: Node) -> dict[str, Any]:
    base, suffixes = _base_and_suffixes(node)
    if base[0] == "leaf":
        return {"name": name, "type": base[1] + suffixes, "internalType": base[1]}
    return {"name": name, "type": "tuple" + suffixes,
            "components": [json_param(member, child) for member, child in base[1]]}


def signature_param(rng: random.Random, name: str, node: Node, named: bool) -> str:
    """A parameter as free-form text: random spacing, "tuple" prefix sometimes, names if ``named``."""
    def gap() -> str:
        return rng.choice(["", "", " ", "  ", "\t"])
    base, suffixes = _base_and_suffixes(node)
    if rng.random() < 0.3:
        suffixes = suffixes.replace("[", gap() + "[" + gap()).replace("]", gap() + "]")
    if base[0] == "leaf":
        text = base[1]
    else:
        members = ("," + gap()).join(gap() + signature_param(rng, m, c, named) + gap() for m, c in base[1])
        text = rng.choice(["", "tuple", "tuple "]) + "(" + members + ")"
    return text + suffixes + (" " + gap() + name if named else "")


def values(node: Node) -> st.SearchStrategy[Any]:
    if node[0] == "array":
        if node[2] is not None:
            return st.lists(values(node[1]), min_size=node[2], max_size=node[2])
        return st.lists(values(node[1]), max_size=3)
    if node[0] == "tuple":
        return st.tuples(*(values(child) for _, child in node[1]))
    t = str(node[2])
    if t.startswith("uint"):
        bits = int(t[4:])
        return st.integers(0, 2**bits - 1) | st.sampled_from([0, 2**bits - 1, min(2**128, 2**bits - 1)])
    if t.startswith("int"):
        bits = int(t[3:])
        return st.integers(-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) | st.sampled_from(
            [-(2 ** (bits - 1)), -1, 2 ** (bits - 1) - 1])
    if t == "bool":
        return st.booleans()
    if t == "address":
        return st.binary(min_size=20, max_size=20)
    if t == "function":
        return st.binary(min_size=24, max_size=24)
    if t == "bytes":
        return st.binary(max_size=70)
    if t == "string":
        return st.text(st.characters(exclude_categories=["Cs"]), max_size=12)
    size = int(t[5:])
    return st.binary(min_size=size, max_size=size)


def form(node: Node, value: Any, names: bool) -> Json:
    """The lossless inputs form of a value."""
    if node[0] == "array":
        return {"type": "array", "value": [form(node[1], v, names) for v in value]}
    if node[0] == "tuple":
        return {"type": "tuple", "value": [[m if names else "", form(c, v, names)]
                                           for (m, c), v in zip(node[1], value)]}
    t = str(node[2])
    if t.startswith("uint"):
        return {"type": "uint", "value": value} if value < 2**128 else {"type": "biguint", "value": str(value)}
    if t.startswith("int"):
        small = -(2**127) <= value < 2**127
        return {"type": "int", "value": value} if small else {"type": "bigint", "value": str(value)}
    if t == "bool":
        return {"type": "bool", "value": value}
    if t == "address":
        return {"type": "address", "value": "0x" + value.hex()}
    if t == "string":
        return {"type": "str", "value": value}
    return {"type": "bytes", "value": list(value)}


def selector(signature: str) -> bytes:
    return keccak.new(digest_bits=256, data=signature.encode()).digest()[:4]


DEFINITION = st.lists(st.tuples(NAMES, TYPES), max_size=4)


@settings(max_examples=math.ceil(DEFINITIONS / BATCH), deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
@given(st.lists(st.tuples(NAMES, DEFINITION), min_size=BATCH, max_size=BATCH), st.randoms(use_true_random=True),
       st.data())
def test_random_definitions_decode_what_eth_abi_encodes(
        batch: list[tuple[str, list[tuple[str, Node]]]], rng: random.Random, data: st.DataObject) -> None:
    names = [f"{name}_{i}" for i, (name, _) in enumerate(batch)]  # one selector per definition
    abi: list[dict[str, Any]] = [{"type": "function", "name": "f", "inputs": []}]
    texts: list[str] = []
    named_in_text: list[bool] = []
    for name, (_, params) in zip(names, batch):
        abi.append({"type": "error", "name": name, "inputs": [json_param(p, node) for p, node in params]})
        with_names = rng.random() < 0.7
        named_in_text.append(with_names)
        body = ("," + rng.choice(["", " "])).join(signature_param(rng, p, node, with_names)
                                                  for p, node in params)
        texts.append(rng.choice(["error ", "error  ", ""]) + name + rng.choice(["", " "]) + "(" + body + ")")
    signatures = [f"{name}({','.join(canonical(node) for _, node in params)})"
                  for name, (_, params) in zip(names, batch)]

    from_abi = Decoder(abi=json.dumps(abi) if rng.random() < 0.5 else abi)
    from_text = Decoder(signatures=texts)
    assert from_abi.errors == tuple(signatures)
    assert from_text.errors == tuple(signatures)

    all_args = data.draw(st.tuples(*(st.tuples(*(values(node) for _, node in params)) for _, params in batch)))
    for name, signature, (_, params), text_names, args in zip(names, signatures, batch, named_in_text, all_args):
        payload = selector(signature) + encode([canonical(node) for _, node in params], args)
        for decoder, with_names in ((from_abi, True), (from_text, text_names)):
            got = decoder.decode(payload.hex() if rng.random() < 0.5 else payload)
            assert list(got) == KEYS
            assert (got["kind"], got["error_name"], got["selector"]) == ("custom_error", name, "0x" + payload[:4].hex())
            assert got["confidence"] == 0.949999988079071 and got["suggestion"] is None
            want = [[p if with_names else "", form(node, arg, with_names)] for (p, node), arg in zip(params, args)]
            assert got["inputs"] is not None and json.loads(got["inputs"]) == want, signature

        # Damaged payloads: a result, never an exception.
        cut = payload[: rng.randrange(len(payload) + 1)]
        flipped = bytearray(payload)
        for _ in range(rng.randint(1, 3)):
            if len(flipped) > 4:
                flipped[rng.randrange(4, len(flipped))] = rng.randrange(256)
        for damaged in (cut, bytes(flipped), payload + bytes(rng.randint(1, 40))):
            got = from_abi.decode(damaged if rng.random() < 0.5 else damaged.hex())
            assert list(got) == KEYS and got["raw_data"] == "0x" + damaged.hex()
