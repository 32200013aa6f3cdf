from collections.abc import Sequence
from typing import Union
from kestrix import DecodeResult
Param = tuple[str, str, Union[Sequence["Param"], None]]
Definition = tuple[str, Sequence[Param], Union[str, None]]
class Decoder:
    errors: tuple[str, ...]
    def __init__(
        self,
        definitions: Sequence[Definition] = (),
        *,
        known: tuple[bytes, bytes] | None = None,
        signature_db: str | None = None,
    ) -> None: ...
    def decode(self, data: str | bytes | bytearray | memoryview) -> DecodeResult: ...
    def decode_detail(
        self, data: str | bytes | bytearray | memoryview
    ) -> tuple[DecodeResult, tuple[str, ...]]: ...
def decode_arrow(
    decoder: Decoder | None,
    length: int,
    offset: int,
    validity: object | None,
    offsets: object,
    data: object,
    binary: bool,
    large_offsets: bool,
    error_column: bool,
    /,
) -> list[tuple[int, object, object, object | None]]: ...
