"""The README's PySpark mapInArrow recipe on a local Spark, against the command's own output."""

from __future__ import annotations

import re
import shutil
import sys
from pathlib import Path
from typing import Any

import pytest


pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
ds = pytest.importorskip("pyarrow.dataset")
pytest.importorskip("pyspark", reason="pyspark is installed by the full test tier (tests/requirements-full.txt)")
if shutil.which("java") is None:
    pytest.skip("Spark needs a Java runtime (openjdk-17-jre-headless)", allow_module_level=True)

README = Path(__file__).resolve().parents[2] / "README.md"
ROWS = 1_000_000


def recipe() -> dict[str, Any]:
    """The README block's definitions (RESULT, decode_batches), run as written."""
    text = README.read_text(encoding="utf-8")
    block = re.search(r"```python\n(import pyarrow as pa\nfrom pyspark\.sql import SparkSession\n.*?)```", text, re.S)
    assert block is not None, "the README's Spark recipe moved"
    definitions = block.group(1).split("\nspark = ")[0]
    namespace: dict[str, Any] = {}
    exec(compile(definitions, "README.md (Spark recipe)", "exec"), namespace)
    return namespace


@pytest.fixture(scope="module")
def spark() -> Any:
    """One local Spark (one JVM) for the module's tests."""
    from pyspark.sql import SparkSession

    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("PYSPARK_PYTHON", sys.executable)  # Spark's Python workers: this interpreter
        session = (SparkSession.builder.master("local[2]").appName("kestrix-test")
                   .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "2")
                   .config("spark.driver.memory", "1g").getOrCreate())
        try:
            yield session
        finally:
            session.stop()


def test_spark_recipe_matches_the_command(tmp_path: Path, mix: list[str], spark: Any) -> None:
    from kestrix_tools.files import decode_file

    data = [mix[i % len(mix)] if i % 97 else None for i in range(ROWS)]
    pq.write_table(pa.table({"id": pa.array(range(ROWS), pa.int64()), "revert_data": pa.array(data, pa.string())}),
                   tmp_path / "in.parquet", row_group_size=250_000)
    decode_file(tmp_path / "in.parquet", tmp_path / "command.parquet", jobs=2)

    found = recipe()
    frame = spark.read.parquet(str(tmp_path / "in.parquet"))
    decoded = frame.mapInArrow(found["decode_batches"], f"id long, revert_data string, {found['RESULT']}")
    decoded.write.parquet(str(tmp_path / "spark"))

    got = ds.dataset(tmp_path / "spark", format="parquet").to_table().sort_by("id")
    want = pq.read_table(tmp_path / "command.parquet").drop_columns(["error"])
    assert got.num_rows == ROWS and got.column_names == want.column_names
    for name in want.column_names:
        column = got[name]
        if name == "panic_code":  # Spark has no unsigned 64-bit type: the recipe carries it as decimal
            column = column.cast(pa.uint64())
        if name == "depth":  # nor an unsigned byte: the recipe carries it as tinyint
            column = column.cast(pa.uint8())
        assert column.combine_chunks().equals(want[name].combine_chunks()), name


#: Spark's types for the unsigned integers it has no type for, as parquet-mr maps them.
SPARK_UNSIGNED = {pa.uint64(): pa.decimal128(20, 0), pa.uint32(): pa.int64(), pa.uint16(): pa.int32(),
                  pa.uint8(): pa.int16()}


@pytest.mark.parametrize("vectorized", ["true", "false"])
def test_spark_reads_the_commands_parquet(tmp_path: Path, mix: list[str], spark: Any, vectorized: str) -> None:
    """The command's Parquet output (kestrix's own writer: dictionary and plain pages, several row
    groups) read by Spark's two Parquet readers gives the rows pyarrow reads."""
    import math

    from kestrix_tools import _arrow_io
    from kestrix_tools.files import decode_file

    rows = 60_000
    table = pa.table({
        "id": pa.array(range(rows), pa.int64()),
        "revert_data": pa.array([mix[i % len(mix)] if i % 13 else None for i in range(rows)], pa.string()),
        "u64": pa.array([None if i % 7 == 0 else (2**64 - 1 - i if i % 2 else i) for i in range(rows)], pa.uint64()),
        "u32": pa.array([2**32 - 1 - i for i in range(rows)], pa.uint32()),
        "u16": pa.array([i % 2**16 for i in range(rows)], pa.uint16()),
        "u8": pa.array([None if i % 5 == 0 else i % 256 for i in range(rows)], pa.uint8()),
        "i8": pa.array([(i % 256) - 128 for i in range(rows)], pa.int8()),
        "f": pa.array([math.inf if i % 11 == 0 else -0.0 if i % 11 == 1 else i / 7 for i in range(rows)]),
        "text": pa.array([None if i % 3 == 0 else f"é{i}" * (i % 4) for i in range(rows)], pa.large_string()),
        "raw": pa.array([bytes([i % 256, 0, 255]) if i % 4 else None for i in range(rows)], pa.binary()),
        # a page of nulls alone after each group's first, dictionary-encoded page
        "sparse": pa.array([f"s{i % 5}" if i % 25_000 < 20_000 else None for i in range(rows)]),
        # all distinct and long: the dictionary gives way to plain pages
        "long": pa.array([f"{i:08d}" * 25 for i in range(rows)], pa.string()),
    })
    pq.write_table(table, tmp_path / "in.parquet", row_group_size=20_000)
    pq.write_table(table.slice(0, 0), tmp_path / "empty.parquet")
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(_arrow_io, "ROW_GROUP_ROWS", 25_000)
        decode_file(tmp_path / "in.parquet", tmp_path / "out.parquet", jobs=2)
        decode_file(tmp_path / "empty.parquet", tmp_path / "none.parquet")
    meta = pq.ParquetFile(tmp_path / "out.parquet").metadata
    assert meta.created_by.startswith("kestrix-evm") and meta.num_row_groups == 3

    spark.conf.set("spark.sql.parquet.enableVectorizedReader", vectorized)
    none = spark.read.parquet(str(tmp_path / "none.parquet"))  # no row groups: the schema alone
    assert none.count() == 0 and none.columns == pq.read_schema(tmp_path / "none.parquet").names
    got = spark.read.parquet(str(tmp_path / "out.parquet")).orderBy("id").toArrow()
    want = pq.read_table(tmp_path / "out.parquet")
    assert got.column_names == want.column_names and got.num_rows == rows
    for name in want.column_names:
        column = want[name]
        if column.type in SPARK_UNSIGNED:  # the command's panic_code and depth too
            column = column.cast(SPARK_UNSIGNED[column.type])
        elif pa.types.is_large_string(column.type):
            column = column.cast(pa.string())
        assert got[name].combine_chunks().cast(column.type).equals(column.combine_chunks()), name
