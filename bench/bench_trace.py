"""Explaining large saved traces: time and peak memory of `kestrix trace`'s work, per frame.

Traces are built from go-ethereum's real ones in tests/tools/data/traces: deep_calls.json's
call tree repeated side by side (a wide transaction, like a large DeFi batch), and
revert_reason.json's reverting call nested inside itself (deeper than the EVM allows, the
hostile case). Each is read from JSON text, walked and explained, and drawn as text and JSON.

Targets: time linear in frames (per-frame cost within 2x from the smallest to the largest
size of each shape); peak traced memory under 8 KB per frame. Run: ``python bench/bench_trace.py``.
"""

from __future__ import annotations

import json
import sys
import time
import tracemalloc
from pathlib import Path

import kestrix
from kestrix_tools._render import transaction_json, transaction_text
from kestrix_tools._trace import frames_from_any, parse_json_deep, transaction_from_frames

TRACES = Path(__file__).resolve().parents[1] / "tests" / "tools" / "data" / "traces" / "calltracer"


def wide(copies: int) -> str:
    tree = json.loads((TRACES / "deep_calls.json").read_text())
    tree["calls"] = tree.get("calls", []) * copies
    return json.dumps(tree)


def deep(depth: int) -> str:
    frame = (TRACES / "revert_reason.json").read_text().strip()
    return (frame[:-1] + ', "calls": [') * depth + frame + "]}" * depth


def explain(text: str) -> int:
    root, source = frames_from_any(parse_json_deep(text, "bench"), "bench")
    explained = transaction_from_frames(root, kestrix.EvmErrorDecoder(), hash=None, source=source)
    json.dumps(transaction_json(explained))
    transaction_text(explained)
    return len(explained.frames)


def measure(text: str) -> tuple[int, float, float]:
    """Frames, seconds (best of two, untraced), peak traced bytes (a third run)."""
    elapsed = float("inf")
    for _ in range(2):
        started = time.perf_counter()
        frames = explain(text)
        elapsed = min(elapsed, time.perf_counter() - started)
    tracemalloc.start()
    explain(text)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return frames, elapsed, peak


def main() -> None:
    print("| trace | frames | text MB | s | us/frame | peak MB | peak B/frame |")
    print("|---|---|---|---|---|---|---|")
    for label, text in [(f"wide x{n}", wide(n)) for n in (10, 100, 1000)] + \
            [(f"deep {n}", deep(n)) for n in (1000, 10_000)]:
        frames, elapsed, peak = measure(text)
        print(f"| {label} | {frames:,} | {len(text) / 1e6:.1f} | {elapsed:.2f} | {elapsed / frames * 1e6:.1f} | "
              f"{peak / 1e6:.1f} | {peak / frames:,.0f} |", flush=True)


if __name__ == "__main__":
    sys.exit(main())
