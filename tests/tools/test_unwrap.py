"""Wrapped reverts against eth-abi's encoder: random chains of random wrappers, each layer and
each native argument value checked."""

from __future__ import annotations

import json
import re
from dataclasses import dataclass, field
from typing import Any

import kestrix
import kestrix_tools
import pytest
from conftest import selector
from eth_abi import encode
from hypothesis import HealthCheck, given, settings, strategies as st

from kestrix_tools import Decoder
from kestrix_tools._render import json_object

NAMES = st.from_regex(r"[A-Z][a-zA-Z0-9]{0,8}", fullmatch=True)
TEXT = st.text(st.characters(exclude_categories=("Cs",)), max_size=40)
ADDRESS = st.binary(min_size=20, max_size=20).map(lambda b: "0x" + b.hex())
WORD_TEXT = st.text("abcdefghijklmnopqrstuvwxyz :", max_size=30)


@dataclass
class Param:
    """A parameter: its JSON ABI entry, canonical type, encoder type, value, native value."""

    abi: dict[str, Any]
    canonical: str
    value: Any
    native: Any


def _tuple_param(draw: Any, name: str) -> Param:
    named = draw(st.booleans())
    amount, who = draw(st.integers(0, 2**256 - 1)), draw(ADDRESS)
    members = [{"name": "amount" if named else "", "type": "uint256"}, {"name": "who" if named else "", "type": "address"}]
    native = {"amount": amount, "who": who} if named else (amount, who)
    return Param({"name": name, "type": "tuple", "components": members}, "(uint256,address)", (amount, who), native)


SIMPLE = {
    "uint256": st.integers(0, 2**256 - 1),
    "int256": st.integers(-(2**255), 2**255 - 1),
    "int64": st.integers(-(2**63), 2**63 - 1),
    "bool": st.booleans(),
    "address": ADDRESS,
    "string": TEXT,
    "bytes8": st.binary(min_size=8, max_size=8),
    "bytes32": st.binary(min_size=32, max_size=32),
    "uint8[]": st.lists(st.integers(0, 255), max_size=4),
    "address[2]": st.lists(ADDRESS, min_size=2, max_size=2),
    # Data nothing explains: not a layer, but shown as data.
    "bytes": st.one_of(st.just(b""), st.binary(max_size=40).map(lambda b: b"\xff\xff\xff\xfe" + b)),
}


@st.composite
def params(draw: Any, count: int) -> list[Param]:
    out = []
    for position in range(count):
        name = draw(st.sampled_from(["", f"p{position}", f"value{position}"]))
        if draw(st.integers(0, 12)) == 0:
            out.append(_tuple_param(draw, name))
            continue
        kind = draw(st.sampled_from(sorted(SIMPLE)))
        value = draw(SIMPLE[kind])
        out.append(Param({"name": name, "type": kind}, kind, value, value))
    return out


@dataclass
class Layer:
    data: bytes
    signature: str | None
    args: dict[str, Any] | None = None
    message: str | None = None
    target: str | None = None
    call_selector: str | None = None
    context: dict[str, Any] = field(default_factory=dict)


def custom(name: str, plist: list[Param], abi: list[dict[str, Any]]) -> Layer:
    name += f"_{len(abi)}"  # one entry per signature: the decoder keeps the first one's names
    signature = f"{name}({','.join(p.canonical for p in plist)})"
    abi.append({"type": "error", "name": name, "inputs": [p.abi for p in plist]})
    data = bytes.fromhex(selector(signature)) + encode([p.canonical for p in plist], [p.value for p in plist])
    args = {p.abi["name"] or f"arg{i}": p.native for i, p in enumerate(plist)}
    return Layer(data, signature, args)


@st.composite
def root(draw: Any, abi: list[dict[str, Any]]) -> Layer:
    kind = draw(st.sampled_from(["reason", "panic", "custom"]))
    if kind == "reason":
        text = draw(TEXT.filter(lambda t: not t.endswith("\x00")))
        data = bytes.fromhex(selector("Error(string)")) + encode(["string"], [text])
        return Layer(data, "Error(string)", {"message": text})
    if kind == "panic":
        code = draw(st.integers(0, 2**64 - 1))
        return Layer(bytes.fromhex(selector("Panic(uint256)")) + encode(["uint256"], [code]), "Panic(uint256)", {"code": code})
    return custom("R" + draw(NAMES), draw(params(draw(st.integers(0, 4)))), abi)


