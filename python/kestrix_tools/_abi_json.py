"""The ``"type": "error"`` entries of a JSON ABI as checked definitions.

Every other entry (functions, events, constructors, ...) is ignored whatever it holds, except
that each entry must be a JSON object. Tuple parameters (``"tuple"``, ``"tuple[]"``,
``"tuple[2][]"``) bring their ``"components"`` with the members' names.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence

from kestrix_tools._definitions import MAX_NESTING, Built, check_error_name, check_text, elementary, shorten, signature, tuple_of, tuple_suffixes

#: One error found in a source: its name, checked parameters and canonical signature.
Found = tuple[str, list[Built], str]


def _param(entry: object, where: str, level: int) -> Built:
    """One parameter object; ``level`` counts the tuples around it."""
    if not isinstance(entry, Mapping):
        raise ValueError(f"{where} is not an object")
    name = entry.get("name")
    if name is None:
        name = ""
    if not isinstance(name, str):
        raise ValueError(f"{where}: \"name\" is not a string")
    check_text(name, f"{where}: \"name\"")
    where = f"{where} ({name})" if name else where
    type_text = entry.get("type")
    if not isinstance(type_text, str):
        raise ValueError(f"{where}: \"type\" is missing or not a string")
    components = entry.get("components")
    try:
        suffixes = tuple_suffixes(type_text)
        if suffixes is None:
            if components:
                raise ValueError(f"components given for type {shorten(type_text)!r}")
            return elementary(name, type_text)
        if not isinstance(components, Sequence) or isinstance(components, (str, bytes)):
            raise ValueError("a tuple type needs a \"components\" list")
        if level >= MAX_NESTING:
            raise ValueError(f"tuples nested deeper than {MAX_NESTING} levels")
    except ValueError as error:
        raise ValueError(f"{where}: {error}") from None
    members = [_param(c, f"{where} component {i}", level + 1) for i, c in enumerate(components)]
    try:
        return tuple_of(name, suffixes, members)
    except ValueError as error:
        raise ValueError(f"{where}: {error}") from None


def errors_in_abi(abi: object, kind: str = "error") -> list[Found]:
    """The error entries (or those of another ``kind``, such as "function") of a parsed JSON ABI,
    in order; ValueError says which entry is wrong."""
    if not isinstance(abi, Sequence) or isinstance(abi, (str, bytes)):
        raise ValueError(f"a JSON ABI is a list of entries, not {type(abi).__name__}")
    found: list[Found] = []
    for index, entry in enumerate(abi):
        if not isinstance(entry, Mapping):
            raise ValueError(f"ABI entry {index} is not an object")
        if entry.get("type") != kind:
            continue
        try:
            name = check_error_name(entry.get("name"))
        except ValueError as error:
            raise ValueError(f"ABI entry {index}: {error}") from None
        inputs = entry.get("inputs")
        if inputs is None:
            inputs = []
        if not isinstance(inputs, Sequence) or isinstance(inputs, (str, bytes)):
            raise ValueError(f"ABI entry {index} ({kind} {name}): \"inputs\" is not a list")
        params = [_param(p, f"ABI entry {index} ({kind} {name}) input {i}", 0) for i, p in enumerate(inputs)]
        found.append((name, params, signature(name, params)))
    return found
