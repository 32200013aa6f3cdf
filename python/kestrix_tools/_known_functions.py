"""Names of the known protocols' external functions (data/known_functions.json) for the calls
of a trace.

The file is read the first time a call is looked up, once per process, and indexed by selector
without parsing it whole; a selector's entries are parsed, checked and built into a decoder only
when a call first uses it. Where several known signatures share a selector, a call is named only
for the one its input fits exactly (every byte read, none left over); otherwise it keeps its
bare selector.
"""

from __future__ import annotations

import functools
import json
import re
from pathlib import Path
import threading
from collections.abc import Callable, Sequence
from typing import Any, Final

from kestrix_tools._definitions import Param

__all__ = ["known_function"]

#: Steps one exact-fit check may take; inputs whose offsets revisit the same bytes stop here.
_MAX_STEPS: Final = 100_000
_WORD: Final = 32


#: Where each entry of the file begins: its opening brace and its selector.
_ENTRY: Final = re.compile(r'\{\s*"selector"\s*:\s*"([0-9a-f]{8})"')


@functools.cache
def _index() -> tuple[str, dict[str, list[int]]]:
    """The file's text and, by selector (8 hex), where its entries begin. Entries are parsed
    only when their selector is met: most of the file is never turned into objects."""
    text = (Path(__file__).resolve().parent / "data" / "known_functions.json").read_text("utf-8")
    starts: dict[str, list[int]] = {}
    for match in _ENTRY.finditer(text):
        starts.setdefault(match.group(1), []).append(match.start())
    return text, starts


def _entries(selector: str) -> list[tuple[str, Any]]:
    """(signature, JSON-ABI params) of the known functions with this selector."""
    text, starts = _index()
    found = []
    for start in starts.get(selector, ()):
        entry, _ = _DECODER.raw_decode(text, start)
        if isinstance(entry, dict) and entry.get("selector") == selector:
            found.append((entry["signature"], entry["params"]))
    return found


_DECODER: Final = json.JSONDecoder()


class _Candidate:
    __slots__ = ("name", "params", "decode")

    def __init__(self, name: str, params: tuple[Param, ...], decode: Callable[[str], Any]) -> None:
        self.name, self.params, self.decode = name, params, decode

    def decodes(self, data: str) -> bool:
        result = self.decode(data)
        return bool(result["kind"] == "custom_error" and result["error_name"] == self.name)


_built: dict[str, tuple[_Candidate, ...]] = {}
_lock = threading.Lock()


def _candidates(selector: str) -> tuple[_Candidate, ...]:
    found = _built.get(selector)
    if found is not None:
        return found
    entries = _entries(selector)
    if not entries:
        return ()
    from kestrix_tools import _native
    from kestrix_tools._abi_json import errors_in_abi

    built = []
    for signature, params in entries:
        name = signature.split("(", 1)[0]
        try:
            [(_, checked, _)] = errors_in_abi([{"type": "function", "name": name, "inputs": params}], "function")
        except ValueError:
            continue  # a definition the decoder cannot take names nothing
        native = tuple(p.param for p in checked)
        built.append(_Candidate(name, native, _native.Decoder([(name, native, None)]).decode))
    with _lock:
        return _built.setdefault(selector, tuple(built))


def known_function(data: str) -> str | None:
    """The known function a call's whole input (``0x`` hex) runs, or None."""
    candidates = _candidates(data[2:10].lower())
    fits = [c for c in candidates if c.decodes(data)]
    if len(candidates) == 1 or not fits:
        return fits[0].name if fits else None
    try:
        arguments = bytes.fromhex(data[10:])
    except ValueError:
        return None
    exact = [c for c in fits if _fits_exactly(c.params, arguments)]
    return exact[0].name if len(exact) == 1 else None


# ---- Exact fit: the furthest byte an ABI encoding reaches, read from the data itself ----

#: A type as (base, components, array lengths with the outermost last; None for a dynamic one).
_Type = tuple[str, tuple[Param, ...], tuple["int | None", ...]]


class _Misfit(Exception):
    pass


def _type_of(param: Param) -> _Type:
    text = param[1]
    base, _, rest = text.partition("[")
    dims = tuple(int(d) if d else None for d in rest[:-1].split("][")) if rest else ()
    return base, param[2] or (), dims


def _dynamic(t: _Type) -> bool:
    base, components, dims = t
    if dims:
        return dims[-1] is None or _dynamic((base, components, dims[:-1]))
    if base == "tuple":
        return any(_dynamic(_type_of(c)) for c in components)
    return base in ("bytes", "string")


def _static_size(t: _Type) -> int:
    base, components, dims = t
    if dims:
        length = dims[-1]
        assert length is not None
        return length * _static_size((base, components, dims[:-1]))
    if base == "tuple":
        return sum(_static_size(_type_of(c)) for c in components)
    return _WORD


class _Reach:
    """Walks an encoding as a decoder reads it and tells the furthest byte read."""

    def __init__(self, data: bytes) -> None:
        self.data, self.steps = data, 0

    def word(self, at: int) -> int:
        if at + _WORD > len(self.data):
            raise _Misfit
        return int.from_bytes(self.data[at:at + _WORD], "big")

    def step(self) -> None:
        self.steps += 1
        if self.steps > _MAX_STEPS:
            raise _Misfit

    def end(self, t: _Type, at: int) -> int:
        self.step()
        if not _dynamic(t):
            return at + _static_size(t)
        base, components, dims = t
        if dims:
            inner: _Type = (base, components, dims[:-1])
            count = dims[-1]
            if count is None:
                count = self.word(at)
                at += _WORD
                if not _dynamic(inner):
                    return at + count * _static_size(inner)
                if at + count * _WORD > len(self.data):
                    raise _Misfit
            return self.sequence([inner] * count, at)
        if base == "tuple":
            return self.sequence([_type_of(c) for c in components], at)
        return at + _WORD + -(-self.word(at) // _WORD) * _WORD  # bytes, string

    def sequence(self, types: Sequence[_Type], at: int) -> int:
        head = furthest = at
        for t in types:
            self.step()
            if _dynamic(t):
                furthest = max(furthest, self.end(t, at + self.word(head)))
                head += _WORD
            else:
                head += _static_size(t)
        return max(furthest, head)


def _fits_exactly(params: tuple[Param, ...], arguments: bytes) -> bool:
    try:
        return _Reach(arguments).sequence([_type_of(p) for p in params], 0) == len(arguments)
    except _Misfit:
        return False
