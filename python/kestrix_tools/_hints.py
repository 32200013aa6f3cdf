"""The hint for a user's error, taken from the contract's NatSpec.

The suggestion is the error's ``@notice`` (the compiler's ``userdoc``), else its ``@dev`` text
(``devdoc`` ``details``), with whitespace runs collapsed to one space. Where that text refers
to one of the error's parameters in backquotes, as in "Needed `required` but only `available`
available.", the first such reference is followed by the parameter's ``@param`` description in
parentheses. A reference is filled in only when it is unambiguous: the backquoted word is the
name of exactly one of the error's own parameters and that parameter has a description. The
text stays the same for every decode of the error; the values are in ``inputs``.
"""

from __future__ import annotations

import re
from collections import Counter
from collections.abc import Mapping, Sequence

from kestrix_tools._definitions import check_text
from kestrix_tools._json_text import parse_json

_REFERENCE = re.compile(r"`([A-Za-z_$][A-Za-z0-9_$]*)`")


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _entries(doc: object, signature: str) -> list[Mapping[str, object]]:
    """The documentation entries of one error in a userdoc or devdoc (a list per signature,
    since several definitions may share one)."""
    if not isinstance(doc, Mapping):
        return []
    errors = doc.get("errors")
    if not isinstance(errors, Mapping):
        return []
    entries = errors.get(signature)
    if isinstance(entries, Mapping):  # tolerate a single object where solc writes a list
        entries = [entries]
    if not isinstance(entries, Sequence) or isinstance(entries, str):
        return []
    return [e for e in entries if isinstance(e, Mapping)]


def _first_text(docs: list[object], signature: str, key: str) -> tuple[str, Mapping[str, object]] | None:
    for doc in docs:
        for entry in _entries(doc, signature):
            text = entry.get(key)
            if isinstance(text, str) and text.strip():
                return _one_line(text), entry
    return None


class NatSpec:
    """The user and developer documentation of one contract, read from its artifact: the
    top-level ``userdoc``/``devdoc`` first, then those inside its compiler ``metadata`` (an
    object in Foundry artifacts, JSON text in build-info files) and Foundry's ``rawMetadata``
    text, which are parsed only when an error needs them."""

    __slots__ = ("_contract", "_docs", "_label")

    def __init__(self, contract: Mapping[str, object], label: str) -> None:
        self._contract = contract
        self._label = label
        self._docs: tuple[list[object], list[object]] | None = None

    def _userdocs_devdocs(self) -> tuple[list[object], list[object]]:
        if self._docs is None:
            userdocs = [self._contract.get("userdoc")]
            devdocs = [self._contract.get("devdoc")]
            # Foundry writes both "metadata" (an object whose docs may lack the errors) and
            # "rawMetadata" (the compiler's text, with them); build-info files write text.
            for key in ("metadata", "rawMetadata"):
                metadata = self._contract.get(key)
                if isinstance(metadata, str):
                    metadata = parse_json(metadata, f"{self._label}: \"{key}\"")
                output = metadata.get("output") if isinstance(metadata, Mapping) else None
                if isinstance(output, Mapping):
                    userdocs.append(output.get("userdoc"))
                    devdocs.append(output.get("devdoc"))
            self._docs = (userdocs, devdocs)
        return self._docs

    def hint(self, signature: str, param_names: list[str]) -> str | None:
        """The suggestion for the error with this canonical signature, or None; ValueError
        naming the source for text that is not valid Unicode."""
        found = self._hint(signature, param_names)
        return None if found is None else check_text(found, f"{self._label}: NatSpec of {signature}")

    def _hint(self, signature: str, param_names: list[str]) -> str | None:
        userdocs, devdocs = self._userdocs_devdocs()
        found = _first_text(userdocs, signature, "notice") or _first_text(devdocs, signature, "details")
        if found is None:
            return None
        text, entry = found
        descriptions = entry.get("params")
        if not isinstance(descriptions, Mapping):  # a notice: the descriptions are in the devdoc
            descriptions = next((e["params"] for doc in devdocs for e in _entries(doc, signature)
                                 if isinstance(e.get("params"), Mapping)), None)
        if not isinstance(descriptions, Mapping):
            return text
        return fill_references(text, param_names, descriptions)


def fill_references(text: str, param_names: list[str], descriptions: Mapping[str, object]) -> str:
    """Follows the first backquoted reference to each unambiguous parameter with its description."""
    counts = Counter(param_names)
    filled: set[str] = set()

    def fill(match: re.Match[str]) -> str:
        name = match.group(1)
        description = descriptions.get(name)
        if counts[name] != 1 or name in filled or not isinstance(description, str):
            return match.group(0)
        description = _one_line(description).rstrip(".")
        if not description:
            return match.group(0)
        filled.add(name)
        return f"`{name}` ({description})"

    return _REFERENCE.sub(fill, text)
