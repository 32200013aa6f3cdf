"""The explanation of a revert: the chain of reverts it carries, outermost first, down to the
root cause. The native decoder builds the chain in one pass; these classes only present it."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, Union

from kestrix_tools import _native
from kestrix_tools._wrappers import Wrapper, known_wrappers

if TYPE_CHECKING:
    from kestrix import DecodeResult

__all__ = ["ROOT_FIELDS", "Explanation", "Layer", "explain_data"]

#: The root-cause columns of bulk output, after the ten result columns.
ROOT_FIELDS: tuple[str, ...] = ("root_kind", "root_error_name", "root_message", "root_selector", "depth")

#: (result dict, canonical signature or None, args, readable text or None, followed argument or None)
RawLayer = tuple["DecodeResult", Union[str, None], dict[str, Any], Union[str, None], Union[int, None],
                 tuple[str, ...]]
Decode = Callable[[bytes], "DecodeResult"]

#: Kinds a carried revert must have to be explained (the others are plain data).
_EXPLAINED = frozenset({"revert_string", "panic", "custom_error"})


class Layer:
    """One revert of a chain. ``to_dict()`` is exactly what ``Decoder.decode`` gives for this
    layer's bytes; the attributes add what the chain knows about it."""

    __slots__ = ("_raw", "target", "call_selector", "_context")

    #: The contract whose call reverted with this layer, when the wrapper above names it.
    target: str | None
    #: "0x" and the selector of the function called on ``target``, when the wrapper names it.
    call_selector: str | None

    def __init__(self, raw: RawLayer) -> None:
        self._raw = raw
        self.target = None
        self.call_selector = None
        self._context: dict[str, Any] | None = None

    @property
    def signature(self) -> str | None:
        """Canonical signature of the error ("Error(string)", "Panic(uint256)", ...), or None."""
        return self._raw[1]

    @property
    def args(self) -> dict[str, Any]:
        """Arguments by parameter name ("argN" where unnamed), as plain Python values."""
        return self._raw[2]

    @property
    def context(self) -> dict[str, Any]:
        """The wrapper's own extras (command_index, op_index, reason, details, ...); empty
        otherwise."""
        if self._context is None:
            self._context = {}
        return self._context

    @property
    def alternatives(self) -> tuple[str, ...]:
        """Other canonical signatures that also fit these bytes."""
        return self._raw[5]

    @property
    def followed(self) -> str | None:
        """The name of the argument that holds the next layer, or None."""
        position = self._raw[4]
        return None if position is None else list(self._raw[2])[position]

    @property
    def kind(self) -> str:
        return self._raw[0]["kind"]

    @property
    def selector(self) -> str | None:
        return self._raw[0]["selector"]

    @property
    def error_name(self) -> str | None:
        return self._raw[0]["error_name"]

    @property
    def message(self) -> str | None:
        """The reason text; for a text that carries the next layer, only its readable part."""
        readable = self._raw[3]
        return readable if readable is not None else self._raw[0]["message"]

    @property
    def panic_code(self) -> int | None:
        return self._raw[0]["panic_code"]

    @property
    def panic_meaning(self) -> str | None:
        return self._raw[0]["panic_meaning"]

    @property
    def suggestion(self) -> str | None:
        return self._raw[0]["suggestion"]

    @property
    def confidence(self) -> float:
        return self._raw[0]["confidence"]

    @property
    def raw_data(self) -> str:
        return self._raw[0]["raw_data"]

    @property
    def carries_text(self) -> bool:
        """Whether the next layer came from the end of this layer's reason text."""
        return self._raw[3] is not None

    def to_dict(self) -> DecodeResult:
        """The ten-key dict, exactly as ``Decoder.decode`` gives it for this layer's bytes."""
        return self._raw[0].copy()

    def __repr__(self) -> str:
        name = self.signature or self.kind
        return f"<Layer {name}>"


def _wrapper_facts(known: Wrapper, wrapper: Layer, inner: Layer | None, decoder: object) -> None:
    """Fills the wrapper's context and, from it, the target and called function of ``inner``."""
    values = list(wrapper.args.values())

    def value(position: int) -> Any:
        return values[position] if position < len(values) else None

    for key, param in known.context:
        item = value(param)
        decode: Decode | None = getattr(decoder, "decode", None) if isinstance(item, bytes) and item else None
        if decode is not None:
            decoded = decode(item)
            if decoded["kind"] in _EXPLAINED:
                item = decoded
        wrapper.context[key] = item
    if inner is None:
        return
    if known.target is not None:
        target = value(known.target)
        inner.target = target if isinstance(target, str) else None
    if known.call_selector is not None:
        selector = value(known.call_selector)
        inner.call_selector = "0x" + selector.hex() if isinstance(selector, bytes) else None


class Explanation(_native.RevertChain):
    """A revert and every revert it carries: ``chain`` outermost first, ``root`` the cause.

    Made by ``Decoder.explain``; the layers are decoded natively in one pass and become
    ``Layer`` objects only when first asked for.
    """

    __slots__ = ()

    @classmethod
    def of_result(cls, result: DecodeResult) -> Explanation:
        """A one-layer explanation of a result dict from a decoder that does not unwrap."""
        return cls(((result, None, {}, None, None, ()),))

    @property
    def chain(self) -> tuple[Layer, ...]:
        """The layers, outermost first: ``chain[0]`` is the revert itself."""
        layers: tuple[Layer, ...] | None = self._cache
        if layers is not None:
            return layers
        layers = tuple(map(Layer, self._layers))
        wrappers = known_wrappers()
        for position, layer in enumerate(layers):
            known = wrappers.get(layer.signature) if layer.signature is not None else None
            if known is not None:
                inner = layers[position + 1] if position + 1 < len(layers) else None
                _wrapper_facts(known, layer, inner, self._decoder)
        self._cache = layers
        return layers

    @property
    def root(self) -> Layer:
        """The root cause: the last layer."""
        return self.chain[-1]

    @property
    def depth(self) -> int:
        """How many layers lie below the outermost one (0 without nesting)."""
        return len(self._layers) - 1

    def to_dict(self) -> DecodeResult:
        """The outermost layer's ten-key dict: exactly ``Decoder.decode(data)``."""
        return self._layers[0][0].copy()

    def root_fields(self) -> dict[str, Any]:
        """The root-cause columns (``ROOT_FIELDS``): the root's kind, error name, message and
        selector, and the depth; without nesting they equal the outer layer's."""
        root = self._layers[-1][0]
        return {"root_kind": root["kind"], "root_error_name": root["error_name"],
                "root_message": root["message"], "root_selector": root["selector"],
                "depth": len(self._layers) - 1}

    def __repr__(self) -> str:
        names = " <- ".join(layer.signature or layer.kind for layer in self.chain)
        return f"<Explanation {names}>"


def explain_data(decoder: object, data: str | bytes | bytearray | memoryview) -> Explanation:
    """The explanation of ``data`` by any decoder: one that unwraps gives the whole chain, any
    other only the outermost layer."""
    explain = getattr(decoder, "explain", None)
    if explain is not None:
        explanation = explain(data)
        if isinstance(explanation, Explanation):
            return explanation
    unwrap = getattr(decoder, "unwrap", None)
    if unwrap is not None:
        return Explanation(unwrap(data), decoder)
    decode: Callable[[Any], Mapping[str, Any]] = getattr(decoder, "decode")
    return Explanation.of_result(decode(data if isinstance(data, str) else bytes(data).hex()))  # type: ignore[arg-type]


