"""An explanation as text for a person and as a JSON object: what the command line prints."""

from __future__ import annotations

import json
import re
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Final

from kestrix_tools._display import printable
from kestrix_tools._explanation import Explanation, Layer

if TYPE_CHECKING:
    from kestrix import DecodeResult
    from kestrix_tools._trace import Frame, Transaction

__all__ = ["human_text", "json_object", "json_value", "transaction_json", "transaction_text"]

_STYLES = {
    "label": "2",
    "revert_string": "1;33",
    "panic": "1;31",
    "custom_error": "1;35",
    "raw_revert": "1;36",
    "empty": "1",
}

_ADDRESS = re.compile(r"0x[0-9a-f]{40}")
#: Integers past this lose precision in JavaScript's JSON readers: they are written as text.
_SAFE_INTEGER = 2**53


class _Painter:
    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled

    def __call__(self, style: str, text: str) -> str:
        if not self.enabled:
            return text
        return f"\x1b[{_STYLES.get(style, '1')}m{text}\x1b[0m"


def _input_text(value: Any) -> str:
    """An ``inputs`` value ({"type": ..., "value": ...}) as a person would write it."""
    kind, payload = value.get("type"), value.get("value")
    if kind == "bytes":
        return "0x" + bytes(payload).hex()
    if kind == "str":
        return printable(json.dumps(payload, ensure_ascii=False))
    if kind == "bool":
        return "true" if payload else "false"
    if kind == "array":
        return "[" + ", ".join(_input_text(item) for item in payload) + "]"
    if kind == "tuple":
        return "(" + ", ".join(f"{printable(name)}: {_input_text(item)}" if name else _input_text(item)
                               for name, item in payload) + ")"
    return str(payload)


