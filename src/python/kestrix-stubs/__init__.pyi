"""Type information for the kestrix extension module (EVM revert data decoding)."""

from typing import Any, Literal, SupportsIndex, TypedDict, final

__all__ = ["EvmErrorDecoder", "decode_error", "panic_meaning"]

ErrorKindName = Literal[
    "revert_string",
    "custom_error",
    "panic",
    "out_of_gas",
    "contract_not_deployed",
    "raw_revert",
    "empty",
]

class DecodeResult(TypedDict):
    """The result of every decode: always these ten keys, in this order.

    Exists for type checking only; at run time the result is a plain dict.
    """

    raw_data: str
    selector: str | None
    suggestion: str | None
    confidence: float
    kind: ErrorKindName
    message: str | None
    error_name: str | None
    inputs: str | None
    panic_code: int | None
    panic_meaning: str | None

@final
class EvmErrorDecoder:
    def __new__(cls) -> EvmErrorDecoder: ...
    def decode(self, data: str) -> DecodeResult: ...
    def decode_with_context(self, data: str, context: dict[str, Any]) -> DecodeResult: ...

def decode_error(data: str) -> DecodeResult: ...
def panic_meaning(code: SupportsIndex) -> str: ...
