"""Call trees of transactions: frames, the failing path and the frame where the failure began.

Input is what nodes give: geth's ``callTracer`` result (a nested object) or the flat trace
list of ``trace_transaction`` (Erigon, Nethermind, reth). Everything is walked with explicit
stacks, so a tree nested thousands of levels deep costs memory, never Python recursion.
"""

from __future__ import annotations

import itertools
import json
import re
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import IO, Any, Final

from kestrix_tools.decoder import SupportsDecode
from kestrix_tools._explanation import Explanation

__all__ = [
    "Frame", "Transaction", "TraceError", "frames_from_call_trace", "frames_from_flat_trace",
    "parse_json_deep", "transaction_from_frames",
]

#: Frames accepted in one trace; a real transaction has at most a few hundred thousand.
MAX_FRAMES: Final = 1_000_000
#: Hex characters kept of one frame's revert data (larger payloads are refused, not cut).
MAX_REVERT_HEX: Final = 2 * 1024 * 1024
#: JSON nesting parsed by the standard parser; deeper texts go through the iterative one.
_FAST_JSON_DEPTH: Final = 900

OUTCOMES: Final = ("ok", "reverted", "caught", "out_of_gas", "no_code", "invalid", "create_failed")

REPLAY_CAVEAT: Final = (
    "replayed with eth_call on the state after the parent block: transactions earlier in the "
    "same block are not applied, so the replay can differ from what happened"
)


class TraceError(ValueError):
    """A trace that cannot be read: names what is wrong and where."""


# ---- The model ----


@dataclass(eq=False)
class Frame:
    """One call in a transaction."""

    type: str
    """call, delegatecall, staticcall, callcode, create, create2 or selfdestruct"""
    sender: str | None
    to: str | None
    value: int | None
    selector: str | None
    """the first four bytes of the input ("0x" + 8 hex) of a call, None for creates and short inputs"""
    input_size: int
    outcome: str
    """ok, reverted, caught, out_of_gas, no_code, invalid or create_failed"""
    failure: str | None = None
    """what went wrong: revert, out_of_gas, invalid_opcode, ..., contract_not_deployed"""
    error: str | None = None
    """the node's own words for the failure"""
    revert_data: str | None = None
    explanation: Explanation | None = None
    function: str | None = None
    gas_used: int | None = None
    depth: int = 0
    position: int = 0
    """the frame's place among its caller's calls"""
    parent: Frame | None = field(default=None, repr=False)
    children: list[Frame] = field(default_factory=list, repr=False)
    note: str | None = None

    @property
    def path(self) -> tuple[int, ...]:
        """Call positions from the root frame down to this one."""
        positions = []
        frame: Frame | None = self
        while frame is not None and frame.parent is not None:
            positions.append(frame.position)
            frame = frame.parent
        return tuple(reversed(positions))

    @property
    def failed(self) -> bool:
        return self.outcome != "ok"

    def walk(self) -> Iterator[Frame]:
        """This frame and all below it, depth first in call order, without recursion."""
        stack = [self]
        while stack:
            frame = stack.pop()
            yield frame
            stack.extend(reversed(frame.children))


@dataclass(eq=False)
class Transaction:
    """A transaction (or a call not sent) and why it failed."""

    hash: str | None
    status: str
    """succeeded or failed"""
    root: Frame | None
    failing_path: tuple[Frame, ...]
    """root .. origin: the frames the failure travelled through"""
    source: str
    """trace, flat trace, replay, call or receipt"""
    caveat: str | None = None
    block: int | None = None
    notes: tuple[str, ...] = ()
    sent: bool = True
    """False for a call that was never sent (kestrix call)"""

    @property
    def origin(self) -> Frame | None:
        """The deepest failed frame whose failure its callers propagated."""
        return self.failing_path[-1] if self.failing_path else None

    @property
    def cause(self) -> Explanation | None:
        origin = self.origin
        return origin.explanation if origin is not None else None

    @property
    def frames(self) -> tuple[Frame, ...]:
        return tuple(self.root.walk()) if self.root is not None else ()


# ---- Explaining a frame's revert data ----


