"""What the package knows about errors that carry the revert they caught (data/wrappers.json):
which parameter holds the cause, which name the contract and function that reverted, and the
wrapper's own extras. Data, not code: a new wrapper is one more entry in the file."""

from __future__ import annotations

import functools
import json
from pathlib import Path
from dataclasses import dataclass
from typing import Any

from kestrix_tools._definitions import Definition

__all__ = ["Wrapper", "known_wrappers", "native_arguments", "native_decoder"]


@dataclass(frozen=True)
class Wrapper:
    """One known wrapper: the parameter positions of the cause, the target, the called function
    and the extras (a user's copy of the error may name its parameters otherwise)."""

    signature: str
    cause: int
    target: int | None
    call_selector: int | None
    #: (context key, parameter position) pairs.
    context: tuple[tuple[str, int], ...]


def _load() -> tuple[dict[str, Wrapper], tuple[Definition, ...], tuple[int, ...]]:
    text = (Path(__file__).resolve().parent / "data" / "wrappers.json").read_text("utf-8")
    document: dict[str, Any] = json.loads(text)
    by_signature: dict[str, Wrapper] = {}
    definitions: list[Definition] = []
    causes: list[int] = []
    for entry in document["wrappers"]:
        names = [param["name"] for param in entry["params"]]
        types = [param["type"] for param in entry["params"]]
        signature = f"{entry['name']}({','.join(types)})"
        target, call_selector = entry.get("target"), entry.get("call_selector")
        by_signature[signature] = Wrapper(
            signature,
            names.index(entry["cause"]),
            None if target is None else names.index(target),
            None if call_selector is None else names.index(call_selector),
            tuple((key, names.index(name)) for key, name in entry.get("context", {}).items()),
        )
        definitions.append((entry["name"], tuple((n, t, None) for n, t in zip(names, types)), entry.get("hint")))
        causes.append(names.index(entry["cause"]))
    return by_signature, tuple(definitions), tuple(causes)


@functools.cache
def _loaded() -> tuple[dict[str, Wrapper], tuple[Definition, ...], tuple[int, ...]]:
    return _load()


def known_wrappers() -> dict[str, Wrapper]:
    """The known wrappers by canonical signature."""
    return _loaded()[0]


def native_arguments() -> dict[str, Any]:
    """The keyword arguments that give a native decoder the known wrappers: their definitions,
    tried after the built-in errors, and the index of each one's cause."""
    _, definitions, causes = _loaded()
    return {"wrappers": definitions, "causes": causes}
