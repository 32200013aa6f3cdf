"""The column kernel alone: ``decode_arrow`` per row beside a plain loop of ``Decoder.decode``.

The mix: empty data, ``Error(string)``, panics, built-in and user-defined custom errors, unknown
selectors and text that is not hexadecimal. Both sides use the same ``_native.Decoder`` (with the
user's errors), so the ratio is what the column kernel saves over one call per row.

Targets: ``decode_arrow`` per row <= 0.15 x the loop; the root-cause columns at most 10 % more.
Also measured on rows drawn from a pool as large as they are (``--distinct``: about one row in six
is new), and on rows of which no two are alike (``--unique``), where no output can be reused.

Run: ``python bench/bench_kernel.py [--rows N] [--distinct | --unique]``. ``--callgrind`` decodes
once and stops: run it under ``valgrind --tool=callgrind --toggle-collect='*decode_arrow_body*'``
to count the whole native call's instructions, which load on the machine does not change (the
module needs its symbols: install with ``pip install -C install.strip=false .``).
"""

from __future__ import annotations

import argparse
import os
import random
import sys
from typing import Any

import pyarrow as pa
from eth_abi import encode
from Crypto.Hash import keccak

from kestrix_tools import _native
from kestrix_tools._wrappers import native_arguments
from kestrix_tools.bulk import decode_arrow

from bench_bulk import per_row, rows_of

ALICE = "0x5b38da6a701c568545dcfcb03fcb875f56beddc4"
REASONS = ["Ownable: caller is not the owner", "ERC20: transfer amount exceeds balance",
           "UniswapV2: INSUFFICIENT_OUTPUT_AMOUNT", "Pausable: paused", "STF", "Too little received"]
USER_ERRORS = [
    ("Slippage", [("wanted", "uint256", None), ("got", "uint256", None)], "Raise the tolerance."),
    ("NotAllowed", [("who", "address", None)], None),
    ("Expired", [("deadline", "uint64", None), ("now", "uint64", None)], None),
]


def selector(signature: str) -> str:
    return keccak.new(digest_bits=256, data=signature.encode()).hexdigest()[:8]


def sample_pool(size: int, seed: int = 1) -> list[str]:
    """Distinct rows: 30 % reason strings, 15 % panics, 20 % built-in custom errors, 15 % user
    errors, 10 % unknown selectors, 5 % empty, 5 % not hexadecimal."""
    rng = random.Random(seed)
    pool = []
    for _ in range(size):
        pick = rng.random()
        if pick < 0.30:
            text = selector("Error(string)") + encode(["string"], [rng.choice(REASONS)]).hex()
        elif pick < 0.45:
            code = rng.choice([0x01, 0x11, 0x12, 0x21, 0x32, 0x41, 0x51])
            text = selector("Panic(uint256)") + encode(["uint256"], [code]).hex()
        elif pick < 0.65:
            which = rng.randrange(3)
            if which == 0:
                big = rng.randrange(10**24)
                text = selector("ERC20InsufficientBalance(address,uint256,uint256)") + encode(
                    ["address", "uint256", "uint256"], [ALICE, big, big + 1]).hex()
            elif which == 1:
                text = selector("OwnableUnauthorizedAccount(address)") + encode(["address"], [ALICE]).hex()
            else:
                text = selector("EnforcedPause()")
        elif pick < 0.80:
            which = rng.randrange(3)
            if which == 0:
                text = selector("Slippage(uint256,uint256)") + encode(["uint256", "uint256"], [5, 7]).hex()
            elif which == 1:
                text = selector("NotAllowed(address)") + encode(["address"], [ALICE]).hex()
            else:
                text = selector("Expired(uint64,uint64)") + encode(["uint64", "uint64"], [10, 20]).hex()
        elif pick < 0.90:
            text = rng.randbytes(4).hex() + rng.randbytes(32 * rng.randrange(3)).hex()
        elif pick < 0.95:
            text = ""
        else:
            text = rng.choice(["zz", "0", "12g4", "x"])
        pool.append("0x" + text)
    return pool