def _explain_payload(decoder: SupportsDecode, data: str) -> Explanation:
    """The decoder's explanation of revert data: its full chain where it can unwrap, one layer
    from decoders that only decode (such as ``kestrix.EvmErrorDecoder``)."""
    explain = getattr(decoder, "explain", None)
    if explain is not None:
        explained: Explanation = explain(data)
        return explained
    return Explanation.of_result(decoder.decode(data))


# ---- Reading frames ----

_HEX_TEXT = re.compile(r"0[xX][0-9a-fA-F]*")
_ADDRESS = re.compile(r"0[xX][0-9a-fA-F]{40}")
_QUANTITY = re.compile(r"0[xX][0-9a-fA-F]{1,64}")

# The node's error text, lowercased, to what failed. geth, Erigon, Nethermind and reth words.
_FAILURES: Final = (
    ("execution reverted", "revert"), ("reverted", "revert"),
    ("out of gas", "out_of_gas"), ("gas uint64 overflow", "out_of_gas"),
    ("invalid opcode", "invalid_opcode"), ("bad instruction", "invalid_opcode"),
    ("invalid jump", "invalid_jump"), ("bad jump", "invalid_jump"),
    ("stack underflow", "stack_underflow"), ("stack limit reached", "stack_overflow"),
    ("stack overflow", "stack_overflow"), ("out of stack", "stack_overflow"),
    ("insufficient balance", "insufficient_balance"),
    ("max call depth", "call_depth"), ("call depth", "call_depth"),
    ("write protection", "write_protection"), ("static", "write_protection"),
    ("address collision", "address_collision"),
    ("code size", "invalid_code"), ("invalid code", "invalid_code"),
    ("return data out of bounds", "return_data_out_of_bounds"),
)


def failure_kind(error: str) -> str:
    """What a node's error text says failed."""
    lowered = error.lower()
    for words, kind in _FAILURES:
        if words in lowered:
            return kind
    return "other"


def outcome_of(frame_type: str, failure: str | None) -> str:
    if failure is None:
        return "ok"
    if failure == "revert":
        return "reverted"
    if frame_type in ("create", "create2"):
        return "create_failed"
    if failure == "out_of_gas":
        return "out_of_gas"
    if failure == "contract_not_deployed":
        return "no_code"
    return "invalid"


#: Where a frame is, for messages: (depth, position among its caller's calls).
At = tuple[int, int]


def _where(at: At) -> str:
    return "the top frame" if at[0] == 0 else f"call {at[1]} at depth {at[0]}"


def _text_field(node: Mapping[str, Any], key: str, path: At) -> str | None:
    value = node.get(key)
    if value is None:
        return None
    if not isinstance(value, str):
        raise TraceError(f"{_where(path)}: {key!r} is {type(value).__name__}, not text")
    return value


def _hex_field(node: Mapping[str, Any], key: str, path: At, limit: int | None = None) -> str | None:
    value = _text_field(node, key, path)
    if value is None:
        return None
    if limit is not None and len(value) > limit:
        raise TraceError(f"{_where(path)}: {key!r} is longer than {limit // 2} bytes")
    if _HEX_TEXT.fullmatch(value) is None or len(value) % 2:
        raise TraceError(f"{_where(path)}: {key!r} is not 0x-prefixed whole-byte hex: {value[:24]!r}")
    return value.lower()


def _address_field(node: Mapping[str, Any], key: str, path: At) -> str | None:
    value = _text_field(node, key, path)
    if value is None or value == "":
        return None
    if _ADDRESS.fullmatch(value) is None:
        raise TraceError(f"{_where(path)}: {key!r} is not a 20-byte address: {value[:48]!r}")
    return value.lower()


def _quantity_field(node: Mapping[str, Any], key: str, path: At) -> int | None:
    value = node.get(key)
    if value is None:
        return None
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value < 2**256:
        return value
    if isinstance(value, str) and _QUANTITY.fullmatch(value):
        return int(value, 16)
    raise TraceError(f"{_where(path)}: {key!r} is not a hex quantity: {str(value)[:48]!r}")


#: Names a call's function from its whole input (hex), or None.
Namer = Callable[[str], "str | None"]


