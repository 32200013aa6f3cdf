"""Costs of the known errors, reason tables and signature database in kestrix_tools.Decoder.

- instructions per decode under callgrind (the difference between runs of N and 2N calls, so
  construction is not counted): a built-in, a known error, a reason-table text and an unknown
  selector, each by Decoder(known=False) (the chain as it was), Decoder() and Decoder() with a
  signature database of a million lines;
- Decoder() construction: wall time (min of rounds) and instructions;
- the million-line database: the time to open it and the memory it adds (peak RSS).

Run: ``python bench/bench_known.py [--rounds R] [--no-callgrind]`` against the installed package.
The database is generated in a temporary folder on each run.
"""

from __future__ import annotations

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from eth_abi import encode
from Crypto.Hash import keccak

DB_LINES = 1_000_000
#: Under callgrind a smaller database keeps each run short; a lookup is a binary search, three
#: steps shorter here than over a million lines.
COUNTED_DB_LINES = 125_000


def selector(signature: str) -> str:
    return keccak.new(digest_bits=256, data=signature.encode()).hexdigest()[:8]


def case_data() -> dict[str, str]:
    return {
        "built-in ERC20InsufficientBalance": "0x" + selector("ERC20InsufficientBalance(address,uint256,uint256)")
        + encode(["address", "uint256", "uint256"], ["0x" + "5b" * 20, 1000, 2000]).hex(),
        "known Permit2 InvalidNonce()": "0x" + selector("InvalidNonce()"),
        "known ERC-4337 FailedOp AA21": "0x" + selector("FailedOp(uint256,string)")
        + encode(["uint256", "string"], [0, "AA21 didn't pay prefund"]).hex(),
        "Error(string) STF": "0x08c379a0" + encode(["string"], ["STF"]).hex(),
        "unknown selector": "0xdeadbeef" + "00" * 31 + "01",
    }


def database(folder: Path, lines: int = DB_LINES) -> Path:
    path = folder / f"signatures-{lines}.txt"
    if not path.exists():
        with path.open("w") as out:
            for i in range(lines):
                out.write(f"bench_{i}_f(uint256,address)\n")
    return path


def decoder(name: str, db: Path | None):  # type: ignore[no-untyped-def]
    from kestrix_tools import Decoder
    if name == "Decoder(known=False)":
        return Decoder(known=False)
    if name == "Decoder()":
        return Decoder()
    return Decoder(signature_db=db)


NAMES = ["Decoder(known=False)", "Decoder()", "Decoder(signature_db=...)"]


def driver(case: str, name: str, calls: int, db: str) -> None:
    decode = decoder(name, Path(db)).decode
    data = case_data()[case]
    for _ in range(calls):
        decode(data)


def build_driver(calls: int) -> None:
    from kestrix_tools import Decoder
    Decoder()  # the first read of the data files is part of every process's first decoder
    for _ in range(calls):
        Decoder()


def callgrind(args: list[str], calls: int) -> float | None:
    totals = []
    out_dir = Path(tempfile.mkdtemp(prefix="kestrix-known-"))
    try:
        for n in (calls, 2 * calls):
            out = out_dir / f"cg.{n}"
            subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                            __file__, *args, str(n)], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env={**os.environ, "PYTHONHASHSEED": "0"})
            found = re.search(r"^(?:summary|totals): (\d+)", out.read_text(errors="replace"), re.M)
            if found is None:
                return None
            totals.append(int(found.group(1)))
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)
    return (totals[1] - totals[0]) / calls


def open_cost(db: Path) -> tuple[float, float]:
    """Seconds to open the database and MiB of resident memory it adds, in a fresh process."""
    code = (
        "import os, sys, time\n"
        "from kestrix_tools import Decoder\n"
        "def resident():\n"
        "    with open('/proc/self/statm') as f:\n"
        "        return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE') / 2**20\n"
        "Decoder()\n"
        "before = resident()\n"
        "start = time.perf_counter()\n"
        "d = Decoder(signature_db=sys.argv[1])\n"
        "spent = time.perf_counter() - start\n"
        "d.decode('0xdeadbeef')\n"
        "print(spent, resident() - before)\n"
    )
    out = subprocess.run([sys.executable, "-c", code, str(db)], check=True, capture_output=True, text=True)
    seconds, mib = out.stdout.split()
    return float(seconds), float(mib)


def first_build_ms() -> float:
    code = ("import time\nimport kestrix_tools\nstart = time.perf_counter()\nkestrix_tools.Decoder()\n"
            "print((time.perf_counter() - start) * 1000)\n")
    runs = [float(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                                 text=True).stdout) for _ in range(5)]
    return min(runs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--driver", nargs=4)
    parser.add_argument("--build-driver", nargs=1)
    args = parser.parse_args()
    if args.driver:
        case, name, db, calls = args.driver
        driver(case, name, int(calls), db)
        return
    if args.build_driver:
        build_driver(int(args.build_driver[0]))
        return

    folder = Path(tempfile.mkdtemp(prefix="kestrix-known-db-"))
    try:
        db = database(folder)
        from kestrix_tools import Decoder
        print(f"first Decoder() in a fresh process (reads the data files): {first_build_ms():.2f} ms")
        best = min(_timed(Decoder) for _ in range(args.rounds))
        print(f"later Decoder(): {best * 1000:.3f} ms;  Decoder(known=False): "
              f"{min(_timed(lambda: Decoder(known=False)) for _ in range(args.rounds)) * 1000:.3f} ms")
        seconds, mib = open_cost(db)
        print(f"signature database of {DB_LINES:,} lines: opens in {seconds:.3f} s, adds {mib:.0f} MiB resident")
        if args.no_callgrind or shutil.which("valgrind") is None:
            return
        counted_db = database(folder, COUNTED_DB_LINES)
        built = callgrind(["--build-driver"], 20)
        print(f"Decoder() instructions: {built:,.0f}")
        print(f"\ninstructions per decode (signature database of {COUNTED_DB_LINES:,} lines)")
        print("\n| case | " + " | ".join(NAMES) + " |\n|---|" + "---|" * len(NAMES))
        for case in case_data():
            counts = [callgrind(["--driver", case, name, str(counted_db)], 2000) for name in NAMES]
            base = counts[0] or 1
            cells = [f"{c:,.0f} ({c / base:.2f}x)" if c else "-" for c in counts]
            print(f"| {case} | " + " | ".join(cells) + " |")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _timed(make) -> float:  # type: ignore[no-untyped-def]
    start = time.perf_counter()
    make()
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
