"""Human-readable error signatures: ``"error InsufficientFunds(uint256 available, uint256 required)"``,
``"InsufficientFunds(uint256,uint256)"``, ``"Bad((uint8 code, string why) detail)"``.

The text is cut into tokens by one regular expression and read by a loop with an explicit stack
of open tuples, so a text of any length is read in linear time and without recursion; tuples
nested deeper than the decoder reads are refused as soon as they open.
"""

from __future__ import annotations

import re
import string

from kestrix_tools._definitions import MAX_NESTING, Built, elementary, shorten, signature, tuple_of

_TOKEN = re.compile(r"\s+|[A-Za-z_$][A-Za-z0-9_$]*|[0-9]+|.", re.DOTALL)


class _Tokens:
    """The significant tokens of a text with their character positions."""

    __slots__ = ("items", "at")

    def __init__(self, text: str) -> None:
        self.items = [(m.group(), m.start()) for m in _TOKEN.finditer(text) if not m.group().isspace()]
        self.items += [("", len(text))] * 2  # end markers: peek(1) at the end stays inside
        self.at = 0

    def peek(self, ahead: int = 0) -> str:
        return self.items[self.at + ahead][0]

    def take(self) -> str:
        token = self.items[self.at][0]
        if token:  # the end marker is never passed
            self.at += 1
        return token

    def fail(self, what: str) -> ValueError:
        token, position = self.items[self.at]
        found = f"{shorten(token, 20)!r}" if token else "the end"
        return ValueError(f"{what} at character {position}, found {found}")


_IDENTIFIER_START = frozenset(string.ascii_letters + "_$")
#: Declarations other than errors that a signature copied from source may start with.
_OTHER_DECLARATIONS = ("event", "function", "modifier", "struct", "enum", "constructor", "fallback", "receive")
#: Data locations, written in declarations copied from functions; they change no encoding.
_LOCATIONS = ("memory", "calldata", "storage")


def _is_identifier(token: str) -> bool:
    # Tokens are whole identifiers, digit runs or single characters, so the first one decides.
    return token[:1] in _IDENTIFIER_START


def _suffixes(tokens: _Tokens) -> str:
    """Array suffixes such as ``[2][]``, spacing allowed inside the brackets."""
    out: list[str] = []
    while tokens.peek() == "[":
        if len(out) == MAX_NESTING:
            raise tokens.fail(f"more than {MAX_NESTING} array dimensions")
        tokens.take()
        digits = tokens.take() if tokens.peek().isdigit() else ""
        if tokens.peek() != "]":
            raise tokens.fail("expected ']'")
        tokens.take()
        out.append(f"[{digits}]")
    return "".join(out)


def _name(tokens: _Tokens) -> str:
    """An optional parameter name after a type."""
    return tokens.take() if _is_identifier(tokens.peek()) else ""


def parse_signature(text: str) -> tuple[str, list[Built], str]:
    """The error's name, parameters and canonical signature; ValueError if the text is malformed."""
    tokens = _Tokens(text)
    if tokens.peek() == "error" and _is_identifier(tokens.peek(1)):
        tokens.take()
    elif tokens.peek() in _OTHER_DECLARATIONS and tokens.peek(1) not in ("(", ""):
        raise tokens.fail(f"only errors are read, not an {tokens.peek()}" if tokens.peek()[0] in "aeiou"
                          else f"only errors are read, not a {tokens.peek()}")
    if not _is_identifier(tokens.peek()):
        raise tokens.fail("expected the error's name")
    name = tokens.take()
    if tokens.peek() != "(":
        raise tokens.fail("expected '('")
    tokens.take()
    # One list of finished parameters per open tuple; the bottom list holds the error's own.
    open_lists: list[list[Built]] = [[]]
    while True:
        current = open_lists[-1]
        token = tokens.peek()
        if token == "(" or (token == "tuple" and tokens.peek(1) == "("):
            if token == "tuple":
                tokens.take()
            if len(open_lists) > MAX_NESTING:
                raise tokens.fail(f"tuples nested deeper than {MAX_NESTING} levels")
            tokens.take()
            open_lists.append([])
            continue
        if _is_identifier(token):
            current.append(_elementary_param(tokens, len(current) + 1))
        elif token != ")" or current:  # ")" right after "(" closes an empty list
            raise tokens.fail("expected a type")
        # After a parameter: "," starts the next one, ")" closes the innermost open list.
        while (token := tokens.peek()) != ",":
            if token != ")":
                raise tokens.fail("expected ',' or ')'")
            tokens.take()
            members = open_lists.pop()
            if not open_lists:
                if tokens.peek() == ";":
                    tokens.take()
                if tokens.peek() != "":
                    raise tokens.fail("expected the end of the signature")
                return name, members, signature(name, members)
            parent = open_lists[-1]
            suffixes = _suffixes(tokens)
            try:
                parent.append(tuple_of(_name(tokens), suffixes, members))
            except ValueError as error:
                raise ValueError(f"parameter {len(parent) + 1}: {error}") from None
        tokens.take()


def _elementary_param(tokens: _Tokens, index: int) -> Built:
    """An elementary type (a library-qualified enum "Lib.Status" included), its suffixes and name."""
    root = tokens.take()
    if tokens.peek() == ".":
        tokens.take()
        if not _is_identifier(tokens.peek()):
            raise tokens.fail("expected a name after '.'")
        root += "." + tokens.take()
    elif root == "address" and tokens.peek() == "payable":
        tokens.take()  # address payable is encoded as address
    suffixes = _suffixes(tokens)
    if tokens.peek() in _LOCATIONS:
        tokens.take()
    try:
        return elementary(_name(tokens), root + suffixes)
    except ValueError as error:
        raise ValueError(f"parameter {index}: {error}") from None