def unique_pool(size: int, seed: int = 4) -> list[str]:
    """The same mix with no two rows alike: each carries a number of its own (in the reason, the
    panic code, an argument, the unknown data or the broken text); no empty rows."""
    rng = random.Random(seed)
    pool = []
    for i in range(size):
        pick = rng.random()
        if pick < 0.30:
            text = selector("Error(string)") + encode(["string"], [f"{rng.choice(REASONS)} #{i}"]).hex()
        elif pick < 0.45:
            text = selector("Panic(uint256)") + encode(["uint256"], [0x100 + i]).hex()
        elif pick < 0.65:
            text = selector("ERC20InsufficientBalance(address,uint256,uint256)") + encode(
                ["address", "uint256", "uint256"], [ALICE, i, i + 1 + rng.randrange(10**24)]).hex()
        elif pick < 0.80:
            text = selector("Slippage(uint256,uint256)") + encode(["uint256", "uint256"], [i, 7]).hex()
        elif pick < 0.95:
            text = rng.randbytes(4).hex() + encode(["uint256"], [i]).hex()
        else:
            text = f"zz{i:x}"
        pool.append("0x" + text)
    return pool


def output_bytes(result: Any, source: Any) -> int:
    """Bytes of the buffers the decode built: each buffer once (the root columns share the outer
    ones' when nothing is nested), leaving out the input's own (raw_data where it repeats them)."""
    taken = {buffer.address for buffer in source.buffers() if buffer is not None}
    buffers = [result.buffers()[0], *(buffer for field in result.flatten() for buffer in field.buffers())]
    built = {buffer.address: buffer.size for buffer in buffers if buffer is not None and buffer.address not in taken}
    return sum(built.values())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--callgrind", action="store_true", help="decode once and stop")
    parser.add_argument("--root-cause", action="store_true", help="with --callgrind: the root-cause columns too")
    parser.add_argument("--distinct", action="store_true", help="rows from a pool as large as they are")
    parser.add_argument("--unique", action="store_true", help="no two rows alike")
    args = parser.parse_args()

    decoder = _native.Decoder(USER_ERRORS, **native_arguments())
    values = rows_of(sample_pool(5000), args.rows)
    if args.distinct:
        values = sample_pool(args.rows, seed=3)
    if args.unique:
        values = unique_pool(args.rows)
    array = pa.array(values, pa.string())
    if args.callgrind:
        decode_arrow(array, decoder, error_column=True, root_cause=args.root_cause)
        return

    def plain_loop() -> None:
        decode = decoder.decode
        for value in values:
            try:
                decode(value)
            except ValueError:
                pass

    loop = per_row(plain_loop, len(values), repeat=5)
    kernel = per_row(lambda: decode_arrow(array, decoder, error_column=True), len(values), repeat=5)
    roots = per_row(lambda: decode_arrow(array, decoder, error_column=True, root_cause=True), len(values),
                    repeat=5)
    produced = output_bytes(decode_arrow(array, decoder, error_column=True), array)
    target = "meets" if kernel <= 0.15 * loop else "MISSES"
    root_target = "meets" if roots <= 1.10 * kernel else "MISSES"
    mix = ("no two alike" if args.unique else "a fresh pool as large as the rows" if args.distinct
           else "drawn from 5,000 distinct")
    print(f"{args.rows:,} rows ({mix}), load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}, "
          f"Python {sys.version.split()[0]}, pyarrow {pa.__version__}")
    print("| Measure | ns/row | Compared |\n|---|---|---|")
    print(f"| plain loop of Decoder.decode | {loop * 1e9:.0f} | |")
    print(f"| decode_arrow, error column | {kernel * 1e9:.0f} | {kernel / loop:.3f} x loop ({target} <= 0.15) |")
    print(f"| decode_arrow, error and root-cause columns | {roots * 1e9:.0f} | {roots / kernel:.2f} x without "
          f"({root_target} <= 1.10) |")
    print(f"| output | {produced / len(values):.0f} bytes/row | {kernel * 1e9 / (produced / len(values)):.2f} ns/byte |")


if __name__ == "__main__":
    main()
