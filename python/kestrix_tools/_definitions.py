"""Error definitions as the native decoder takes them, and the checks every source shares.

A definition is ``(name, params, suggestion)``; a parameter is ``(name, type, components)``
with ``components`` a tuple of parameters exactly when the type is ``"tuple"`` followed by
array suffixes. The loaders check names and types here, so a bad one is reported with the
file or text it came from instead of surfacing later from the native side, and hand the native
side canonical type texts ("uint256" for "uint", "uint8" for a library enum "Lib.State").
"""

from __future__ import annotations

import functools
import re
from typing import Union

Param = tuple[str, str, Union[tuple["Param", ...], None]]
Definition = tuple[str, tuple[Param, ...], Union[str, None]]

#: Deepest nesting accepted, counting each tuple and each array dimension as one level: the
#: same measure and bound as the native decoder's, so whatever loads decodes. The bound also
#: keeps every walk over a type shallow.
MAX_NESTING = 16

IDENTIFIER = re.compile(r"[A-Za-z_$][A-Za-z0-9_$]*")
# Array suffixes are first taken as one run of bracket and digit characters, a single-character
# repetition that keeps no state per character, and counted; only a run of at most MAX_NESTING
# dimensions is then checked by a repeated group, which keeps state for every repetition.
_ELEMENTARY = re.compile(r"([A-Za-z_$][A-Za-z0-9_$]*(?:\.[A-Za-z_$][A-Za-z0-9_$]*)?)([\[\]0-9]*)")
_TUPLE = re.compile(r"tuple([\[\]0-9]*)")
_SUFFIXES = re.compile(r"(?:\[[0-9]*\])*")
_SIZED = re.compile(r"(u?int|bytes)([0-9]+)")
_PLAIN = {"address", "bool", "string", "bytes", "function"}


def _canonical_suffixes(suffixes: str) -> str:
    """Array suffixes with leading zeros dropped; raises on a zero length."""
    out = []
    for part in suffixes[1:-1].split("]["):
        digits = part.lstrip("0")
        if part and not digits:
            raise ValueError("an array length must be at least 1")
        if len(digits) > 20 or (digits and int(digits) >= 2**64):
            raise ValueError(f"array length {shorten(digits)} is too large")
        out.append(f"[{digits}]")
    return "".join(out)


def _canonical_root(root: str) -> str:
    """The canonical name of an elementary type, or ValueError for one the decoder lacks."""
    if root in _PLAIN:
        return root
    if root in ("uint", "int"):
        return root + "256"
    if "." in root:  # a library-qualified enum is encoded as uint8
        return "uint8"
    sized = _SIZED.fullmatch(root)
    if sized:
        base, digits = sized.groups()
        size = int(digits[-4:]) if len(digits.lstrip("0")) <= 4 else 10**4
        if base == "bytes" and 1 <= size <= 32:
            return f"bytes{size}"
        if base != "bytes" and 8 <= size <= 256 and size % 8 == 0:
            return f"{base}{size}"
        raise ValueError(f"invalid size in type {root!r}")
    raise ValueError(f"unknown type {root!r}")


class Built:
    """A checked parameter with its canonical type text and its nesting depth."""

    __slots__ = ("param", "canonical", "depth")

    def __init__(self, param: Param, canonical: str, depth: int) -> None:
        if depth > MAX_NESTING:
            raise ValueError(f"type nested deeper than {MAX_NESTING} levels (tuples and array dimensions)")
        self.param = param
        self.canonical = canonical
        self.depth = depth


@functools.lru_cache(maxsize=1024)
def _canonical_elementary(type_text: str) -> tuple[str, int]:
    """Canonical text and nesting depth of an elementary type; cached, as ABIs repeat a few types."""
    match = _ELEMENTARY.fullmatch(type_text)
    if match is None:
        raise ValueError(f"invalid type {shorten(type_text)!r}")
    root, suffixes = match.groups()
    _check_suffixes(suffixes, type_text)  # before a long text is kept in the cache
    if root == "tuple":
        raise ValueError("a tuple type needs its components")
    return _canonical_root(root) + (_canonical_suffixes(suffixes) if suffixes else ""), suffixes.count("[")


def elementary(name: str, type_text: str) -> Built:
    """A parameter of an elementary type such as ``"uint"`` or ``"bytes32[2][]"``."""
    canonical, depth = _canonical_elementary(type_text)
    return Built((name, canonical, None), canonical, depth)


def tuple_of(name: str, suffixes: str, components: list[Built]) -> Built:
    """A tuple parameter whose type is ``"tuple"`` followed by ``suffixes`` (e.g. ``"[2][]"``)."""
    if not components:
        # Solidity has no empty struct, and a value of one occupies no data: an array of them
        # would carry a length nothing can check.
        raise ValueError("holds an empty tuple '()', which has no encoding to decode")
    inner = max(c.depth for c in components)
    members = ",".join(c.canonical for c in components)
    suffixes = _canonical_suffixes(suffixes) if suffixes else ""
    canonical = f"({members})" + suffixes
    param: Param = (name, "tuple" + suffixes, tuple(c.param for c in components))
    return Built(param, canonical, inner + 1 + suffixes.count("["))


def signature(name: str, params: list[Built]) -> str:
    """The canonical signature, e.g. ``Foo(uint256,(address,bytes)[])``."""
    return f"{name}({','.join(p.canonical for p in params)})"


def _check_suffixes(suffixes: str, type_text: str) -> None:
    """ValueError unless ``suffixes`` is at most MAX_NESTING array suffixes such as ``[2][]``."""
    if suffixes.count("[") > MAX_NESTING:
        raise ValueError(f"more than {MAX_NESTING} array dimensions")
    if _SUFFIXES.fullmatch(suffixes) is None:
        raise ValueError(f"invalid type {shorten(type_text)!r}")


def tuple_suffixes(type_text: str) -> str | None:
    """The array suffixes of a JSON ABI tuple type (``"tuple[2][]"`` -> ``"[2][]"``), None for
    another type, ValueError for malformed or too many suffixes."""
    match = _TUPLE.fullmatch(type_text)
    if match is None:
        return None
    _check_suffixes(match.group(1), type_text)
    return match.group(1)


def check_error_name(name: object) -> str:
    """``name`` when it is an identifier, else ValueError."""
    if not isinstance(name, str) or IDENTIFIER.fullmatch(name) is None:
        raise ValueError(f"error name {shorten(repr(name))} is not an identifier")
    return name


def check_text(text: str, what: str) -> str:
    """``text`` when it has a UTF-8 form; ValueError for a lone surrogate, which JSON's
    ``"\\ud800"`` escape yields and which the native side cannot take."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        raise ValueError(f"{what} is not valid Unicode text (a lone surrogate at character {error.start})") from None
    return text


def shorten(text: str, limit: int = 60) -> str:
    """``text`` cut to ``limit`` characters for a message, with "..." when cut."""
    return text if len(text) <= limit else text[:limit] + "..."