@st.composite
def wrap(draw: Any, inner: bytes, below: Layer, abi: list[dict[str, Any]]) -> Layer:
    """``inner`` wrapped by a random wrapper; fills what ``below`` learns from it."""
    kind = draw(st.sampled_from(["user", "text", "erc7751", "router", "entrypoint", "v4", "batch"]))
    if kind == "user":
        plist = draw(params(draw(st.integers(0, 3))))
        cause = Param({"name": "inner", "type": "bytes"}, "bytes", inner, inner)
        plist.insert(draw(st.integers(0, len(plist))), cause)
        return custom("W" + draw(NAMES), plist, abi)
    if kind == "text":
        prefix = draw(WORD_TEXT)
        text = prefix.encode() + inner
        data = bytes.fromhex(selector("Error(string)")) + encode(["bytes"], [text])
        return Layer(data, "Error(string)", {"message": text.decode("utf-8", "replace").rstrip("\x00")}, message=prefix)
    if kind == "erc7751":
        target, called = draw(ADDRESS), draw(st.binary(min_size=4, max_size=4))
        # Details may hold a known revert too: the reason is still the one followed.
        details = draw(st.sampled_from([b"", bytes.fromhex(selector("Panic(uint256)")) + encode(["uint256"], [1])]))
        below.target, below.call_selector = target, "0x" + called.hex()
        layer = _known("WrappedError(address,bytes4,bytes,bytes)", ["target", "selector", "reason", "details"],
                       [target, called, inner, details])
        layer.context = {"details": details if not details else {"kind": "panic"}}
        return layer
    if kind == "router":
        index = draw(st.integers(0, 2**256 - 1))
        layer = _known("ExecutionFailed(uint256,bytes)", ["commandIndex", "message"], [index, inner])
        layer.context = {"command_index": index}
        return layer
    if kind == "entrypoint":
        index, reason = draw(st.integers(0, 2**256 - 1)), draw(TEXT)
        layer = _known("FailedOpWithRevert(uint256,string,bytes)", ["opIndex", "reason", "inner"], [index, reason, inner])
        layer.context = {"op_index": index, "reason": reason}
        return layer
    if kind == "v4":
        return _known("UnexpectedRevertBytes(bytes)", ["revertData"], [inner])
    index = draw(st.integers(0, 2**256 - 1))
    layer = _known("CallFailed(uint256,bytes)", ["index", "reason"], [index, inner])
    layer.context = {"call_index": index}
    return layer


def _known(signature: str, names: list[str], values: list[Any]) -> Layer:
    types = signature[signature.index("(") + 1 : -1].split(",")
    data = bytes.fromhex(selector(signature)) + encode(types, values)
    args = {name: (value.lower() if isinstance(value, str) and value.startswith("0x") else value)
            for name, value in zip(names, values)}
    return Layer(data, signature, args)


@st.composite
def chains(draw: Any) -> tuple[list[Layer], list[dict[str, Any]]]:
    abi: list[dict[str, Any]] = []
    layers = [draw(root(abi))]
    for _ in range(draw(st.integers(0, 5))):
        layers.insert(0, draw(wrap(layers[0].data, layers[0], abi)))
    return layers, abi


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(chains())
def test_random_chains_against_the_encoder(built: tuple[list[Layer], list[dict[str, Any]]]) -> None:
    layers, abi = built
    decoder = Decoder(abi=abi)
    explanation = decoder.explain(layers[0].data)
    assert explanation.to_dict() == decoder.decode(layers[0].data)
    assert explanation.depth == len(layers) - 1 and explanation.root is explanation.chain[-1]
    for expected, got in zip(layers, explanation.chain, strict=True):
        assert got.to_dict() == decoder.decode(expected.data)
        assert got.signature == expected.signature
        assert got.args == expected.args
        assert got.message == (expected.message if expected.message is not None else got.to_dict()["message"])
        assert (got.target, got.call_selector) == (expected.target, expected.call_selector)
        assert {k: v["kind"] if isinstance(v, dict) else v for k, v in got.context.items()} == {
            k: v["kind"] if isinstance(v, dict) else v for k, v in expected.context.items()}
    # The JSON the command line writes: the ten keys, then the chain.
    line = json.loads(json.dumps(json_object(explanation)))
    assert list(line)[:10] == list(decoder.decode(layers[0].data)) and len(line["chain"]) == len(layers)


def call(signature: str, types: list[str], values: list[Any]) -> bytes:
    return bytes.fromhex(selector(signature)) + encode(types, values)


PAUSED = call("Error(string)", ["string"], ["Pausable: paused"])
PANIC = call("Panic(uint256)", ["uint256"], [0x11])
UNKNOWN = bytes.fromhex("deadbeef") + bytes(32)


def nested(times: int, inner: bytes = PAUSED) -> bytes:
    for _ in range(times):
        inner = call("UnexpectedRevertBytes(bytes)", ["bytes"], [inner])
    return inner


