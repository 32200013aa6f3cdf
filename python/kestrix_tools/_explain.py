"""Explains an error from a contract call: its revert data, decoded."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Literal, Protocol, overload

from kestrix_tools._explanation import Explanation, explain_data
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
    """The package's own ``Decoder()`` (the built-in errors and the known wrappers), built on
    first use and then shared."""
    global _default
    with _default_lock:
        if _default is None:
            from kestrix_tools.decoder import Decoder  # decoder imports this package

            _default = Decoder()
        return _default


@overload
def explain(error: object, decoder: SupportsDecode | None = None, *, chain: Literal[False] = False) -> DecodeResult | None: ...
@overload
def explain(error: object, decoder: SupportsDecode | None = None, *, chain: Literal[True]) -> Explanation | None: ...
def explain(error: object, decoder: SupportsDecode | None = None, *, chain: bool = False) -> DecodeResult | Explanation | None:
    """Decodes the revert data an error carries, or returns ``None`` when it carries none.

    ``error`` is anything ``revert_data`` understands: web3.py's and eth-tester's exceptions,
    or a JSON-RPC error object. ``decoder`` is any object with a ``decode(str)`` method;
    without one, ``kestrix_tools.Decoder()`` kept by the package is used.

    Returns the outermost revert's ten-key dict; with ``chain=True``, the ``Explanation``: every
    revert the error carries, outermost first, down to ``.root``, the cause (a decoder without
    ``explain`` gives only the outermost layer).
    """
    data = revert_data(error)
    if data is None:
        return None
    used = _default_decoder() if decoder is None else decoder
    if chain:
        return explain_data(used, data)
    return used.decode(data)
