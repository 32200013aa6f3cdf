"""Explains an error from a contract call: its revert data, decoded."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Literal, overload

from kestrix_tools import _native
from kestrix_tools._explanation import Explanation, explain_data
from kestrix_tools._revert_data import revert_data
from kestrix_tools.decoder import SupportsDecode, default_decoder

if TYPE_CHECKING:
    from kestrix import DecodeResult

__all__ = ["SupportsDecode", "explain"]

#: EIP-3668's OffchainLookup: not a failure but the contract's request for data held off chain.
_OFFCHAIN_LOOKUP_SELECTOR = "0x556f1830"
_OFFCHAIN_LOOKUP = (
    "OffchainLookup",
    (("sender", "address", None), ("urls", "string[]", None), ("callData", "bytes", None),
     ("callbackFunction", "bytes4", None), ("extraData", "bytes", None)),
    "Not a failure: the contract asks for data held off chain (EIP-3668 CCIP Read). Fetch it from "
    "one of the urls with callData, then call callbackFunction on sender with the response and "
    "extraData; web3.py and ethers do this themselves when CCIP Read is enabled.",
)
_offchain: _native.Decoder | None = None
_offchain_lock = threading.Lock()


def _offchain_decoder() -> _native.Decoder:
    global _offchain
    with _offchain_lock:
        if _offchain is None:
            _offchain = _native.Decoder([_OFFCHAIN_LOOKUP], explanation=Explanation)
        return _offchain


@overload
def explain(error: object, decoder: SupportsDecode | None = None, *, chain: Literal[False] = False) -> DecodeResult | None: ...
@overload
def explain(error: object, decoder: SupportsDecode | None = None, *, chain: Literal[True]) -> Explanation | None: ...
def explain(error: object, decoder: SupportsDecode | None = None, *, chain: bool = False) -> DecodeResult | Explanation | None:
    """Decodes the revert data an error carries, or returns ``None`` when it carries none.

    ``error`` is anything ``revert_data`` understands: web3.py's and eth-tester's exceptions,
    or a JSON-RPC error object. ``decoder`` is any object with a ``decode(str)`` method;
    without one, ``kestrix_tools.Decoder()`` kept by the package is used. An EIP-3668
    ``OffchainLookup`` that the decoder does not explain is explained as the request for
    off-chain data it is.

    Returns the outermost revert's ten-key dict; with ``chain=True``, the ``Explanation``: every
    revert the error carries, outermost first, down to ``.root``, the cause (a decoder without
    ``explain`` gives only the outermost layer).
    """
    data = revert_data(error)
    if data is None:
        return None
    used = default_decoder() if decoder is None else decoder
    if chain:
        explanation = explain_data(used, data)
        if explanation.chain[0].kind == "raw_revert" and data.startswith(_OFFCHAIN_LOOKUP_SELECTOR):
            offchain: Explanation = _offchain_decoder().explain(data)
            if offchain.chain[0].error_name == "OffchainLookup":
                return offchain
        return explanation
    result = used.decode(data)
    if result["kind"] == "raw_revert" and data.startswith(_OFFCHAIN_LOOKUP_SELECTOR):
        offchain_result = _offchain_decoder().decode(data)
        if offchain_result["error_name"] == "OffchainLookup":
            return offchain_result
    return result