def _new_frame(frame_type: str, node: Mapping[str, Any], action: Mapping[str, Any], output: str | None,
               error: str | None, path: At, namer: Namer | None, input_key: str = "input") -> Frame:
    data = _hex_field(action, input_key, path)
    is_create = frame_type in ("create", "create2")
    selector = data[:10] if data is not None and len(data) >= 10 and not is_create else None
    function = namer(data) if namer is not None and selector is not None and data is not None else None
    failure = failure_kind(error) if error is not None else None
    return Frame(
        type=frame_type,
        sender=_address_field(action, "from", path),
        to=_address_field(node if "to" not in action else action, "to", path),
        value=_quantity_field(action, "value", path),
        selector=selector,
        input_size=(len(data) - 2) // 2 if data else 0,
        outcome=outcome_of(frame_type, failure),
        failure=failure,
        error=error,
        revert_data=output if failure == "revert" else None,
        gas_used=_quantity_field(node, "gasUsed", path),
        depth=path[0],
        position=path[1],
        function=function,
    )


def _frame_type(text: object, path: At) -> str:
    if not isinstance(text, str) or not text or len(text) > 16 or not text.isalnum():
        raise TraceError(f"{_where(path)}: no frame type (\"type\": \"CALL\", \"CREATE\", ...)")
    lowered = text.lower()
    return "selfdestruct" if lowered == "suicide" else lowered


def frames_from_call_trace(trace: object, namer: Namer | None = None) -> Frame:
    """The frame tree of a ``callTracer`` result."""
    if not isinstance(trace, Mapping):
        raise TraceError(f"a callTracer result is a JSON object, not {_json_type(trace)}")
    count = 0
    root: Frame | None = None
    # (node, (depth, position), parent frame)
    stack: list[tuple[object, At, Frame | None]] = [(trace, (0, 0), None)]
    while stack:
        node, path, parent = stack.pop()
        if not isinstance(node, Mapping):
            raise TraceError(f"{_where(path)}: a frame is a JSON object, not {_json_type(node)}")
        count += 1
        if count > MAX_FRAMES:
            raise TraceError(f"more than {MAX_FRAMES:,} frames")
        frame_type = _frame_type(node.get("type"), path)
        error = _text_field(node, "error", path)
        output = _hex_field(node, "output", path, MAX_REVERT_HEX) if error is not None else None
        frame = _new_frame(frame_type, node, node, output, error, path, namer)
        if parent is None:
            root = frame
        else:
            frame.parent = parent
            parent.children.append(frame)
        calls = node.get("calls")
        if calls is None:
            continue
        if not isinstance(calls, list):
            raise TraceError(f"{_where(path)}: 'calls' is {_json_type(calls)}, not a list")
        for position in range(len(calls) - 1, -1, -1):
            stack.append((calls[position], (path[0] + 1, position), frame))
    assert root is not None
    return root


def frames_from_flat_trace(entries: object, namer: Namer | None = None) -> Frame:
    """The frame tree of a ``trace_transaction`` result: a list placed by ``traceAddress``."""
    if not isinstance(entries, list) or not entries:
        raise TraceError(f"a flat trace is a non-empty JSON list, not {_json_type(entries)}")
    if len(entries) > MAX_FRAMES:
        raise TraceError(f"more than {MAX_FRAMES:,} frames")
    by_path: dict[tuple[int, ...], Frame] = {}
    root: Frame | None = None
    for number, entry in enumerate(entries):
        if not isinstance(entry, Mapping):
            raise TraceError(f"flat trace entry {number}: a JSON object, not {_json_type(entry)}")
        address = entry.get("traceAddress")
        if not isinstance(address, list) or not all(
                isinstance(i, int) and not isinstance(i, bool) and 0 <= i < MAX_FRAMES for i in address):
            raise TraceError(f"flat trace entry {number}: 'traceAddress' is not a list of positions")
        trace_address = tuple(address)
        path = (len(trace_address), trace_address[-1] if trace_address else 0)
        action = entry.get("action")
        if not isinstance(action, Mapping):
            raise TraceError(f"{_where(path)}: 'action' is {_json_type(action)}, not an object")
        result = entry.get("result")
        result = result if isinstance(result, Mapping) else {}
        kind = entry.get("type")
        error = _text_field(entry, "error", path)
        if kind == "call":
            frame_type = _frame_type(action.get("callType", "call"), path)
            output = _hex_field(result, "output", path, MAX_REVERT_HEX) if error is not None else None
            frame = _new_frame(frame_type, result, action, output, error, path, namer)
        elif kind == "create":
            frame_type = _frame_type(action.get("creationMethod", "create"), path)
            output = _hex_field(result, "output", path, MAX_REVERT_HEX) if error is not None else None
            frame = _new_frame(frame_type, result, action, output, error, path, namer, input_key="init")
            frame.to = _address_field(result, "address", path)
        elif kind in ("suicide", "selfdestruct"):
            frame = Frame(type="selfdestruct", sender=_address_field(action, "address", path),
                          to=_address_field(action, "refundAddress", path),
                          value=_quantity_field(action, "balance", path), selector=None, input_size=0,
                          outcome="ok", depth=path[0], position=path[1])
        elif kind == "reward":
            continue
        else:
            raise TraceError(f"{_where(path)}: unknown flat trace type {str(kind)[:24]!r}")
        if trace_address in by_path:
            raise TraceError(f"flat trace entry {number}: traceAddress {list(trace_address)} appears twice")
        if not trace_address:
            root = frame
        else:
            parent = by_path.get(trace_address[:-1])
            if parent is None:
                raise TraceError(f"flat trace entry {number}: comes before its caller {list(trace_address[:-1])}")
            frame.parent = parent
            parent.children.append(frame)
        by_path[trace_address] = frame
    if root is None:
        raise TraceError("the flat trace has no top frame (traceAddress [])")
    return root


