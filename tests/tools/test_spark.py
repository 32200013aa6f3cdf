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


def test_spark_recipe_matches_the_command(tmp_path: Path, mix: list[str], monkeypatch: pytest.MonkeyPatch) -> None:
    from pyspark.sql import SparkSession

    from kestrix_tools.files import decode_file

    data = [mix[i % len(mix)] if i % 97 else None for i in range(ROWS)]
    pq.write_table(pa.table({"id": pa.array(range(ROWS), pa.int64()), "revert_data": pa.array(data, pa.string())}),
                   tmp_path / "in.parquet", row_group_size=250_000)
    decode_file(tmp_path / "in.parquet", tmp_path / "command.parquet", jobs=2)

    found = recipe()
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)  # Spark's Python workers: this interpreter
    spark = (SparkSession.builder.master("local[2]").appName("kestrix-test")
             .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "2")
             .config("spark.driver.memory", "1g").getOrCreate())
    try:
        frame = spark.read.parquet(str(tmp_path / "in.parquet"))
        decoded = frame.mapInArrow(found["decode_batches"], f"id long, revert_data string, {found['RESULT']}")
        decoded.write.parquet(str(tmp_path / "spark"))
    finally:
        spark.stop()

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
