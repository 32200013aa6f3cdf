"""decode_column on a real Dask cluster: worker processes, a partitioned Parquet dataset."""

from __future__ import annotations

from pathlib import Path

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from kestrix_tools.dask import decode_column  # noqa: E402
from kestrix_tools.files import DecoderSources, decode_file  # noqa: E402

FIELDS = ["raw_data", "selector", "suggestion", "confidence", "kind", "message", "error_name", "inputs",
          "panic_code", "panic_meaning", "root_kind", "root_error_name", "root_message", "root_selector", "depth"]


def test_decode_column_on_a_local_cluster(tmp_path: Path, mix: list[str], encode_call) -> None:  # type: ignore[no-untyped-def]
    slippage = encode_call("Slippage(uint256)", ["uint256"], [7])
    wrapped = encode_call("CallFailed(uint256,bytes)", ["uint256", "bytes"], [3, bytes.fromhex(slippage[2:])])
    data: list[str | None] = [*mix, "0xzz", None, wrapped, slippage]
    for part in range(4):  # a dataset of four files, one partition each
        rows = range(part, len(data), 4)
        table = pa.table({"id": list(rows), "revert_data": [data[i] for i in rows],
                          "kind": ["stale"] * len(rows)})
        pq.write_table(table, tmp_path / f"part-{part}.parquet")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) \
            as cluster, distributed.Client(cluster) as client:
        ddf = dd.read_parquet(str(tmp_path))
        assert ddf.npartitions == 4
        decoded = decode_column(ddf, "revert_data", signatures=["error Slippage(uint256 wanted)"])
        assert list(decoded.columns) == ["id", "revert_data", *FIELDS]
        frame = decoded.compute()
        # the work ran in the workers' processes, not here
        assert len(client.run(lambda: __import__("os").getpid())) == 2
    frame = frame.sort_values("id")
    assert str(frame["panic_code"].dtype) == "uint64[pyarrow]"
    assert str(frame["confidence"].dtype) == "double[pyarrow]"
    # The same rows through the command's path (the folder read as one dataset): the same results.
    command = tmp_path.parent / f"{tmp_path.name}-command.parquet"
    decode_file(tmp_path, command, jobs=2, decoder=DecoderSources(signatures=("error Slippage(uint256 wanted)",)))
    want = pq.read_table(command).sort_by("id")
    got = pa.Table.from_pandas(frame[["id", *FIELDS]], preserve_index=False)
    assert got.to_pylist() == want.select(["id", *FIELDS]).to_pylist()
    assert frame["error_name"].tolist()[-1] == "Slippage"  # built on the workers from the signature
    assert frame[["error_name", "root_error_name", "depth"]].values.tolist()[-2] == ["CallFailed", "Slippage", 1]
    assert frame["kind"].isna().sum() == 2  # the None row and "0xzz"


def test_decoder_arguments_are_decoders_arguments(tmp_path: Path, encode_call) -> None:  # type: ignore[no-untyped-def]
    import json

    import pandas as pd

    from kestrix_tools.files import DecoderSources

    abi = [{"type": "error", "name": "Slippage", "inputs": [{"name": "wanted", "type": "uint256"}]}]
    (tmp_path / "my.abi.json").write_text(json.dumps(abi))
    slippage = encode_call("Slippage(uint256)", ["uint256"], [7])
    ddf = dd.from_pandas(pd.DataFrame({"revert_data": [slippage]}), npartitions=1)
    for arguments in ({"abi": abi}, {"abi": json.dumps(abi)}, {"signatures": "error Slippage(uint256 wanted)"},
                      {"paths": str(tmp_path / "my.abi.json")}, {"paths": [tmp_path]}):
        frame = decode_column(ddf, "revert_data", **arguments).compute(scheduler="sync")
        assert frame["error_name"].tolist() == ["Slippage"], arguments
    # A file name given as ABI content is refused, pointing at paths=.
    with pytest.raises(ValueError, match="paths="):
        decode_column(ddf, "revert_data", abi="my.abi.json")
    for bare in ({"signatures": "error X()"}, {"paths": "x.json"}):
        with pytest.raises(TypeError, match="not a str"):
            DecoderSources(**bare)  # type: ignore[arg-type]
