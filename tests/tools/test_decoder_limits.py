"""What loads must decode: types at the nesting limit and one past it, types holding an empty
tuple, and text that is not valid Unicode, through every way definitions reach the decoder.
eth-abi encodes the data; the refusals name where the bad input came from."""

from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Any, Union

import pytest
from eth_abi import encode
from hypothesis import given, settings, strategies as st

from kestrix_tools import Decoder, _native
from conftest import selector

LIMIT = 16
# A type tree: a leaf type name, ("[]" or "[k]", element), or ("()", [members]).
Tree = Union[str, tuple[str, Any]]


def canonical(tree: Tree) -> str:
    if isinstance(tree, str):
        return tree
    kind, inner = tree
    return "(" + ",".join(map(canonical, inner)) + ")" if kind == "()" else canonical(inner) + kind


def abi_param(tree: Tree) -> dict[str, Any]:
    suffixes = ""
    while not isinstance(tree, str) and tree[0] != "()":
        suffixes = tree[0] + suffixes
        tree = tree[1]
    if isinstance(tree, str):
        return {"name": "v", "type": tree + suffixes}
    return {"name": "v", "type": "tuple" + suffixes, "components": [abi_param(m) for m in tree[1]]}


def value(tree: Tree, leaf: Any) -> Any:
    if isinstance(tree, str):
        return leaf
    kind, inner = tree
    if kind == "()":
        return tuple(value(m, leaf) for m in inner)
    return [value(inner, leaf)] * (1 if kind == "[]" else int(kind[1:-1]))


def nest(levels: int, leaf: str, wrappers: list[str]) -> Tree:
    tree: Tree = leaf
    for level in range(levels):
        wrapper = wrappers[level % len(wrappers)]
        tree = ("()", [tree]) if wrapper == "()" else (wrapper, tree)
    return tree


# Every container kind counts one level, whatever the data behind it looks like.
SHAPES = {
    "dynamic arrays of uint256": ("uint256", ["[]"], 5, '"value":5}'),
    "fixed arrays of string": ("string", ["[1]"], "deep", '"value":"deep"}'),
    "tuples around string": ("string", ["()"], "deep", '"value":"deep"}'),
    "tuples and dynamic arrays of bytes": ("bytes", ["()", "[]"], b"\x01\x02", '"value":[1,2]}'),
    "fixed pairs in dynamic arrays of address": ("address", ["[2]", "[]"], "0x" + "ab" * 20, "ab" * 20),
}


def decoders(tree: Tree) -> dict[str, Any]:
    """Each way of loading the error ``Deep(<tree>)``, as a function that builds the decoder."""
    text = f"Deep({canonical(tree)})"
    return {
        "signatures": lambda: Decoder(signatures=[text]),
        "abi": lambda: Decoder(abi=[{"type": "error", "name": "Deep", "inputs": [abi_param(tree)]}]),
        "native": lambda: _native.Decoder([("Deep", [("v", canonical(tree), None)], None)]),
    }


@pytest.mark.parametrize("shape", SHAPES)
def test_types_at_the_nesting_limit_decode_and_one_past_it_are_refused(shape: str) -> None:
    leaf, wrappers, leaf_value, leaf_json = SHAPES[shape]
    at_limit = nest(LIMIT, leaf, wrappers)
    data = selector(f"Deep({canonical(at_limit)})") + encode([canonical(at_limit)], [value(at_limit, leaf_value)]).hex()
    for way, build in decoders(at_limit).items():
        result = build().decode(data)
        assert (result["kind"], result["error_name"]) == ("custom_error", "Deep"), (way, result)
        assert leaf_json in result["inputs"]
    for way, build in decoders(nest(LIMIT + 1, leaf, wrappers)).items():
        with pytest.raises(ValueError, match=f"nested deeper than {LIMIT} levels|more than {LIMIT} array dimensions"):
            build()


def levels(tree: Tree) -> int:
    if isinstance(tree, str):
        return 0
    kind, inner = tree
    return 1 + (max(map(levels, inner)) if kind == "()" else levels(inner))


LEAVES = st.sampled_from([("uint256", 7, '"value":7}'), ("string", "s", '"value":"s"}'), ("bool", True, '"value":true}')])
SIBLINGS = st.sampled_from(["uint8", "uint64", ("[]", "uint8"), ("()", ["uint8", ("[2]", "uint16")])])
# Chains of 12 to 18 containers, each a dynamic or fixed array or a tuple whose other members
# (before or after it) are shallower: nesting on both sides of the limit.
WRAPPERS = st.lists(st.one_of(st.sampled_from(["[]", "[1]", "[2]", "()"]),
                              st.tuples(st.booleans(), SIBLINGS)), min_size=12, max_size=18)