def _value_text(value: Any) -> str:
    """A native argument value as a person would write it."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, bytes):
        return "0x" + value.hex()
    if isinstance(value, str):
        return value if _ADDRESS.fullmatch(value) else printable(json.dumps(value, ensure_ascii=False))
    if isinstance(value, list):
        return "[" + ", ".join(_value_text(item) for item in value) + "]"
    if isinstance(value, tuple):
        return "(" + ", ".join(_value_text(item) for item in value) + ")"
    if isinstance(value, dict):
        if "kind" in value and "raw_data" in value:  # a decoded revert held as context
            return printable(_layer_title(value))
        return "(" + ", ".join(f"{printable(str(k))}: {_value_text(v)}" for k, v in value.items()) + ")"
    return printable(str(value))


def _layer_title(result: Mapping[str, Any]) -> str:
    if result["kind"] == "custom_error":
        return str(result["error_name"])
    if result["kind"] == "revert_string":
        return json.dumps(result["message"], ensure_ascii=False)
    if result["kind"] == "panic":
        return f"panic 0x{result['panic_code']:02x}"
    return str(result["kind"])


def _layer_lines(layer: Layer, paint: _Painter) -> list[tuple[str, str]]:
    """The labelled lines of one layer."""
    result = layer.to_dict()
    kind = result["kind"]
    lines: list[tuple[str, str]] = []
    confidence = f"confidence {result['confidence']:.2f}"
    lines.append(("kind", f"{paint(kind, kind)}  {paint('label', confidence)}"))
    if layer.target is not None or layer.call_selector is not None:
        called = " ".join(part for part in (
            f"contract {printable(layer.target)}" if layer.target else "",
            f"function {printable(layer.call_selector)}" if layer.call_selector else "") if part)
        lines.append(("call", called))
    if kind == "revert_string":
        lines.append(("reason", printable(json.dumps(layer.message, ensure_ascii=False))))
    elif kind == "panic":
        code = result["panic_code"]
        meaning = printable(str(result["panic_meaning"]))
        lines.append(("panic", f"0x{code:02x} ({code}): {meaning}" if code is not None else "?"))
    elif kind == "custom_error":
        lines.append(("error", paint(kind, printable(str(result["error_name"])))))
        lines.extend(_argument_lines(layer, result))
    elif kind == "raw_revert":
        lines.append(("data", result["raw_data"]))
    shown = list(layer.args.values())
    for key, value in layer.context.items():
        # Extras already shown as an argument are not repeated; decoded ones are.
        if not any(value is item or (type(value) is type(item) and value == item) for item in shown):
            lines.append(("", f"  {printable(key)}: {_value_text(value)}"))
    if result["suggestion"]:
        lines.append(("hint", printable(result["suggestion"])))
    for alternative in layer.alternatives:  # other signatures of the same selector that fit too
        lines.append(("or", printable(alternative)))
    if result["selector"]:
        lines.append(("selector", result["selector"]))
    return lines


def _argument_lines(layer: Layer, result: DecodeResult) -> list[tuple[str, str]]:
    if layer.signature is None:  # from a decoder that does not unwrap: its tagged inputs
        inputs = json.loads(result["inputs"] or "[]")
        labelled = [(printable(name) or f"arg{position}", _input_text(value))
                    for position, (name, value) in enumerate(inputs)]
    else:
        labelled = [(printable(name), "(the cause, below)" if name == layer.followed else _value_text(value))
                    for name, value in layer.args.items()]
    width = max((len(label) for label, _ in labelled), default=0)
    return [("", f"  {label.ljust(width)}  {text}") for label, text in labelled]


def human_text(explanation: Explanation | DecodeResult, colour: bool = False) -> str:
    """A short human explanation, several lines, no trailing newline: each carried revert under
    the one that carries it ("caused by", indented). A result dict is shown as one layer."""
    if not isinstance(explanation, Explanation):
        explanation = Explanation.of_result(explanation)
    paint = _Painter(colour)
    out: list[str] = []
    for depth, layer in enumerate(explanation.chain):
        indent = "  " * depth
        if depth > 0:
            out.append(indent[:-2] + paint("label", "caused by:"))
        for label, text in _layer_lines(layer, paint):
            head = paint("label", f"{label + ':':<10}") if label else " " * 10
            out.append(indent + head + text)
    return "\n".join(out)


def json_value(value: Any) -> Any:
    """A native argument value in JSON: bytes as "0x" hex, integers past 2**53 as decimal text,
    tuples as lists."""
    if isinstance(value, bool) or value is None or isinstance(value, (str, float)):
        return value
    if isinstance(value, int):
        return value if -_SAFE_INTEGER < value < _SAFE_INTEGER else str(value)
    if isinstance(value, bytes):
        return "0x" + value.hex()
    if isinstance(value, dict):
        return {str(k): json_value(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_value(item) for item in value]
    return str(value)


def _layer_object(layer: Layer) -> dict[str, Any]:
    return {
        "kind": layer.kind,
        "selector": layer.selector,
        "signature": layer.signature,
        "error_name": layer.error_name,
        "message": layer.message,
        "panic_code": layer.panic_code,
        "panic_meaning": layer.panic_meaning,
        "suggestion": layer.suggestion,
        "confidence": layer.confidence,
        "args": json_value(layer.args),
        "target": layer.target,
        "call_selector": layer.call_selector,
        "context": json_value(layer.context),
        "alternatives": list(layer.alternatives),
    }


def json_object(explanation: Explanation | DecodeResult) -> dict[str, Any]:
    """The outermost layer's ten keys, exactly as ``decode`` gives them, then ``"chain"``: one
    object per layer, outermost first."""
    if not isinstance(explanation, Explanation):
        explanation = Explanation.of_result(explanation)
    out: dict[str, Any] = dict(explanation.to_dict())
    out["chain"] = [_layer_object(layer) for layer in explanation.chain]
    return out


# ---- Transactions ----
#
# A transaction's JSON is one object; its frames are a flat list in call order, each naming its
# caller by id, so a tree of any depth is written without nesting.

#: Frames drawn in the human tree; the JSON always has them all.
MAX_DRAWN_FRAMES: Final = 200
#: Indentation stops growing here; deeper frames carry their depth in the text.
_MAX_INDENT: Final = 32


_printable = printable


def _explanation_object(explanation: Any) -> dict[str, Any]:
    """An explanation as JSON: the outer layer's ten keys, then the whole chain."""
    return json_object(explanation)


def _explanation_text(explanation: Any, colour: bool) -> str:
    return human_text(explanation, colour)


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
        parts.append(f"{_printable(frame.function)} ({frame.selector})" if frame.selector else _printable(frame.function))
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