def _json_type(value: object) -> str:
    if isinstance(value, Mapping):
        return "an object"
    if isinstance(value, list):
        return "a list"
    if isinstance(value, str):
        return "text"
    if value is None:
        return "null"
    return type(value).__name__


# ---- The walk ----


def _propagated(parent: Frame, child: Frame) -> bool:
    """Whether the parent's failure passes the child's on: the same revert data, the child's
    data wrapped inside, or a failure with nothing of its own (a bare revert or a throw) right
    after the child's, as its last call. Running out of gas passes on only running out of gas."""
    mine = parent.revert_data
    if parent.failure == "out_of_gas":
        return child.failure == "out_of_gas" and parent.children[-1] is child
    if mine is None or mine in ("0x", ""):
        return parent.children[-1] is child
    theirs = child.revert_data
    if theirs is None or theirs == "0x":
        return False
    if theirs == mine:
        return True
    # Wrapped: the child's bytes inside the parent's, at a whole-byte position.
    start = mine.find(theirs[2:], 2)
    while start != -1:
        if start % 2 == 0:
            return True
        start = mine.find(theirs[2:], start + 1)
    return False


def _code_less_call(frame: Frame) -> bool:
    """A call that ran no code: it used no gas, returned nothing and had a function selector.
    Precompiles (low addresses) are left out."""
    return (frame.outcome == "ok" and frame.type in ("call", "staticcall", "callcode", "delegatecall")
            and frame.selector is not None and frame.gas_used == 0 and not frame.children
            and frame.to is not None and int(frame.to, 16) > 0xFFFF)


def failing_path(root: Frame, has_code: Callable[[str], bool | None] | None = None) -> tuple[Frame, ...]:
    """Marks caught failures and returns root .. origin (empty when the root did not fail).

    ``has_code(address)`` answers whether an address holds code at the block (None: unknown);
    without it, code-less calls are inferred from the trace alone.
    """
    for frame in root.walk():
        if not frame.failed:
            for child in frame.children:
                if child.failed:
                    child.outcome = "caught"
    if not root.failed:
        return ()
    path = [root]
    node = root
    while True:
        failed = [child for child in node.children if child.failed]
        if not failed or not _propagated(node, failed[-1]):
            break
        node = failed[-1]
        path.append(node)
    if node.failure == "revert" and node.revert_data in (None, "0x"):
        missing = _code_less_child(node, has_code)
        if missing is not None:
            path.append(missing)
    return tuple(path)


def _code_less_child(frame: Frame, has_code: Callable[[str], bool | None] | None) -> Frame | None:
    """The last call a frame made to an address without code (asked of the node when there is one)."""
    for checked, child in enumerate(c for c in reversed(frame.children) if _code_less_call(c)):
        if checked >= 4:
            break
        assert child.to is not None
        answer = has_code(child.to) if has_code is not None else None
        if answer:
            continue
        child.outcome, child.failure = "no_code", "contract_not_deployed"
        child.error = "call to an address without code"
        if answer is None:
            child.note = "inferred from the trace: the call ran no code"
        return child
    return None


