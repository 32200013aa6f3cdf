"""Companion tools for kestrix: web3 error shapes, your own contracts' errors, the command
line and bulk decoding. The ``kestrix`` module itself stays as small as it is."""

from __future__ import annotations

from kestrix_tools._explain import explain
from kestrix_tools._explanation import Explanation, Layer
from kestrix_tools._revert_data import revert_data
from kestrix_tools.bulk import decode_arrow, decode_many
from kestrix_tools.decoder import Decoder

__all__: list[str] = []
__all__ += ["decode_arrow", "decode_many"]
__all__ += ["explain", "revert_data"]
__all__ += ["Decoder", "Explanation", "Layer"]
