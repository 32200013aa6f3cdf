"""Bulk decoding throughput and memory, beside a plain loop of ``EvmErrorDecoder().decode``.

Measures, on one realistic mix of revert data (reason strings, panics, built-in custom errors,
unknown selectors, short and empty data):

- a plain Python loop calling ``kestrix.EvmErrorDecoder().decode`` (the reference);
- ``kestrix_tools.decode_many`` and ``kestrix_tools.decode_arrow`` (per row, and against the loop);
- the ``kestrix`` command on a Parquet file, with ``--jobs 1`` and with every core;
- the command's peak resident memory at 10^5, 10^6 and 10^7 rows;
- the command end to end (read, decode, write) on Parquet, CSV and JSON Lines, at --jobs 1 and
  with every core, with CPU seconds per row (user + system of every thread), and the CPU of
  each stage of a --jobs 1 run.

Targets: decode_arrow per row <= 0.15 x the loop, also with the error and root-cause columns
(which cost at most 10 % more); the command with N cores >= 0.8 x N x its
--jobs 1 rate on Parquet (1.6 x on 2 cores); end to end at 10^6 rows on 2 idle cores, Parquet
>= 1,000,000 rows/s, CSV and JSON Lines >= 500,000 rows/s; peak memory within 20 % between
10^5 and 10^7 rows.

Needs the ``bulk`` extra and eth-abi. Run: ``python bench/bench_bulk.py [--rows N] [--table FILE]``.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import kestrix
import pyarrow as pa
import pyarrow.parquet as pq
from eth_abi import encode

import kestrix_tools
from kestrix_tools.files import default_jobs

ALICE = "0x5b38da6a701c568545dcfcb03fcb875f56beddc4"
# Selectors of the payloads below (Keccak-256 of the signatures), fixed so the bench needs no hash.
ERROR_STRING = "08c379a0"
PANIC = "4e487b71"
ERC20_INSUFFICIENT_BALANCE = "e450d38c"
OWNABLE_UNAUTHORIZED = "118cdaa7"
ACCESS_CONTROL_UNAUTHORIZED = "e2517d3f"
ENFORCED_PAUSE = "d93c0665"


def sample_pool(size: int, seed: int = 1) -> list[str]:
    """Distinct revert data of a realistic mix: 40 % reason strings, 15 % panics, 25 % built-in
    custom errors, 15 % unknown selectors, 5 % empty."""
    rng = random.Random(seed)
    reasons = ["Ownable: caller is not the owner", "ERC20: transfer amount exceeds balance",
               "UniswapV2: INSUFFICIENT_OUTPUT_AMOUNT", "Pausable: paused", "SafeMath: subtraction overflow",
               "STF", "Too little received"]
    pool = []
    for _ in range(size):
        pick = rng.random()
        if pick < 0.40:
            text = ERROR_STRING + encode(["string"], [rng.choice(reasons)]).hex()
        elif pick < 0.55:
            text = PANIC + encode(["uint256"], [rng.choice([0x01, 0x11, 0x12, 0x21, 0x32, 0x41, 0x51])]).hex()
        elif pick < 0.80:
            which = rng.randrange(4)
            if which == 0:
                args = encode(["address", "uint256", "uint256"], [ALICE, rng.randrange(10**24), rng.randrange(10**24)])
                text = ERC20_INSUFFICIENT_BALANCE + args.hex()
            elif which == 1:
                text = OWNABLE_UNAUTHORIZED + encode(["address"], [ALICE]).hex()
            elif which == 2:
                args = encode(["address", "bytes32"], [ALICE, rng.randbytes(32)])
                text = ACCESS_CONTROL_UNAUTHORIZED + args.hex()
            else:
                text = ENFORCED_PAUSE
        elif pick < 0.95:
            text = rng.randbytes(4).hex() + rng.randbytes(32 * rng.randrange(3)).hex()
        else:
            text = ""
        pool.append("0x" + text)
    return pool


def rows_of(pool: list[str], count: int, seed: int = 2) -> list[str]:
    rng = random.Random(seed)
    return [pool[rng.randrange(len(pool))] for _ in range(count)]


def per_row(run: Callable[[], object], rows: int, repeat: int = 3) -> float:
    """Best of `repeat` runs, in CPU seconds of this process per row: on a shared machine CPU time
    is steadier than wall time, and each of these runs on one thread."""
    run()  # first-use costs (fresh pages, caches) out of the way
    best = float("inf")
    for _ in range(repeat):
        started = time.process_time()
        run()
        best = min(best, time.process_time() - started)
    return best / rows


def run_cli(args: list[str]) -> tuple[float, int]:
    """Wall time and peak resident memory (KiB, the largest process) of one command run."""
    seconds, peak, _ = run_cli_cpu(args)
    return seconds, peak


def run_cli_cpu(args: list[str]) -> tuple[float, int, float]:
    """Wall time, peak resident memory (KiB) and CPU seconds (user + system, every thread) of
    one command run; the output is replaced if it exists."""
    # An output left by an earlier run is removed first: unlinking a large file is slow, and is
    # no part of decoding.
    Path(args[args.index("--output") + 1]).unlink(missing_ok=True)
    script = os.path.join(sysconfig.get_path("scripts"), "kestrix")
    probe = (
        "import resource, subprocess, sys, time\n"
        "t = time.perf_counter()\n"
        "subprocess.run(sys.argv[1:], check=True, stderr=subprocess.DEVNULL)\n"
        "u = resource.getrusage(resource.RUSAGE_CHILDREN)\n"
        "print(time.perf_counter() - t, u.ru_maxrss, u.ru_utime + u.ru_stime)\n"
    )
    out = subprocess.run([sys.executable, "-c", probe, script, *args, "--force"], check=True, capture_output=True,
                         text=True)
    seconds, peak, cpu = out.stdout.split()
    return float(seconds), int(peak), float(cpu)


def end_to_end(values: list[str], jobs: int, folder: Path) -> list[tuple[str, str, str]]:
    """The command on each input format (the same format out), at --jobs 1 and with every
    core: wall rows/s beside its target, CPU seconds per row (which load does not change)."""
    import pyarrow.csv as pcsv

    table = pa.table({"id": pa.array(range(len(values)), pa.int64()), "revert_data": pa.array(values, pa.string())})
    inputs = {"parquet": folder / "e2e.parquet", "csv": folder / "e2e.csv", "jsonl": folder / "e2e.jsonl"}
    pq.write_table(table, inputs["parquet"], row_group_size=100_000)
    pcsv.write_csv(table, inputs["csv"])
    with inputs["jsonl"].open("w") as stream:
        stream.writelines(f'{{"id":{i},"revert_data":"{v}"}}\n' for i, v in enumerate(values))
    results = []
    rates: dict[tuple[str, int], float] = {}
    for name, path in inputs.items():
        target = 1_000_000 if name == "parquet" else 500_000
        for count in (1, jobs):
            wall, peak, cpu = run_cli_cpu(["--input", str(path), "--output", str(folder / f"out.{name}"),
                                           "--jobs", str(count)])
            rate = len(values) / wall
            rates[name, count] = rate
            verdict = "" if count == 1 else f" ({'meets' if rate >= target else 'MISSES'} >= {target:,} on idle cores)"
            results.append((f"kestrix CLI end to end, {name} -> {name}, --jobs {count}", f"{rate:,.0f} rows/s{verdict}",
                            f"{cpu / len(values) * 1e9:.0f} ns CPU/row, {peak / 1024:.0f} MiB peak"))
    return results


def stage_costs(path: Path, output: str) -> dict[str, float]:
    """CPU seconds of each stage of the command's own --jobs 1 run (everything on this thread):
    decoding a batch and merging its columns, writing (Parquet row groups included), and the
    rest (reading, the loop); and of the whole run."""
    from kestrix_tools import _arrow_io, files

    files.decode_file(path, output, jobs=1, force=True)  # imports and first-use costs out of the way
    costs = dict.fromkeys(("decode", "write", "whole"), 0.0)

    def timed(owner: object, name: str, stage: str) -> Callable[..., object]:
        real = getattr(owner, name)

        def run(*args: object, **kwargs: object) -> object:
            started = time.process_time()
            try:
                return real(*args, **kwargs)
            finally:
                costs[stage] += time.process_time() - started
        setattr(owner, name, run)
        return real

    decode = timed(files, "_decode_block", "decode")
    write = timed(_arrow_io.TableWriter, "write", "write")
    close = timed(_arrow_io.TableWriter, "close", "write")
    try:
        started = time.process_time()
        files.decode_file(path, output, jobs=1, force=True)
        costs["whole"] = time.process_time() - started
    finally:
        files._decode_block = decode  # type: ignore[assignment]
        _arrow_io.TableWriter.write = write  # type: ignore[method-assign]
        _arrow_io.TableWriter.close = close  # type: ignore[method-assign]
    costs["read"] = costs["whole"] - costs["decode"] - costs["write"]
    return costs


def memory_growth(array: pa.Array, rows: int, jobs: int, folder: Path,
                  million_peak: int) -> list[tuple[str, str, str]]:
    """Peak resident memory of the command (Parquet in and out) at 10^5 rows and at ``rows``
    rows, the long file made of copies of ``array``; against ``million_peak``, the peak at
    10^6 rows, which fills a whole row group as the long file does; and the long file's
    rate with ``jobs`` threads against one, where the start of the command (about 0.1 s) no
    longer hides the scaling."""
    path = folder / "long.parquet"
    with pq.ParquetWriter(path, pa.schema([("id", pa.int64()), ("revert_data", pa.string())])) as writer:
        done = 0
        while done < rows:
            part = array[:rows - done]
            writer.write_table(pa.table({"id": pa.array(range(done, done + len(part)), pa.int64()),
                                         "revert_data": part}), row_group_size=100_000)
            done += len(part)
    short = folder / "short.parquet"
    pq.write_table(pa.table({"id": pa.array(range(100_000), pa.int64()), "revert_data": array[:100_000]}), short)
    _, low, _ = run_cli_cpu(["--input", str(short), "--output", str(folder / "mem.parquet"), "--jobs", str(jobs)])
    # Runs alternate, three of each, so that a passing load on the machine weighs on both alike:
    # medians of time and CPU, the highest peak.
    runs: dict[int, list[tuple[float, int, float]]] = {jobs: [], 1: []}
    for _ in range(3):
        for count in runs:
            runs[count].append(run_cli_cpu(["--input", str(path), "--output", str(folder / "mem.parquet"),
                                            "--jobs", str(count)]))
    wall, cpu = statistics.median(r[0] for r in runs[jobs]), statistics.median(r[2] for r in runs[jobs])
    one_wall, one_cpu = statistics.median(r[0] for r in runs[1]), statistics.median(r[2] for r in runs[1])
    high, one_high = max(r[1] for r in runs[jobs]), max(r[1] for r in runs[1])
    growth = high / low - 1
    target = "meets" if abs(growth) <= 0.2 else "MISSES"
    beyond = high / million_peak - 1
    return [(f"CLI peak RSS --jobs {jobs}, 100,000 vs {rows:,} rows (Parquet)",
             f"{low / 1024:.0f} MiB vs {high / 1024:.0f} MiB", f"{growth:+.0%} ({target} within 20 %); "
             f"{rows / wall:,.0f} rows/s, {cpu / rows * 1e9:.0f} ns CPU/row"),
            (f"CLI peak RSS --jobs {jobs}, 1,000,000 vs {rows:,} rows (Parquet)",
             f"{million_peak / 1024:.0f} MiB vs {high / 1024:.0f} MiB",
             f"{beyond:+.0%} (the steady state: a row group's pages and the batches in flight)"),
            (f"kestrix CLI, Parquet, {rows:,} rows, --jobs {jobs} vs --jobs 1",
             f"{rows / wall:,.0f} vs {rows / one_wall:,.0f} rows/s",
             f"{one_wall / wall:.2f} x ({'meets' if one_wall / wall >= 0.8 * jobs else 'MISSES'} >= {0.8 * jobs:.1f}); "
             f"{one_high / 1024:.0f} MiB peak and {one_cpu / rows * 1e9:.0f} ns CPU/row with one")]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--jobs", type=int, default=default_jobs())
    parser.add_argument("--table", type=Path, help="also write the results table (Markdown) here")
    parser.add_argument("--memory-rows", type=int, default=10_000_000,
                        help="also measure the command's peak memory on a Parquet file this long (0: skip)")
    args = parser.parse_args()

    pool = sample_pool(5000)
    values = rows_of(pool, args.rows)
    small = max(args.rows // 10, 1)
    array = pa.array(values, pa.string())
    decoder = kestrix.EvmErrorDecoder()

    def plain_loop() -> None:
        decode = decoder.decode
        for value in values:
            decode(value)

    def many() -> None:
        for _ in kestrix_tools.decode_many(values, decoder):
            pass

    results: list[tuple[str, str, str]] = []
    loop = per_row(plain_loop, len(values))
    results.append(("plain loop of EvmErrorDecoder().decode", f"{1 / loop:,.0f} rows/s",
                    f"{loop * 1e9:.0f} ns/row"))
    many_row = per_row(many, len(values))
    results.append(("decode_many", f"{1 / many_row:,.0f} rows/s", f"{many_row / loop:.2f} x loop"))
    # As a Parquet file hands it over (one chunk per 100,000-row group), and as one array.
    chunked = pa.chunked_array([array[start:start + 100_000] for start in range(0, len(array), 100_000)])
    plain_rows: list[float] = []
    for label, column in (("decode_arrow, 100,000-row chunks", chunked), ("decode_arrow, one array", array)):
        arrow_row = per_row(lambda: kestrix_tools.decode_arrow(column), len(values))
        plain_rows.append(arrow_row)
        target = "meets" if arrow_row <= 0.15 * loop else "MISSES"
        results.append((label, f"{1 / arrow_row:,.0f} rows/s", f"{arrow_row / loop:.3f} x loop ({target} <= 0.15)"))
    # As the command calls it: the error and root-cause columns too, at most 10 % dearer.
    full_row = per_row(lambda: kestrix_tools.decode_arrow(chunked, error_column=True, root_cause=True), len(values))
    target = "meets" if full_row <= 0.15 * loop else "MISSES"
    extra = "meets" if full_row <= 1.10 * plain_rows[0] else "MISSES"
    results.append(("decode_arrow, 100,000-row chunks, error_column=True, root_cause=True",
                    f"{1 / full_row:,.0f} rows/s", f"{full_row / loop:.3f} x loop ({target} <= 0.15); "
                    f"{full_row / plain_rows[0]:.2f} x without ({extra} <= 1.10)"))

    with tempfile.TemporaryDirectory() as folder:
        big, little = Path(folder, "big.parquet"), Path(folder, "small.parquet")
        # Row groups of 100,000 rows, as exports by query engines typically have.
        pq.write_table(pa.table({"id": pa.array(range(len(values)), pa.int64()), "revert_data": array}), big,
                       row_group_size=100_000)
        pq.write_table(pa.table({"id": pa.array(range(small), pa.int64()), "revert_data": array[:small]}),
                       little, row_group_size=100_000)
        output = str(Path(folder, "out.parquet"))
        # The command's fixed cost: starting Python, loading pyarrow, opening both files.
        tiny = Path(folder, "tiny.parquet")
        pq.write_table(pa.table({"id": pa.array(range(10), pa.int64()), "revert_data": array[:10]}), tiny)
        start = min(run_cli(["--input", str(tiny), "--output", output, "--jobs", "1"])[0] for _ in range(3))
        one_time, one_peak = run_cli(["--input", str(big), "--output", output, "--jobs", "1"])
        many_time, many_peak = run_cli(["--input", str(big), "--output", output, "--jobs", str(args.jobs)])
        small_time, small_peak = run_cli(["--input", str(little), "--output", output, "--jobs", "1"])
        small_many_time, small_many_peak = run_cli(["--input", str(little), "--output", output, "--jobs",
                                                    str(args.jobs)])
        decoded = pq.read_table(output).num_rows
        assert decoded == small, decoded
        costs = stage_costs(big, output)

    one_rate, many_rate = len(values) / one_time, len(values) / many_time
    scaling = many_rate / one_rate
    target = "meets" if scaling >= 0.8 * args.jobs else "MISSES"
    results.append(("kestrix CLI, Parquet, --jobs 1", f"{one_rate:,.0f} rows/s", f"{one_time:.2f} s wall"))
    results.append((f"kestrix CLI, Parquet, --jobs {args.jobs}", f"{many_rate:,.0f} rows/s",
                    f"{scaling:.2f} x --jobs 1 ({target} >= {0.8 * args.jobs:.1f})"))
    # The start does not shrink with more threads: even a perfect spread of the rest over the
    # cores gives at most this.
    work = max(one_time - start, 0.0)
    results.append(("kestrix CLI start (a 10-row Parquet file)", f"{start:.3f} s wall",
                    f"--jobs {args.jobs} at most {(start + work) / (start + work / args.jobs):.2f} x --jobs 1 "
                    f"on {len(values):,} rows with this start"))
    # With two jobs one thread reads and decodes while the other writes; with more, the decoding
    # spreads over threads and the Parquet writer encodes a batch's columns on N threads, while
    # this thread reads. On idle cores the run takes at least the longest of those.
    if args.jobs == 2:
        bound = max(costs["read"] + costs["decode"], costs["write"])
    else:
        bound = max(costs["read"], costs["write"] / args.jobs, costs["decode"] / args.jobs,
                    costs["whole"] / args.jobs)
    per_row_ns = {stage: cost / len(values) * 1e9 for stage, cost in costs.items()}
    results.append(("CPU per row, --jobs 1 run: read, decode and merge, write (whole run)",
                    ", ".join(f"{per_row_ns[s]:.0f}" for s in ("read", "decode", "write"))
                    + f" ns ({per_row_ns['whole']:.0f} ns)",
                    f"{costs['whole'] / bound:.2f} x --jobs 1 at best with {args.jobs} idle cores"))
    for label, low, high in (("--jobs 1", small_peak, one_peak), (f"--jobs {args.jobs}", small_many_peak, many_peak)):
        growth = high / low - 1
        target = "meets" if abs(growth) <= 0.2 else "MISSES"
        results.append((f"CLI peak RSS {label}, {small:,} vs {len(values):,} rows",
                        f"{low / 1024:.0f} MiB vs {high / 1024:.0f} MiB", f"{growth:+.0%} ({target} within 20 %)"))

    with tempfile.TemporaryDirectory() as folder:
        results += end_to_end(values, args.jobs, Path(folder))
        if args.memory_rows:
            results += memory_growth(array, args.memory_rows, args.jobs, Path(folder), many_peak)

    load = os.getloadavg()
    header = (f"{len(values):,} rows, {os.cpu_count()} CPUs, load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}, "
              f"Python {sys.version.split()[0]}, pyarrow {pa.__version__}")
    lines = [header, "", "| Measure | Rate | Compared |", "|---|---|---|"]
    lines += [f"| {name} | {rate} | {note} |" for name, rate, note in results]
    text = "\n".join(lines)
    print(text)
    if args.table is not None:
        args.table.write_text(text + "\n")


if __name__ == "__main__":
    main()