def transaction_from_frames(root: Frame, decoder: SupportsDecode, *, hash: str | None, source: str,
                            status: str | None = None, block: int | None = None,
                            has_code: Callable[[str], bool | None] | None = None,
                            caveat: str | None = None) -> Transaction:
    """Walks a frame tree: marks caught frames, explains failed ones, finds the origin."""
    path = failing_path(root, has_code)
    for frame in root.walk():
        if frame.failure == "revert":
            frame.explanation = _explain_payload(decoder, frame.revert_data or "0x")
    if status is None:
        status = "failed" if root.failed else "succeeded"
    return Transaction(hash=hash, status=status, root=root, failing_path=path, source=source,
                       caveat=caveat, block=block)


# ---- JSON of any depth ----

_TOKEN = re.compile(r'[ \t\r\n]*(?:("(?:[^"\\\x00-\x1f]|\\.)*")|([{}\[\],:])|(-?(?:0|[1-9]\d*)(?:\.\d+)?(?:[eE][-+]?\d+)?)'
                    r'|(true|false|null))', re.DOTALL)
_LITERALS: Final[dict[str, object]] = {"true": True, "false": False, "null": None}


def parse_json_deep(text: str, label: str) -> object:
    """A JSON text of any nesting depth: the standard parser when shallow, else an iterative one."""
    from kestrix_tools._json_text import deeper_than

    if not deeper_than(text, _FAST_JSON_DEPTH):
        try:
            return json.loads(text)
        except json.JSONDecodeError as error:
            raise TraceError(f"{label}: not valid JSON: {error.msg} (line {error.lineno}, column {error.colno})") from None
    return _parse_iteratively(text, label)


def _parse_iteratively(text: str, label: str) -> object:
    # Each open container is [container, pending key, expecting]; values are placed as they close.
    stack: list[list[Any]] = []
    position = 0
    result: object = None
    done = False
    end = len(text)
    while True:
        match = _TOKEN.match(text, position)
        if match is None:
            if text[position:].strip() == "" and done:
                return result
            raise TraceError(f"{label}: not valid JSON at character {position}")
        position = match.end()
        string, punct, number, literal = match.groups()
        if done:
            raise TraceError(f"{label}: not valid JSON: extra data at character {match.start()}")
        value: object
        if punct in ("{", "["):
            stack.append([{} if punct == "{" else [], None, "value" if punct == "[" else "key"])
            continue
        if punct in ("}", "]"):
            if not stack:
                raise TraceError(f"{label}: not valid JSON at character {match.start()}")
            top = stack.pop()
            opening = "key" if isinstance(top[0], dict) else "value"
            if (punct == "}") != isinstance(top[0], dict) or not (
                    top[2] == "comma" or (top[2] == opening and not top[0])):
                raise TraceError(f"{label}: not valid JSON at character {match.start()}")
            value = top[0]
        elif punct == ",":
            if not stack or stack[-1][2] != "comma":
                raise TraceError(f"{label}: not valid JSON at character {match.start()}")
            stack[-1][2] = "key" if isinstance(stack[-1][0], dict) else "value"
            continue
        elif punct == ":":
            if not stack or stack[-1][2] != "colon":
                raise TraceError(f"{label}: not valid JSON at character {match.start()}")
            stack[-1][2] = "value"
            continue
        elif string is not None:
            value = json.loads(string) if "\\" in string else string[1:-1]
            if stack and stack[-1][2] == "key":
                stack[-1][1], stack[-1][2] = value, "colon"
                continue
        elif number is not None:
            value = int(number) if number.lstrip("-").isdigit() else json.loads(number)
        else:
            value = _LITERALS[literal]
        if not stack:
            result, done = value, True
            if position >= end:
                return result
            continue
        top = stack[-1]
        if top[2] != "value":
            raise TraceError(f"{label}: not valid JSON at character {match.start()}")
        if isinstance(top[0], dict):
            top[0][top[1]] = value
        else:
            top[0].append(value)
        top[2] = "comma"


#: One trace document (a whole file, or one line of JSON Lines) is read up to this size.
MAX_TRACE_BYTES: Final = 512 * 1024 * 1024


