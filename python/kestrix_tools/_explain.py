"""Explains an error from a contract call: its revert data, decoded."""

from __future__ import annotations

from typing import TYPE_CHECKING

from kestrix_tools._revert_data import revert_data
from kestrix_tools.decoder import SupportsDecode, default_decoder

if TYPE_CHECKING:
    from kestrix import DecodeResult

__all__ = ["SupportsDecode", "explain"]


def explain(error: object, decoder: SupportsDecode | None = None) -> DecodeResult | None:
    """Decodes the revert data an error carries, or returns ``None`` when it carries none.

    ``error`` is anything ``revert_data`` understands: web3.py's and eth-tester's exceptions,
    or a JSON-RPC error object. ``decoder`` is any object with a ``decode(str)`` method;
    without one, a decoder kept by the package is used.
    """
    data = revert_data(error)
    if data is None:
        return None
    return (default_decoder() if decoder is None else decoder).decode(data)
