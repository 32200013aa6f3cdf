from collections.abc import Sequence
from typing import Union
from kestrix import DecodeResult
Param = tuple[str, str, Union[Sequence["Param"], None]]
Definition = tuple[str, Sequence[Param], Union[str, None]]
class Decoder:
    errors: tuple[str, ...]
    def __init__(self, definitions: Sequence[Definition] = ()) -> None: ...
    def decode(self, data: str | bytes | bytearray | memoryview) -> DecodeResult: ...
