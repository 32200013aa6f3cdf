"""kestrix_tools' native Decoder beside kestrix: the cost of the user-error chain on built-in data.

For each case, the same hex text is decoded by ``kestrix.EvmErrorDecoder().decode`` (the
reference), by ``kestrix_tools._native.Decoder().decode`` with no user errors and with 50 user
errors filed, and by the public ``kestrix_tools.Decoder`` when it is installed; plus one user
error through the companion. Reported per call, the Python call included:

- time: interleaved rounds, the minimum of each over all rounds (robust on a busy machine);
- instructions under callgrind (when valgrind is installed): the difference between a run of
  2N and a run of N calls, divided by N, so interpreter start-up cancels out.

Target: a built-in error through the companion costs at most 1.2x kestrix's decode of it.
Run: ``python bench/bench_companion.py [--quick] [--rounds R] [--no-callgrind]`` against the
installed packages; ``--quick`` counts instructions for the two three-word custom errors only.
"""

from __future__ import annotations

import argparse
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

ALICE = "5b38da6a701c568545dcfcb03fcb875f56beddc4"


def word(value: int) -> str:
    return f"{value:064x}"


# Selectors precomputed (Keccak-256 of the signatures) so that the script needs no hash package.
CASES: dict[str, str] = {
    "empty": "0x",
    "unknown selector": "0xdeadbeef" + word(1),
    "Panic(0x11)": "0x4e487b71" + word(0x11),
    "Error(string) 32 chars": "0x08c379a0" + word(32) + word(32) + b"x".hex() * 32,
    "ERC20InsufficientBalance": "0xe450d38c" + "0" * 24 + ALICE + word(1000) + word(2000),
}
# A user error of the same shape: Withdraw(address,uint256,uint256), selector f279e6a1.
USER_SIGNATURE = "Withdraw(address,uint256,uint256)"
USER_CASE = "user error (3 words)"
USER_PARAMS = [("to", "address", None), ("amount", "uint256", None), ("limit", "uint256", None)]


def definitions() -> list[tuple[str, list[tuple[str, str, None]], str | None]]:
    """Withdraw first, then 49 other errors of assorted shapes."""
    out: list[tuple[str, list[tuple[str, str, None]], str | None]] = [
        ("Withdraw", USER_PARAMS, "Lower the amount.")]
    for i in range(49):
        out.append((f"Error{i}", [("a", "uint256", None), ("b", "string", None)][: i % 3], None))
    return out


def decoders() -> dict[str, Callable[[str], Any]]:
    import kestrix

    from kestrix_tools import _native

    out: dict[str, Callable[[str], Any]] = {
        "kestrix": kestrix.EvmErrorDecoder().decode,
        "native, no user errors": _native.Decoder().decode,
        "native, 50 user errors": _native.Decoder(definitions()).decode,
    }
    try:
        from kestrix_tools import Decoder
    except ImportError:
        pass
    else:
        out["kestrix_tools.Decoder, 50 user errors"] = Decoder(
            signatures=[f"{name}({','.join(t for _, t, _ in params)})"
                        for name, params, _ in definitions()]).decode
    return out


def user_data() -> str:
    return "0xf279e6a1" + "0" * 24 + ALICE + word(1000) + word(2000)


def time_calls(function: Callable[[str], Any], data: str, calls: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(calls):
        function(data)
    return (time.perf_counter_ns() - start) / calls


def timings(rounds: int, calls: int) -> dict[tuple[str, str], float]:
    runs = decoders()
    cases = dict(CASES)
    cases[USER_CASE] = user_data()
    for name, function in runs.items():
        if "50 user errors" in name:
            assert function(cases[USER_CASE])["error_name"] == "Withdraw", name
    best: dict[tuple[str, str], float] = {}
    for _ in range(rounds):
        for case, data in cases.items():
            for name, function in runs.items():
                if case == USER_CASE and "50 user errors" not in name:
                    continue
                spent = time_calls(function, data, calls)
                key = (case, name)
                best[key] = min(best.get(key, spent), spent)
    return best


def driver(case: str, name: str, calls: int) -> None:
    """Runs inside valgrind: `calls` decodes of one case by one decoder."""
    data = user_data() if case == USER_CASE else CASES[case]
    function = decoders()[name]
    for _ in range(calls):
        function(data)


def instructions(case: str, name: str, calls: int) -> float | None:
    totals = []
    out_dir = Path(tempfile.mkdtemp(prefix="kestrix-companion-"))
    try:
        for n in (calls, 2 * calls):
            out = out_dir / f"cg.{n}"
            subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                            sys.executable, __file__, "--driver", case, name, str(n)],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           env={**os.environ, "PYTHONHASHSEED": "0"})
            found = re.search(r"^(?:summary|totals): (\d+)", out.read_text(errors="replace"), re.M)
            if found is None:
                return None
            totals.append(int(found.group(1)))
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
    return (totals[1] - totals[0]) / calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--driver", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.driver:
        driver(args.driver[0], args.driver[1], int(args.driver[2]))
        return

    best = timings(args.rounds, args.calls)
    counted = not args.no_callgrind and shutil.which("valgrind") is not None
    print("| case | decoder | ns per call | x kestrix | instructions | x kestrix |")
    print("|---|---|---:|---:|---:|---:|")
    reference: dict[str, tuple[float, float | None]] = {}
    for (case, name), spent in best.items():
        wanted = not args.quick or case in ("ERC20InsufficientBalance", USER_CASE)
        count = instructions(case, name, 2000) if counted and wanted else None
        if name == "kestrix":
            reference[case] = (spent, count)
        base_time, base_count = reference.get(case, (None, None))
        ratio = f"{spent / base_time:.2f}" if base_time else ""
        count_text = f"{count:,.0f}" if count is not None else "-"
        count_ratio = f"{count / base_count:.2f}" if count is not None and base_count else ""
        print(f"| {case} | {name} | {spent:,.0f} | {ratio} | {count_text} | {count_ratio} |")


if __name__ == "__main__":
    main()
