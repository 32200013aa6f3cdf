"""An explanation as text for a person and as a JSON object: what the command line prints."""

from __future__ import annotations

import json
import re
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from kestrix_tools._display import printable
from kestrix_tools._explanation import Explanation, Layer

if TYPE_CHECKING:
    from kestrix import DecodeResult

__all__ = ["human_text", "json_object", "json_value"]

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

