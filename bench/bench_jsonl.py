"""JSON Lines reading and writing, per row, on the end-to-end benchmark's rows.

The input is what ``bench_bulk.py``'s end-to-end run writes (``{"id":i,"revert_data":"0x..."}``
per line, the same mix of revert data); the rows written are those rows with the decoded
columns, as the command writes them. Reports CPU seconds per row (one thread, best of three) of:

- reading the file into record batches (pyarrow's JSON reader per 2 MB block, with its checks);
- writing the decoded batches as JSON Lines text with the native writer (``jsonl_bytes``), and
  with the Arrow-kernel renderer it replaced (the path without the native module).

Target: the whole command under 2 us of CPU per row (500,000 rows/s on 2 cores); these are
its JSON Lines parts. Run: ``python bench/bench_jsonl.py [--rows N]``.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

import pyarrow as pa

sys.path.insert(0, str(Path(__file__).parent))
from bench_bulk import per_row, rows_of, sample_pool  # noqa: E402

from kestrix_tools import _arrow_io, decode_arrow  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    rows = parser.parse_args().rows
    values = rows_of(sample_pool(5000), rows)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "in.jsonl"
        with path.open("w") as stream:
            stream.writelines(f'{{"id":{i},"revert_data":"{v}"}}\n' for i, v in enumerate(values))
        kind = _arrow_io.kind_of(path, reading=True)

        def read() -> list[pa.RecordBatch]:
            return [block.batch for block in _arrow_io.open_reader(path, kind, 65536, False).blocks]

        reading = per_row(read, rows)
        batches = []
        for batch in read():
            decoded = decode_arrow(batch.column("revert_data"))
            batches.append(pa.RecordBatch.from_arrays(
                [*batch.columns, *decoded.flatten()], names=[*batch.schema.names, *(f.name for f in decoded.type)]))

    def write(render: Callable[[pa.RecordBatch], object]) -> None:
        for batch in batches:  # each text dropped once made, as the command drops it once written
            render(batch)

    native = per_row(lambda: write(_arrow_io.jsonl_bytes), rows)
    kernels = per_row(lambda: write(_arrow_io._jsonl_bytes_arrow), rows)
    print(f"JSON Lines at {rows:,} rows, CPU us per row (one thread, best of 3)")
    print(f"  read into record batches          {reading * 1e6:6.3f}")
    print(f"  write, native writer              {native * 1e6:6.3f}")
    print(f"  write, Arrow-kernel renderer      {kernels * 1e6:6.3f}  ({kernels / native:.1f}x the native writer)")


if __name__ == "__main__":
    main()
