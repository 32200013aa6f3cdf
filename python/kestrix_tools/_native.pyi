from collections.abc import Sequence
from typing import Any, Union
from kestrix import DecodeResult
Param = tuple[str, str, Union[Sequence["Param"], None]]
Definition = tuple[str, Sequence[Param], Union[str, None]]
#: (result dict, canonical signature or None, args, readable text or None, followed argument or
#: None, alternatives)
RawLayer = tuple[DecodeResult, Union[str, None], dict[str, object], Union[str, None], Union[int, None],
                 tuple[str, ...]]
class RevertChain:
    _layers: tuple[RawLayer, ...]
    _decoder: object
    _cache: Any
    def __init__(self, layers: tuple[RawLayer, ...], decoder: object = None) -> None: ...
class Decoder:
    errors: tuple[str, ...]
    def __init__(
        self,
        definitions: Sequence[Definition] = (),
        *,
        wrappers: Sequence[Definition] = (),
        causes: Sequence[int] = (),
        explanation: type[RevertChain] = ...,
        known: tuple[bytes, bytes] | None = None,
        signature_db: str | None = None,
    ) -> None: ...
    def decode(self, data: str | bytes | bytearray | memoryview) -> DecodeResult: ...
    def unwrap(self, data: str | bytes | bytearray | memoryview) -> tuple[RawLayer, ...]: ...
    def explain(self, data: str | bytes | bytearray | memoryview) -> Any: ...
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
    root_cause: bool = False,
    /,
) -> list[tuple[int, object, object, object | None] | None]: ...
def json_nesting_exceeds(data: bytes | bytearray | memoryview, limit: int, /) -> bool: ...
def fix_mmap_threshold(size: int, /) -> bool: ...
def count_json_lines(data: bytes | bytearray | memoryview, /) -> tuple[int, int]: ...
def _snappy_compress(data: bytes | bytearray | memoryview, /) -> bytes: ...
def write_json_lines(
    rows: int,
    names: Sequence[str],
    columns: Sequence[tuple[int, int, object | None, object | None, object | None]],
    /,
) -> object: ...
def write_csv(
    rows: int,
    names: Sequence[str],
    columns: Sequence[tuple[int, int, object | None, object | None, object | None]],
    delimiter: str,
    header: bool,
    /,
) -> object: ...
def parquet_writer(
    fields: Sequence[tuple[str, int, bool, bool]],
    threads: int,
    row_group_rows: int,
    row_group_bytes: int,
    created_by: str,
    metadata: Sequence[tuple[str | bytes, str | bytes]],
    spill_bytes: int,
    /,
) -> object: ...
def parquet_write(
    writer: object,
    rows: int,
    names: Sequence[str],
    columns: Sequence[tuple[int, int, object | None, object | None, object | None]],
    memo_rows: tuple[int, bytes, Sequence[int]] | None = None,
    /,
) -> tuple[list[object], list[object | tuple[int, int]]]: ...
def parquet_finish(writer: object, /) -> list[object | tuple[int, int]]: ...
