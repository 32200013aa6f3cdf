"""Human text and JSON for explanations and transactions."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Final

if TYPE_CHECKING:
    from kestrix_tools._trace import Frame, Transaction


# ---- Transactions ----
#
# A transaction's JSON is one object; its frames are a flat list in call order, each naming its
# caller by id, so a tree of any depth is written without nesting.

#: Frames drawn in the human tree; the JSON always has them all.
MAX_DRAWN_FRAMES: Final = 200
#: Indentation stops growing here; deeper frames carry their depth in the text.
_MAX_INDENT: Final = 32


def _printable(text: str) -> str:
    try:
        from kestrix_tools._display import printable  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        from kestrix_tools.cli import _printable as printable
    result: str = printable(text)
    return result


def _explanation_object(explanation: Any) -> dict[str, Any]:
    """An explanation as JSON: the outer layer's ten keys, then the whole chain."""
    renderer = globals().get("json_object")
    if renderer is not None:
        rendered: dict[str, Any] = renderer(explanation)
        return rendered
    return {**explanation.to_dict(), "chain": [layer.to_dict() for layer in explanation.chain]}


def _explanation_text(explanation: Any, colour: bool) -> str:
    renderer = globals().get("human_text")
    if renderer is not None:
        rendered: str = renderer(explanation, colour)
        return rendered
    from kestrix_tools.cli import human_text as layer_text

    return "\n\n".join(layer_text(layer.to_dict(), colour) for layer in explanation.chain)


def transaction_json(transaction: Transaction) -> dict[str, Any]:
    """The JSON object of an explained transaction (documented in the README)."""
    frames = transaction.frames
    ids = {id(frame): number for number, frame in enumerate(frames)}
    origin = transaction.origin
    return {
        "hash": transaction.hash,
        "status": transaction.status,
        "block": transaction.block,
        "source": transaction.source,
        "caveat": transaction.caveat,
        "notes": list(transaction.notes),
        "failure": origin.failure if origin is not None else None,
        "origin": ids[id(origin)] if origin is not None else None,
        "failing_path": [ids[id(frame)] for frame in transaction.failing_path],
        "cause": _explanation_object(transaction.cause) if transaction.cause is not None else None,
        "frames": [_frame_json(frame, number, ids) for number, frame in enumerate(frames)],
    }


def _frame_json(frame: Frame, number: int, ids: dict[int, int]) -> dict[str, Any]:
    return {
        "id": number,
        "parent": ids[id(frame.parent)] if frame.parent is not None else None,
        "depth": frame.depth,
        "type": frame.type,
        "from": frame.sender,
        "to": frame.to,
        "value": hex(frame.value) if frame.value is not None else None,
        "selector": frame.selector,
        "function": frame.function,
        "input_size": frame.input_size,
        "gas_used": frame.gas_used,
        "outcome": frame.outcome,
        "failure": frame.failure,
        "error": frame.error,
        "note": frame.note,
        "revert_data": frame.revert_data,
        "explanation": _explanation_object(frame.explanation) if frame.explanation is not None else None,
    }


_SOURCES: Final = {
    "trace": "from a callTracer trace",
    "flat trace": "from a flat trace (trace_transaction)",
    "replay": "by replaying it with eth_call",
    "call": "by running it with eth_call",
    "receipt": "from its receipt",
}

_FAILURE_WORDS: Final = {
    "revert": "reverted",
    "out_of_gas": "ran out of gas",
    "invalid_opcode": "hit an invalid opcode",
    "invalid_jump": "jumped to an invalid destination",
    "stack_underflow": "stack underflow",
    "stack_overflow": "stack overflow",
    "insufficient_balance": "not enough balance for the value sent",
    "call_depth": "call depth limit reached",
    "write_protection": "changed state inside a static call",
    "address_collision": "contract address already taken",
    "invalid_code": "deployed code refused",
    "return_data_out_of_bounds": "read past the return data",
    "contract_not_deployed": "called an address without code (contract not deployed)",
    "other": "failed",
}


def _shown_frames(transaction: Transaction) -> set[int]:
    """The frames worth drawing: the failing path, its calls, and caught failures with their callers."""
    shown: set[int] = set()
    root = transaction.root
    if root is None:
        return shown
    shown.add(id(root))
    for frame in transaction.failing_path:
        shown.add(id(frame))
        shown.update(id(child) for child in frame.children)
    if not transaction.failing_path:
        shown.update(id(child) for child in root.children)
    caught = 0
    for frame in root.walk():
        if frame.outcome == "caught" and caught < 20:
            caught += 1
            up: Frame | None = frame
            while up is not None and id(up) not in shown:
                shown.add(id(up))
                up = up.parent
    return shown