@pytest.mark.parametrize(("data", "signatures", "chain", "root_args"), [
    # A real payload: a batched call whose revert holds a reason.
    (call("CallFailed(uint256,bytes)", ["uint256", "bytes"], [0, PAUSED]), [],
     ["CallFailed", "revert_string"], {"message": "Pausable: paused"}),
    # 20 nested wrappers: the chain stops at 16 layers, the last one still a wrapper.
    (nested(20), [], ["UnexpectedRevertBytes"] * 16, {"revertData": nested(4)}),
    (nested(15), [], ["UnexpectedRevertBytes"] * 15 + ["revert_string"], {"message": "Pausable: paused"}),
    # An unknown wrapper: the first bytes argument that holds a known revert is the cause.
    (call("Hop(bytes,bytes,bytes)", ["bytes", "bytes", "bytes"], [UNKNOWN, PANIC, PAUSED]), ["Hop(bytes a, bytes b, bytes c)"],
     ["Hop", "panic"], {"code": 0x11}),
    # Unknown or empty data is not a layer, but stays shown as data.
    (call("Hop(bytes,bytes,bytes)", ["bytes", "bytes", "bytes"], [UNKNOWN, b"", b"\x08\xc3"]), ["Hop(bytes a, bytes b, bytes c)"],
     ["Hop"], {"a": UNKNOWN, "b": b"", "c": b"\x08\xc3"}),
    # A known wrapper follows its cause only, even when another argument holds a known revert.
    (call("WrappedError(address,bytes4,bytes,bytes)", ["address", "bytes4", "bytes", "bytes"],
          ["0x" + "11" * 20, b"\x01\x02\x03\x04", UNKNOWN, PANIC]), [],
     ["WrappedError"], {"target": "0x" + "11" * 20, "selector": b"\x01\x02\x03\x04", "reason": UNKNOWN, "details": PANIC}),
    # Truncated: nothing decodes the wrapper, so nothing is followed.
    (nested(2)[:90], [], ["raw_revert"], {}),
    # A reason text that carries a panic after non-UTF-8 text.
    (call("Error(string)", ["bytes"], [b"bad \xff: " + PANIC]), [], ["revert_string", "panic"], {"code": 0x11}),
])
def test_chain_boundaries(data: bytes, signatures: list[str], chain: list[str], root_args: dict[str, Any]) -> None:
    decoder = Decoder(signatures=signatures)
    explanation = decoder.explain(data)
    assert [layer.error_name or layer.kind for layer in explanation.chain] == chain
    assert explanation.root.args == root_args
    assert explanation.to_dict() == decoder.decode(data) == decoder.decode("0x" + data.hex())
    for layer in explanation.chain:
        assert layer.to_dict() == decoder.decode(layer.raw_data)


def test_hostile_input_gets_the_errors_decode_gives() -> None:
    decoder = Decoder()
    for bad in ["0xzz", 12, None]:
        with pytest.raises((ValueError, TypeError)) as expected:
            decoder.decode(bad)  # type: ignore[arg-type]
        with pytest.raises(type(expected.value), match=re.escape(str(expected.value))):
            decoder.explain(bad)  # type: ignore[arg-type]


def test_explain_gives_the_chain_on_request() -> None:
    rpc_error = {"code": 3, "message": "execution reverted", "data": "0x" + nested(2).hex()}
    assert kestrix_tools.explain(rpc_error) == Decoder().decode(nested(2))
    explanation = kestrix_tools.explain(rpc_error, chain=True)
    assert explanation is not None and explanation.depth == 2 and explanation.root.message == "Pausable: paused"
    assert explanation.root_fields() == {"root_kind": "revert_string", "root_error_name": None,
                                         "root_message": "Pausable: paused", "root_selector": "0x08c379a0", "depth": 2}
    # A decoder that does not unwrap gives the outermost layer alone.
    outer = kestrix_tools.explain(rpc_error, kestrix.EvmErrorDecoder(), chain=True)
    assert outer is not None and outer.depth == 0 and outer.to_dict()["kind"] == "raw_revert"


def test_args_keep_every_value() -> None:
    """Two parameters of one name: the second is reported by position instead of replacing the first."""
    decoder = Decoder(signatures=["Dup(uint256 a, uint256 a, uint256)"])
    layer = decoder.explain(call("Dup(uint256,uint256,uint256)", ["uint256"] * 3, [1, 2, 3])).root
    assert layer.args == {"a": 1, "arg1": 2, "arg2": 3}


def test_decode_many_adds_the_root_cause_after_the_ten_keys() -> None:
    items = [nested(2), PANIC, None, "0x" + nested(1).hex()]
    got = list(kestrix_tools.decode_many(items, root_cause=True))
    assert got[2] is None
    for item, row in zip(items, got):
        if item is None:
            continue
        assert row is not None
        explanation = Decoder().explain(item)
        assert list(row) == [*Decoder().decode(item), "root_kind", "root_error_name", "root_message", "root_selector", "depth"]
        assert row == {**explanation.to_dict(), **explanation.root_fields()}
    assert [row["depth"] for row in got if row is not None] == [2, 0, 1]
    assert got[1] is not None and got[1]["root_kind"] == got[1]["kind"] == "panic"