def chain(wrappers: list[Any], leaf: str, leaf_value: Any) -> tuple[Tree, Any]:
    """The type the wrappers make around ``leaf``, and a value of it."""
    tree: Tree = leaf
    held = leaf_value
    for wrapper in wrappers:
        if isinstance(wrapper, tuple):
            first, sibling = wrapper
            tree = ("()", [tree, sibling] if first else [sibling, tree])
            held = (held, value(sibling, 1)) if first else (value(sibling, 1), held)
        elif wrapper == "()":
            tree, held = ("()", [tree]), (held,)
        else:
            tree, held = (wrapper, tree), [held] * (1 if wrapper == "[]" else int(wrapper[1:-1]))
    return tree, held


@settings(max_examples=60, deadline=None, derandomize=True)
@given(WRAPPERS, LEAVES)
def test_a_type_loads_exactly_when_it_decodes(wrappers: list[Any], leaf: tuple[str, Any, str]) -> None:
    tree, held = chain(wrappers, leaf[0], leaf[1])
    text = f"Deep({canonical(tree)})"
    if levels(tree) > LIMIT:
        with pytest.raises(ValueError):
            Decoder(signatures=[text])
        return
    result = Decoder(signatures=[text]).decode(selector(text) + encode([canonical(tree)], [held]).hex())
    assert result["kind"] == "custom_error" and leaf[2] in result["inputs"], (text, result)


# eth-abi and Solidity have no empty tuple: a value of one occupies no data, so an array of
# them would carry a length that nothing can check.
@pytest.mark.parametrize("type_text", ["()", "()[]", "()[3]", "(())[]", "(uint8,())", "(uint8,()[])[2]", "((),bool)[]"])
def test_types_holding_an_empty_tuple_are_refused(type_text: str) -> None:
    text = f"Foo(uint256,{type_text})"
    with pytest.raises(ValueError, match=f"^signature {re.escape(repr(text))}: parameter [12]: .*empty tuple"):
        Decoder(signatures=[text])
    with pytest.raises(ValueError, match="error 'Foo', parameter 2 'b': .*empty tuple"):
        _native.Decoder([("Foo", [("a", "uint256", None), ("b", type_text, None)], None)])


def test_empty_tuples_in_a_json_abi_are_refused_naming_the_file(tmp_path: Path) -> None:
    param = {"name": "b", "type": "tuple[]", "components": [{"name": "c", "type": "tuple", "components": []}]}
    path = tmp_path / "Holder.json"
    path.write_text(json.dumps([{"type": "error", "name": "Foo", "inputs": [param]}]))
    with pytest.raises(ValueError, match=f"^{path}: ABI entry 0 \\(error Foo\\) input 0 \\(b\\).*empty tuple"):
        Decoder(paths=[path])


LONE = "\ud800"


def artifact(param_name: str, notice: str) -> dict[str, Any]:
    abi = [{"type": "error", "name": "Foo", "inputs": [{"name": param_name, "type": "uint256"}]}]
    return {"abi": abi, "userdoc": {"errors": {"Foo(uint256)": [{"notice": notice}]}}}


@pytest.mark.parametrize(("param_name", "notice", "what"), [
    (LONE, "fine", "input 0"),
    ("x" + LONE, "fine", "input 0"),
    ("x", "bad " + LONE + " notice", "NatSpec of Foo\\(uint256\\)"),
])
def test_lone_surrogates_are_refused_naming_the_file(tmp_path: Path, param_name: str, notice: str, what: str) -> None:
    path = tmp_path / "Foo.json"
    # json.dumps writes the surrogate as a \ud800 escape, which json.loads gives back as is.
    path.write_text(json.dumps(artifact(param_name, notice)))
    for load in (lambda: Decoder(paths=[path]), lambda: Decoder(abi=path.read_text())):
        with pytest.raises(ValueError, match=f"{what}.*not valid Unicode") as caught:
            load()
        assert not isinstance(caught.value, UnicodeError)
        assert str(path) in str(caught.value) or str(caught.value).startswith("abi")


@pytest.mark.parametrize(("definitions", "where"), [
    ([("Foo", [(LONE, "uint256", None)], None)], "definition 1 parameter 1 name"),
    ([("Foo", [("a", "tuple", [(LONE, "bool", None)])], None)], "definition 1 parameter 1 component 1 name"),
    ([("Foo", [("a", "uint" + LONE, None)], None)], "definition 1 parameter 1 type"),
    ([("Foo", [], "hint " + LONE)], "definition 1 suggestion"),
    ([("Ok", [], None), (LONE, [], None)], "definition 2 name"),
])
def test_lone_surrogates_reaching_the_native_reader_say_where(definitions: Any, where: str) -> None:
    with pytest.raises(ValueError) as caught:
        _native.Decoder(definitions)
    assert not isinstance(caught.value, UnicodeError)
    assert str(caught.value).startswith(f"{where}: not valid Unicode")


def test_names_cut_short_in_messages_keep_whole_characters() -> None:
    for name in ("a" * 59 + "é", "a" * 58 + "€", "a" * 57 + "\U0001f600"):
        with pytest.raises(ValueError) as caught:
            _native.Decoder([("Foo", [(name, "uint7", None)], None)])
        assert "\ufffd" not in str(caught.value) and "'" + "a" * 57 in str(caught.value)