def _frame_line(frame: Frame) -> str:
    parts = [frame.type.upper(), frame.sender or "?", "->", frame.to or "(new contract)"]
    if frame.function:
        parts.append(_printable(frame.function))
    elif frame.selector:
        parts.append(frame.selector)
    if frame.value:
        parts.append(f"value {frame.value} wei")
    outcome = frame.outcome
    if frame.failed and frame.failure not in (None, "revert"):
        outcome += f" ({_FAILURE_WORDS.get(frame.failure or 'other', 'failed')})"
    if frame.outcome == "caught" and frame.failure is not None:
        outcome = f"caught ({_FAILURE_WORDS.get(frame.failure, 'failed')}, the caller went on)"
    parts.append(" " + outcome)
    return " ".join(parts)


def transaction_text(transaction: Transaction, colour: bool = False) -> str:
    """An explained transaction as an indented call tree with the failing path marked."""
    lines: list[str] = []
    if not transaction.sent:
        name = "the call"
    else:
        name = f"transaction {transaction.hash}" if transaction.hash else "the transaction"
    block = f" in block {transaction.block}" if transaction.block is not None else ""
    lines.append(f"{name} {transaction.status}{block} (explained {_SOURCES.get(transaction.source, transaction.source)})")
    if transaction.caveat:
        lines.append(f"note: {transaction.caveat}")
    lines.extend(f"note: {_printable(note)}" for note in transaction.notes)
    root = transaction.root
    origin = transaction.origin
    on_path = {id(frame) for frame in transaction.failing_path}
    if root is not None:
        lines.append("")
        shown = _shown_frames(transaction)
        drawn = 0
        drawn_ids: set[int] = set()
        stack: list[Frame | _Hidden] = [root]
        while stack:
            frame = stack.pop()
            if isinstance(frame, _Hidden):
                lines.append("  " + "  " * min(frame.depth, _MAX_INDENT) + f"... {frame.count} more calls")
                continue
            if drawn == MAX_DRAWN_FRAMES:
                lines.append("  ... more frames not drawn (--json has them all)")
                if origin is not None and id(origin) not in drawn_ids:
                    for last in transaction.failing_path[-5:]:
                        lines.extend(_drawn_frame(last, origin, on_path))
                break
            drawn += 1
            drawn_ids.add(id(frame))
            lines.extend(_drawn_frame(frame, origin, on_path))
            hidden = [child for child in frame.children if id(child) not in shown]
            if hidden:
                stack.append(_Hidden(len(hidden), frame.depth + 1))
            stack.extend(reversed([child for child in frame.children if id(child) in shown]))
    lines.append("")
    if origin is None:
        lines.append("nothing failed" if transaction.status == "succeeded" else "no failed frame was found")
    else:
        target = f"to {origin.to}" if origin.type not in ("create", "create2") else f"of {origin.to or 'a new contract'}"
        where = f"{origin.type.upper()} {target} at depth {origin.depth}"
        lines.append(f"cause: {where} {_FAILURE_WORDS.get(origin.failure or 'other', 'failed')}")
        if origin.explanation is not None:
            lines.append(_explanation_text(origin.explanation, colour))
    return "\n".join(lines)


def _drawn_frame(frame: Frame, origin: Frame | None, on_path: set[int]) -> list[str]:
    marker = "> " if id(frame) in on_path else "  "
    indent = "  " * min(frame.depth, _MAX_INDENT)
    deep = f"[depth {frame.depth}] " if frame.depth > _MAX_INDENT else ""
    text = marker + indent + deep + _frame_line(frame)
    if frame is origin:
        text += "   <- the failure began here"
    lines = [text]
    if frame.note:
        lines.append("  " + indent + "    " + _printable(frame.note))
    if frame.error and frame.failed and frame.failure != "revert":
        lines.append("  " + indent + "    node: " + _printable(frame.error[:200]))
    return lines


class _Hidden:
    """A placeholder in the drawing stack for calls left out of the tree."""

    def __init__(self, count: int, depth: int) -> None:
        self.count, self.depth = count, depth