def trace_documents(stream: IO[bytes], label: str) -> Iterator[tuple[str, object]]:
    """The traces in a file: one JSON document, or JSON Lines of them, read line by line so a
    long file is never held whole; (label, trace) pairs. A document that cannot be read is given
    as (label, TraceError) and the others still count."""
    first = stream.readline(MAX_TRACE_BYTES + 1)
    while first and not first.strip():
        first = stream.readline(MAX_TRACE_BYTES + 1)
    try:
        document = _document(first, label)
    except TraceError:
        document = _NOT_A_LINE
    if document is _NOT_A_LINE:
        # One document spread over lines (pretty-printed): read it whole.
        whole = first + stream.read(MAX_TRACE_BYTES + 1 - len(first))
        try:
            if len(whole) > MAX_TRACE_BYTES:
                raise TraceError(f"{label}: larger than {MAX_TRACE_BYTES // 2**20} MiB")
            document = _unwrap_response(_document(whole, label), label)
        except TraceError as error:
            yield label, error
        else:
            yield from _split_block(document, label)
        return
    lines = itertools.chain([first], iter(lambda: stream.readline(MAX_TRACE_BYTES + 1), b""))
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        where = f"{label} line {number}"
        try:
            if len(line) > MAX_TRACE_BYTES:
                while line and not line.endswith(b"\n"):  # skip the rest of the line
                    line = stream.readline(1 << 20)
                raise TraceError(f"{where}: longer than {MAX_TRACE_BYTES // 2**20} MiB")
            document = _unwrap_response(_document(line, where), where)
        except TraceError as error:
            yield where, error
        else:
            yield from _split_block(document, where)


_NOT_A_LINE: Final = object()


def _split_block(document: object, label: str) -> Iterator[tuple[str, object]]:
    """The traces of a debug_traceBlock* result ([{"txHash": ..., "result": {...}}, ...]) one by
    one, labelled with their hashes; any other document as it is."""
    if not (isinstance(document, list) and document and isinstance(document[0], Mapping)
            and "result" in document[0] and "traceAddress" not in document[0]):
        yield label, document
        return
    for number, entry in enumerate(document):
        where = f"{label} transaction {number}"
        if not isinstance(entry, Mapping) or not isinstance(entry.get("result"), (Mapping, list)):
            error = entry.get("error") if isinstance(entry, Mapping) else None
            yield where, TraceError(f"{where}: no trace" + (f": {str(error)[:200]}" if error else ""))
            continue
        tx_hash = entry.get("txHash")
        if isinstance(tx_hash, str) and re.fullmatch(r"0x[0-9a-fA-F]{64}", tx_hash):
            where = f"{label} transaction {tx_hash.lower()}"
        yield where, entry


def _document(raw: bytes, label: str) -> object:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise TraceError(f"{label}: not UTF-8 text") from None
    return parse_json_deep(text.strip(), label)


def _unwrap_response(document: object, label: str) -> object:
    """A trace from a JSON-RPC response's "result", or the document itself."""
    if isinstance(document, Mapping) and "jsonrpc" in document:
        if "error" in document and document.get("result") is None:
            error = document["error"]
            message = error.get("message") if isinstance(error, Mapping) else error
            raise TraceError(f"{label}: the saved response is a JSON-RPC error: {str(message)[:200]}")
        if "result" not in document:
            raise TraceError(f"{label}: the saved JSON-RPC response has no result")
        return document["result"]
    return document


def frames_from_any(trace: object, label: str, namer: Namer | None = None) -> tuple[Frame, str]:
    """The frame tree of a callTracer object or a flat trace list, with which it was."""
    try:
        return _frames_from_any(trace, label, namer)
    except TraceError as error:
        if str(error).startswith(label):
            raise
        raise TraceError(f"{label}: {error}") from None


def _frames_from_any(trace: object, label: str, namer: Namer | None) -> tuple[Frame, str]:
    if isinstance(trace, list):
        return frames_from_flat_trace(trace, namer), "flat trace"
    if isinstance(trace, Mapping) and "type" not in trace and isinstance(trace.get("result"), (Mapping, list)):
        # debug_traceBlock* give [{"txHash": ..., "result": {...}}]; a single entry of it.
        return _frames_from_any(trace["result"], label, namer)
    if isinstance(trace, Sequence) and not isinstance(trace, str):
        raise TraceError(f"{label}: not a trace")
    return frames_from_call_trace(trace, namer), "trace"
