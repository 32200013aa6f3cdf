"""Explains an error from a contract call: its revert data, decoded."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Protocol

from kestrix_tools._revert_data import revert_data

if TYPE_CHECKING:
    from kestrix import DecodeResult

__all__ = ["SupportsDecode", "explain"]


class SupportsDecode(Protocol):
    """Anything that decodes revert data text, such as ``kestrix.EvmErrorDecoder``."""

    def decode(self, data: str, /) -> DecodeResult: ...


_default: SupportsDecode | None = None
_default_lock = threading.Lock()


def _default_decoder() -> SupportsDecode:
    """The package's own decoder of the built-in errors, built on first use and then shared."""
    global _default
    with _default_lock:
        if _default is None:
            from kestrix_tools.bulk import default_decoder  # bulk imports this module

            _default = default_decoder()
        return _default


def explain(error: object, decoder: SupportsDecode | None = None) -> DecodeResult | None:
    """Decodes the revert data an error carries, or returns ``None`` when it carries none.

    ``error`` is anything ``revert_data`` understands: web3.py's and eth-tester's exceptions,
    or a JSON-RPC error object. ``decoder`` is any object with a ``decode(str)`` method;
    without one, a decoder kept by the package is used.
    """
    data = revert_data(error)
    if data is None:
        return None
    return (_default_decoder() if decoder is None else decoder).decode(data)
