"""Why did a transaction fail? Asks a node for the transaction, traces it, and explains the call
where the failure began.

The node is asked, in turn: ``debug_traceTransaction`` with the ``callTracer`` (geth and most
clients with the debug namespace), ``trace_transaction`` (the flat traces of Erigon, Nethermind
and reth), and, with neither, ``eth_call`` replaying the transaction at its parent block, which
can differ from what happened (earlier transactions of the block are not applied).
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable, Mapping
from typing import Any, Final

from kestrix_tools._definitions import Definition
from kestrix_tools.decoder import SupportsDecode, default_decoder
from kestrix_tools._revert_data import revert_data
from kestrix_tools._rpc import MethodMissing, NodeError, RpcClient, RpcError, client_for
from kestrix_tools._trace import (
    REPLAY_CAVEAT, Frame, TraceError, Transaction, _explain_payload, failure_kind, frames_from_call_trace,
    frames_from_flat_trace, outcome_of, transaction_from_frames,
)

__all__ = [
    "Frame", "FunctionNames", "NodeError", "RpcError", "TraceError", "Transaction", "TransactionUnavailable",
    "explain_call", "explain_transaction", "explain_trace",
]

_HASH = re.compile(r"0x[0-9a-fA-F]{64}")
_ADDRESS = re.compile(r"0x[0-9a-fA-F]{40}")
_HEX = re.compile(r"0x(?:[0-9a-fA-F]{2})*")
_BLOCK_TAGS: Final = ("latest", "pending", "safe", "finalized", "earliest")
_CALL_TRACER: Final = {"tracer": "callTracer"}
#: Addresses whose code is asked for in one explanation.
_MAX_CODE_CHECKS: Final = 8


class TransactionUnavailable(NodeError):
    """The node does not know the transaction, or it is not in a block yet."""


def _quantity(value: object, what: str) -> int:
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    if isinstance(value, str) and re.fullmatch(r"0x[0-9a-fA-F]{1,64}", value):
        return int(value, 16)
    raise NodeError(f"the node gave {what} as {str(value)[:40]!r}, not a hex quantity")


def _code_checker(client: RpcClient, block: str) -> Callable[[str], bool | None]:
    asked: dict[str, bool | None] = {}

    def has_code(address: str) -> bool | None:
        if address not in asked:
            if len(asked) >= _MAX_CODE_CHECKS:
                return None
            try:
                code = client.call("eth_getCode", [address, block])
                asked[address] = isinstance(code, str) and code not in ("0x", "")
            except NodeError:
                asked[address] = None
        return asked[address]

    return has_code


class FunctionNames:
    """Names the functions calls run: first from the ``"function"`` entries of the user's ABIs
    and artifacts (``paths``: files or folders, as ``Decoder`` takes them; ``abi``: one parsed
    ABI list), then, unless ``known`` is False, from the known protocols' functions.

    A call's input is encoded exactly as an error with the function's name and parameters, so
    the native decoder reads it: a name is given only when the whole input decodes, and where
    several known signatures share the selector, only for the one the input fits exactly.
    """

    __slots__ = ("_decode", "_names", "count", "known")

    def __init__(self, paths: Iterable[str] = (), abi: object = None, *, known: bool = True) -> None:
        from kestrix_tools import _native
        from kestrix_tools._abi_json import errors_in_abi
        from kestrix_tools._artifacts import abis_in_path

        found: dict[str, Definition] = {}
        sources: list[tuple[str, object]] = [("abi", abi)] if abi is not None else []
        for path in paths:
            sources.extend((label, entries) for label, entries, _ in abis_in_path(path))
        for label, entries in sources:
            try:
                functions = errors_in_abi(entries, "function")
            except ValueError as error:
                raise ValueError(f"{label}: {error}") from None
            for name, params, signature in functions:
                found.setdefault(signature, (name, tuple(p.param for p in params), None))
        self._decode = _native.Decoder(list(found.values())).decode if found else None
        #: Names by whole input: the same call made again is not decoded again.
        self._names: dict[str, str | None] = {}
        self.count = len(found)
        self.known = known

    def __call__(self, data: str) -> str | None:
        name = self._names.get(data, _UNNAMED)
        if name is not _UNNAMED:
            return name
        name = None
        if self._decode is not None:
            result = self._decode(data)
            name = result["error_name"] if result["kind"] == "custom_error" else None
        if name is None and self.known:
            from kestrix_tools._known_functions import known_function

            name = known_function(data)
        if len(data) <= _MAX_CACHED_INPUT and len(self._names) < 4096:
            self._names[data] = name
        return name


_UNNAMED: Final = ""
#: Longer inputs are named afresh each time rather than kept.
_MAX_CACHED_INPUT: Final = 1024


def _call_frame(call: Mapping[str, Any]) -> Frame:
    """The one frame of a call known only from its fields (a replay, or a transaction not traced)."""
    data = call.get("input", call.get("data")) or "0x"
    to = call.get("to")
    data = data if isinstance(data, str) and _HEX.fullmatch(data) else "0x"
    return Frame(type="call" if to else "create", sender=_lower(call.get("from")), to=_lower(to),
                 value=_quantity(call["value"], "value") if call.get("value") is not None else None,
                 selector=data[:10].lower() if to and len(data) >= 10 else None,
                 input_size=(len(data) - 2) // 2, outcome="ok")


def _lower(value: object) -> str | None:
    return value.lower() if isinstance(value, str) and _ADDRESS.fullmatch(value) else None


def _replay(client: RpcClient, call: dict[str, Any], block: str, decoder: SupportsDecode) -> tuple[Frame, str | None]:
    """Runs a call with eth_call; its frame, and a note when the call did not fail."""
    frame = _call_frame(call)
    try:
        client.call("eth_call", [call, block])
    except MethodMissing:
        raise
    except RpcError as error:
        data = revert_data({"code": error.code, "message": error.message, "data": error.data})
        message = error.message
        if data is not None or "revert" in message.lower():
            frame.failure, frame.revert_data = "revert", data or "0x"
            frame.explanation = _explain_payload(decoder, frame.revert_data)
        else:
            frame.failure = failure_kind(message)
        frame.error = message
        frame.outcome = outcome_of(frame.type, frame.failure)
        return frame, None
    return frame, "the call did not fail when run again"


def _call_object(tx: Mapping[str, Any]) -> dict[str, Any]:
    call = {key: tx[key] for key in ("from", "to", "value", "gas") if tx.get(key) is not None}
    call["data"] = tx.get("input") or tx.get("data") or "0x"
    return call


def explain_transaction(source: object, tx_hash: str, decoder: SupportsDecode | None = None, *,
                        functions: FunctionNames | None = None, timeout: float = 30.0,
                        retries: int = 3) -> Transaction:
    """Why the transaction ``tx_hash`` failed (or that it succeeded), asked of ``source``: an
    HTTP(S) RPC URL or a web3 ``Web3`` instance.

    Raises ValueError for a malformed hash, TransactionUnavailable for an unknown or pending
    one, NodeError when the node cannot be asked (its text names the host, never the URL).
    ``functions`` names the functions of the calls (default: the known protocols' functions;
    see FunctionNames).
    """
    if not isinstance(tx_hash, str) or _HASH.fullmatch(tx_hash) is None:
        raise ValueError("a transaction hash is 0x followed by 64 hex digits")
    tx_hash = tx_hash.lower()
    functions = FunctionNames() if functions is None else functions
    decoder = default_decoder() if decoder is None else decoder
    client = client_for(source, timeout=timeout, retries=retries)
    tx = client.call("eth_getTransactionByHash", [tx_hash])
    if tx is None:
        raise TransactionUnavailable(f"{client.label} does not know transaction {tx_hash}")
    if not isinstance(tx, Mapping):
        raise NodeError(f"{client.label} answered eth_getTransactionByHash with {type(tx).__name__}")
    if tx.get("blockNumber") is None:
        raise TransactionUnavailable(f"transaction {tx_hash} is pending: not in a block yet")
    receipt = client.call("eth_getTransactionReceipt", [tx_hash])
    if not isinstance(receipt, Mapping):
        raise TransactionUnavailable(f"{client.label} has no receipt for transaction {tx_hash} yet")
    block = _quantity(receipt.get("blockNumber", tx["blockNumber"]), "the block number")
    status = receipt.get("status")
    if status is not None and _quantity(status, "the receipt status") == 1:
        root = _call_frame(tx)
        if functions is not None and root.selector is not None:
            root.function = functions(_call_object(tx)["data"])
        return Transaction(hash=tx_hash, status="succeeded", root=root, failing_path=(), source="receipt",
                           block=block)
    notes: list[str] = []
    namer = functions
    has_code = _code_checker(client, hex(block))
    for method, params, build, source_name in (
            ("debug_traceTransaction", [tx_hash, _CALL_TRACER], frames_from_call_trace, "trace"),
            ("trace_transaction", [tx_hash], frames_from_flat_trace, "flat trace")):
        try:
            root = build(client.call(method, params), namer)
        except MethodMissing:
            notes.append(f"{client.label} has no {method}")
            continue
        except RpcError as error:
            notes.append(f"{method} failed: {error.code}: {error.message}")
            continue
        except TraceError as error:
            notes.append(f"{method} gave a trace that cannot be read: {error}")
            continue
        explained = transaction_from_frames(root, decoder, hash=tx_hash, source=source_name, block=block,
                                            has_code=has_code,
                                            status="failed" if status is not None else None)
        explained.notes = tuple(notes)
        return explained
    call = _call_object(tx)
    frame, note = _replay(client, call, hex(max(block - 1, 0)), decoder)
    if note is not None:
        notes.append(note)
    if namer is not None and frame.selector is not None:
        frame.function = namer(call["data"])
    failed = status is not None or frame.failed
    return Transaction(hash=tx_hash, status="failed" if failed else "succeeded", root=frame,
                       failing_path=(frame,) if frame.failed else (), source="replay", caveat=REPLAY_CAVEAT,
                       block=block, notes=tuple(notes))


def explain_call(source: object, to: str, data: str = "0x", *, sender: str | None = None, value: int | None = None,
                 block: str | int = "latest", decoder: SupportsDecode | None = None,
                 functions: FunctionNames | None = None, timeout: float = 30.0, retries: int = 3) -> Transaction:
    """Why a call that has not been sent fails: ``debug_traceCall``, falling back to ``eth_call``.
    ``functions`` as for explain_transaction."""
    if not isinstance(to, str) or _ADDRESS.fullmatch(to) is None:
        raise ValueError("--to is an address: 0x followed by 40 hex digits")
    if sender is not None and (not isinstance(sender, str) or _ADDRESS.fullmatch(sender) is None):
        raise ValueError("--from is an address: 0x followed by 40 hex digits")
    data = data if data.startswith(("0x", "0X")) else "0x" + data
    if _HEX.fullmatch(data) is None:
        raise ValueError("--data is whole bytes of hexadecimal")
    if isinstance(block, int):
        block_tag = hex(block)
    elif block in _BLOCK_TAGS or re.fullmatch(r"0x[0-9a-fA-F]{1,16}", block):
        block_tag = block
    elif block.isdigit():
        block_tag = hex(int(block))
    else:
        raise ValueError(f"--block is a number, 0x-quantity or one of {', '.join(_BLOCK_TAGS)}")
    decoder = default_decoder() if decoder is None else decoder
    functions = FunctionNames() if functions is None else functions
    client = client_for(source, timeout=timeout, retries=retries)
    call: dict[str, Any] = {"to": to.lower(), "data": data.lower()}
    if sender is not None:
        call["from"] = sender.lower()
    if value is not None:
        call["value"] = hex(value)
    notes: list[str] = []
    try:
        root = frames_from_call_trace(client.call("debug_traceCall", [call, block_tag, _CALL_TRACER]), functions)
    except MethodMissing:
        notes.append(f"{client.label} has no debug_traceCall")
    except RpcError as error:
        notes.append(f"debug_traceCall failed: {error.code}: {error.message}")
    except TraceError as error:
        notes.append(f"debug_traceCall gave a trace that cannot be read: {error}")
    else:
        explained = transaction_from_frames(root, decoder, hash=None, source="trace",
                                            has_code=_code_checker(client, block_tag))
        explained.notes, explained.sent = tuple(notes), False
        return explained
    frame, _ = _replay(client, call, block_tag, decoder)
    if functions is not None and frame.selector is not None:
        frame.function = functions(call["data"])
    return Transaction(hash=None, status="failed" if frame.failed else "succeeded", root=frame,
                       failing_path=(frame,) if frame.failed else (), source="call", notes=tuple(notes),
                       sent=False)


def explain_trace(trace: object, decoder: SupportsDecode | None = None, *, functions: FunctionNames | None = None,
                  hash: str | None = None) -> Transaction:
    """Explains a saved trace: a ``callTracer`` result (dict) or a flat ``trace_transaction`` list.
    ``functions`` as for explain_transaction."""
    from kestrix_tools._trace import frames_from_any

    root, source = frames_from_any(trace, "trace", FunctionNames() if functions is None else functions)
    return transaction_from_frames(root, default_decoder() if decoder is None else decoder, hash=hash,
                                   source=source)
