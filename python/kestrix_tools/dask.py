"""Decoding a column of a Dask DataFrame, partition by partition, on whatever cluster runs it.

Needs the ``dask`` extra: ``pip install "kestrix-evm[dask]"``.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from kestrix_tools.bulk import decode_arrow
from kestrix_tools.decoder import AbiInput, DecoderSources, PathInput, build_decoder

__all__ = ["decode_column", "decode_partition"]


def _frame_of(pa: Any, pd: Any, struct: Any, index: Any) -> Any:
    columns = struct.flatten()
    table = pa.Table.from_arrays(columns, names=[f.name for f in struct.type])
    frame = table.to_pandas(types_mapper=pd.ArrowDtype)
    frame.index = index
    return frame


def decode_partition(partition: Any, column: str, sources: DecoderSources = DecoderSources(),
                     error_column: bool = False, root_cause: bool = True) -> Any:
    """One pandas partition with the result columns added; builds its own decoder."""
    import pandas as pd
    import pyarrow as pa

    decoder = build_decoder(sources)
    values = pa.array(partition[column], from_pandas=True)
    if pa.types.is_null(values.type):
        values = values.cast(pa.string())
    struct = decode_arrow(values, decoder, error_column=error_column, root_cause=root_cause)
    added = _frame_of(pa, pd, struct, partition.index)
    kept = partition.drop(columns=[name for name in added.columns if name in partition.columns])
    return pd.concat([kept, added], axis=1)


def decode_column(ddf: Any, column: str, *, abi: AbiInput | None = None,
                  signatures: str | Iterable[str] | None = None,
                  paths: PathInput | Iterable[PathInput] | None = None, strict: bool = False,
                  error_column: bool = False, root_cause: bool = True) -> Any:
    """Adds the result columns to a Dask DataFrame, decoding ``column`` (hexadecimal text or
    bytes) in each partition with a decoder built there from ``abi``, ``signatures`` and
    ``paths`` as ``kestrix_tools.Decoder`` takes them (every worker must be able to read the
    paths). Columns use pyarrow-backed dtypes: strings,
    ``double`` confidence, ``uint64`` panic code, all nullable. A null or non-hexadecimal value
    gives nulls in the ten columns; ``error_column=True`` adds an ``error`` column with the
    message of each non-hexadecimal value. After the ten come the root cause of a wrapped revert
    (``root_kind``, ``root_error_name``, ``root_message``, ``root_selector``, ``depth``; 0 and
    the outer values without nesting), unless ``root_cause=False``. Existing columns of the same
    names are replaced. Lazy, like every Dask operation."""
    sources = DecoderSources.of(abi, signatures, paths, strict=strict)
    build_decoder(sources)  # bad sources fail here, not on the workers
    meta = decode_partition(ddf._meta, column, sources, error_column, root_cause)
    return ddf.map_partitions(decode_partition, column, sources, error_column, root_cause, meta=meta)
