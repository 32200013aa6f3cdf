"""The cost of following wrapped reverts: ``kestrix_tools.Decoder().explain`` beside ``decode``.

Targets: ``explain`` of a revert with no nesting costs at most 1.3x ``decode`` of it; a
three-layer chain (ExecutionFailed carrying WrappedError carrying Error(string)) at most 3.5x
``decode`` of its outer layer. Instructions under callgrind (load-independent; bench/run.py's
counting helper), the Python call included, mean of 200 calls; times are the minimum of
interleaved rounds.

Run: ``python bench/bench_unwrap.py [--no-callgrind]`` against the installed packages.
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import run  # noqa: E402  (bench/run.py: the callgrind client-request module)

ALICE = "5b38da6a701c568545dcfcb03fcb875f56beddc4"


def word(value: int) -> str:
    return f"{value:064x}"


def dynamic(data: str) -> str:
    """The tail of a `bytes` value: its length and its padded content (hex without "0x")."""
    size = len(data) // 2
    return word(size) + data + "0" * ((-len(data)) % 64)


# Selectors precomputed (Keccak-256 of the signatures) so that the script needs no hash package.
REASON = "08c379a0" + word(32) + dynamic(b"STF".hex())
WRAPPED = "90bfb865" + "0" * 24 + ALICE + "12345678" + "0" * 56 + word(128) + word(128 + 32 + 32 * ((len(REASON) // 2 + 31) // 32)) + dynamic(REASON) + dynamic("")
EXECUTION = "2c4029e9" + word(2) + word(64) + dynamic(WRAPPED)

CASES: dict[str, str] = {
    "Panic(0x11)": "0x4e487b71" + word(0x11),
    "Error(string) 32 chars": "0x08c379a0" + word(32) + word(32) + b"x".hex() * 32,
    "ERC20InsufficientBalance": "0xe450d38c" + "0" * 24 + ALICE + word(1000) + word(2000),
    "3-layer chain": "0x" + EXECUTION,
}


def workloads() -> list[tuple[str, str, Callable[[], Any]]]:
    from kestrix_tools import Decoder

    decoder = Decoder()
    out: list[tuple[str, str, Callable[[], Any]]] = []
    for case, text in CASES.items():
        out.append((case, "decode", lambda t=text: decoder.decode(t)))
        out.append((case, "explain", lambda t=text: decoder.explain(t)))
        out.append((case, "explain + root", lambda t=text: decoder.explain(t).root.message))
    return out


def check() -> None:
    from kestrix_tools import Decoder

    explanation = Decoder().explain(CASES["3-layer chain"])
    names = [layer.error_name or layer.kind for layer in explanation.chain]
    assert names == ["ExecutionFailed", "WrappedError", "revert_string"], names


def driver() -> None:
    minimal = run.import_minimal()
    for case, label, function in workloads():
        for _ in range(3):
            function()
        minimal.callgrind_zero()
        for _ in range(200):
            function()
        minimal.callgrind_dump(f"{case}|{label}|200")


def callgrind() -> dict[tuple[str, str], float]:
    run.build_minimal()
    out_dir = Path(tempfile.mkdtemp(prefix="kestrix-unwrap-"))
    try:
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=yes",
                        f"--callgrind-out-file={out_dir}/cg.out", "--dump-instr=no",
                        "--compress-strings=no", sys.executable, __file__, "--driver"],
                       check=True, cwd=HERE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env={**os.environ, "PYTHONHASHSEED": "0"})
        counts: dict[tuple[str, str], float] = {}
        for path in glob.glob(f"{out_dir}/cg.out*"):
            text = Path(path).read_text(errors="replace")
            trigger = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
            total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
            if trigger and total:
                case, label, calls = trigger.group(1).split("|")
                counts[(case, label)] = int(total.group(1)) / int(calls)
        return counts
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)


def timings(rounds: int) -> dict[tuple[str, str], float]:
    best: dict[tuple[str, str], float] = {}
    for _ in range(rounds):
        for case, label, function in workloads():
            started = time.perf_counter_ns()
            for _ in range(2000):
                function()
            per_call = (time.perf_counter_ns() - started) / 2000
            best[(case, label)] = min(best.get((case, label), per_call), per_call)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--driver", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if args.driver:
        driver()
        return
    check()
    times = timings(args.rounds)
    counts = {} if args.no_callgrind or shutil.which("valgrind") is None else callgrind()
    print("| case | call | instr | instr / decode | ns | ns / decode |")
    print("|---|---|---|---|---|---|")
    for case in CASES:
        for label in ("decode", "explain", "explain + root"):
            instr = counts.get((case, label))
            base = counts.get((case, "decode"))
            ratio = f"{instr / base:.2f}" if instr and base else "–"
            shown = f"{instr:,.0f}" if instr else "–"
            print(f"| {case} | {label} | {shown} | {ratio} | {times[(case, label)]:,.0f} | "
                  f"{times[(case, label)] / times[(case, 'decode')]:.2f} |")


if __name__ == "__main__":
    main()
