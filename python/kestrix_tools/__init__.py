"""Companion tools for kestrix: web3 error shapes, your own contracts' errors, the command
line and bulk decoding. The ``kestrix`` module itself stays as small as it is."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from kestrix_tools._explain import explain
from kestrix_tools._explanation import Explanation, Layer
from kestrix_tools._revert_data import revert_data
from kestrix_tools.bulk import decode_arrow, decode_many
from kestrix_tools.decoder import Decoder, SkippedFilesWarning

if TYPE_CHECKING:
    from kestrix_tools.transaction import explain_call, explain_trace, explain_transaction

#: The distribution's version, as its metadata gives it (read here without importlib.metadata,
#: whose import costs the command a noticeable part of its start).
__version__ = "0.1.0"

__all__: list[str] = []
__all__ += ["decode_arrow", "decode_many"]
__all__ += ["explain", "revert_data"]
__all__ += ["Decoder", "Explanation", "Layer", "SkippedFilesWarning"]
__all__ += ["explain_call", "explain_trace", "explain_transaction"]


def __getattr__(name: str) -> Any:
    # The transaction tools load the JSON-RPC client (http, ssl): only when asked for, so that
    # the command and bulk runs start without them.
    if name in ("explain_call", "explain_trace", "explain_transaction"):
        from kestrix_tools import transaction

        return getattr(transaction, name)
    raise AttributeError(f"module 'kestrix_tools' has no attribute {name!r}")
