"""kestrix benchmarks: instruction counts under callgrind and min-of-rounds timings, kestrix beside
a minimal C call and a Python decoder built on eth-abi and pycryptodome, plus large payloads,
peak memory, Keccak-f[1600] and the companion package's benchmarks when present.

    python bench/run.py [--quick] [--write bench/RESULTS.md] [--json out.json]

Imports the installed kestrix (never the source tree); bench/run.sh installs it first.
"""

from __future__ import annotations

import argparse
import datetime
import glob
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build" / "bench"


# ---- inputs -------------------------------------------------------------------------------

def _word(value: int) -> str:
    return f"{value:064x}"


def revert_string(reason: str) -> str:
    raw = reason.encode()
    padded = raw.hex() + "00" * (-len(raw) % 32)
    return "0x08c379a0" + _word(32) + _word(len(raw)) + padded


def unknown_payload(size: int) -> str:
    """`size` bytes of data under an unknown selector."""
    block = bytes(range(256)).hex()
    body = (block * (size // 256 + 1))[: 2 * (size - 4)]
    return "0xdeadbeef" + body


def reason_of(size: int) -> str:
    base = "Ownable: caller is not the owner, please retry later. "
    return (base * (size // len(base) + 1))[:size]


ADDRESS = "5b38da6a701c568545dcfcb03fcb875f56beddc4"
CASES: dict[str, str] = {
    "empty": "0x",
    "unknown selector": "0xdeadbeef" + _word(1),
    "Error(string) 32 chars": revert_string("Ownable: caller is not the owner"),
    "Error(string) 1 KB": revert_string(reason_of(1024)),
    "Panic 0x11": "0x4e487b71" + _word(0x11),
    "ERC20InsufficientBalance (3 words)": "0xe450d38c" + "0" * 24 + ADDRESS + _word(1000) + _word(2000),
    "AccessControlUnauthorizedAccount": "0xe2517d3f" + "0" * 24 + ADDRESS + "ab" * 32,
    "EnforcedPause (no arguments)": "0xd93c0665",
}
CONTEXT = {"chain": "ethereum", "tx_hash": "0x" + "11" * 32, "block_number": 19_000_000}
SIZES = [1 << 10, 1 << 14, 1 << 18, 1 << 20, 1 << 22, 1 << 24]
SIZE_NAMES = {1 << 10: "1 KB", 1 << 14: "16 KB", 1 << 18: "256 KB", 1 << 20: "1 MB",
              1 << 22: "4 MB", 1 << 24: "16 MB"}


def big_payload(kind: str, size: int) -> str:
    if kind == "unknown":
        return unknown_payload(size)
    # Error(string) whose whole payload is `size` bytes: 68 bytes of head, the rest the reason.
    return revert_string(reason_of(max(size - 68, 1)))


# ---- building the helpers --------------------------------------------------------------------

def build_minimal() -> Path:
    BUILD.mkdir(parents=True, exist_ok=True)
    target = BUILD / ("minimal_call" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = HERE / "minimal_call.c"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        include = sysconfig.get_paths()["include"]
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", f"-I{include}", str(source), "-o",
                        str(target)], check=True)
    return target


def build_keccak_counter() -> Path:
    BUILD.mkdir(parents=True, exist_ok=True)
    target = BUILD / "keccak_count"
    subprocess.run(["g++", "-std=c++23", "-O3", "-DNDEBUG", f"-I{ROOT / 'src'}",
                    str(HERE / "keccak_count.cpp"), str(ROOT / "src/core/keccak.cpp"), "-o",
                    str(target)], check=True)
    return target


def import_minimal() -> Any:
    sys.path.insert(0, str(BUILD))
    import minimal_call  # type: ignore[import-not-found]
    sys.path.pop(0)
    return minimal_call


# ---- what each measurement calls --------------------------------------------------------------

def workloads(quick: bool) -> list[tuple[str, str, Callable[[], Any]]]:
    """(group, label, zero-argument callable) for every measured call."""
    import kestrix
    import peer_decoder
    minimal = import_minimal()
    decoder = kestrix.EvmErrorDecoder()
    peer = peer_decoder.PeerDecoder()
    out: list[tuple[str, str, Callable[[], Any]]] = []
    for name, data in CASES.items():
        out.append((name, "kestrix", lambda d=data: decoder.decode(d)))
        out.append((name, "minimal", lambda d=data: minimal.decode(d)))
        out.append((name, "peer", lambda d=data: peer.decode(d)))
    custom = CASES["ERC20InsufficientBalance (3 words)"]
    out += [
        ("decode_with_context (3 words)", "kestrix",
         lambda: decoder.decode_with_context(custom, CONTEXT)),
        ("decode_with_context (3 words)", "minimal", lambda: minimal.decode(custom)),
        ("decode_error (3 words)", "kestrix", lambda: kestrix.decode_error(custom)),
        ("decode_error (3 words)", "peer", lambda: peer_decoder.decode_error(custom)),
        ("EvmErrorDecoder()", "kestrix", kestrix.EvmErrorDecoder),
        ("EvmErrorDecoder()", "peer", peer_decoder.PeerDecoder),
        ("panic_meaning(0x11)", "kestrix", lambda: kestrix.panic_meaning(0x11)),
    ]
    return out


def check_same_results() -> None:
    """The peer must give the same dicts, or the comparison means nothing."""
    import kestrix
    import peer_decoder
    decoder, peer = kestrix.EvmErrorDecoder(), peer_decoder.PeerDecoder()
    for name, data in CASES.items():
        ours, theirs = decoder.decode(data), peer.decode(data)
        assert ours == theirs and list(ours) == list(theirs), (name, ours, theirs)


# ---- timings -----------------------------------------------------------------------------------

def time_calls(function: Callable[[], Any], calls: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(calls):
        function()
    return (time.perf_counter_ns() - start) / calls


def timings(quick: bool) -> dict[tuple[str, str], float]:
    """Nanoseconds per call: the minimum over rounds, the implementations of a case interleaved
    within each round so that a noisy neighbour hurts them alike."""
    loads = workloads(quick)
    calls: dict[tuple[str, str], int] = {}
    for group, label, function in loads:
        per_call = max(time_calls(function, 3), 1.0)
        calls[(group, label)] = max(1, min(20_000, int(5e6 / per_call)))
    best: dict[tuple[str, str], float] = {}
    for _ in range(3 if quick else 9):
        for group, label, function in loads:
            spent = time_calls(function, calls[(group, label)])
            best[(group, label)] = min(best.get((group, label), spent), spent)
    return best


def payload_timings(quick: bool) -> dict[tuple[str, int], float]:
    import kestrix
    decoder = kestrix.EvmErrorDecoder()
    out: dict[tuple[str, int], float] = {}
    for size in SIZES[:4] if quick else SIZES:
        texts = {kind: big_payload(kind, size) for kind in ("unknown", "revert_string")}
        hex_digits = texts["unknown"][2:]
        loads = [(("unknown", size), lambda t=texts["unknown"]: decoder.decode(t)),
                 (("revert_string", size), lambda t=texts["revert_string"]: decoder.decode(t)),
                 (("bytes.fromhex", size), lambda t=hex_digits: bytes.fromhex(t))]
        calls = max(1, (1 << 22) // size)
        for _ in range(3 if size >= 1 << 22 else 7):
            for key, function in loads:
                spent = time_calls(function, calls) / size
                out[key] = min(out.get(key, spent), spent)
    return out


# ---- instruction counts ------------------------------------------------------------------------

def callgrind_driver(quick: bool) -> None:
    """Runs inside valgrind: each measured call between a zero and a labelled dump."""
    minimal = import_minimal()
    import kestrix

    def measure(label: str, function: Callable[[], Any], calls: int) -> None:
        for _ in range(3):
            function()
        minimal.callgrind_zero()
        for _ in range(calls):
            function()
        minimal.callgrind_dump(f"{label}|{calls}")

    measure("loop", lambda: None, 200)
    for group, label, function in workloads(quick):
        calls = 20 if group in ("EvmErrorDecoder()", "decode_error (3 words)") else 200
        measure(f"{group}|{label}", function, calls)
    decoder = kestrix.EvmErrorDecoder()
    for size in SIZES[:3] if quick else SIZES:
        for kind in ("unknown", "revert_string"):
            text = big_payload(kind, size)
            measure(f"payload {kind}|{size}", lambda t=text: decoder.decode(t), 1)
            del text
        digits = big_payload("unknown", size)[2:]
        measure(f"payload bytes.fromhex|{size}", lambda t=digits: bytes.fromhex(t), 1)
        del digits


def run_callgrind(quick: bool) -> dict[str, float]:
    """Instructions per call for every label, from one valgrind run."""
    out_dir = Path(tempfile.mkdtemp(prefix="kestrix-callgrind-"))
    try:
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=yes",
                        f"--callgrind-out-file={out_dir}/cg.out", "--dump-instr=no",
                        "--compress-strings=no", sys.executable, __file__, "--driver"]
                       + (["--quick"] if quick else []),
                       check=True, cwd=HERE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       # A fixed string hash keeps the dict's probe sequences, and so the
                       # counts, the same from run to run.
                       env={**os.environ, "PYTHONHASHSEED": "0"})
        counts: dict[str, float] = {}
        for path in glob.glob(f"{out_dir}/cg.out*"):
            text = Path(path).read_text(errors="replace")
            trigger = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
            total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
            if not trigger or not total:
                continue
            label, _, calls = trigger.group(1).rpartition("|")
            counts[label] = int(total.group(1)) / int(calls)
        return counts
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)


def keccak_instructions() -> dict[str, float]:
    """Instructions per one-block digest: one at a time ("single") and four at a time
    ("four"), as a registry computes its selectors."""
    counter = build_keccak_counter()
    rounds = 2000
    out_dir = Path(tempfile.mkdtemp(prefix="kestrix-keccak-"))
    try:
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_dir}/cg.out",
                        str(counter), str(rounds)], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        out = {}
        for path in glob.glob(f"{out_dir}/cg.out*"):
            text = Path(path).read_text(errors="replace")
            label = re.search(r"^desc: Trigger: Client Request: (\w+)", text, re.M)
            total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
            if label and total:
                out[{"keccak": "single", "keccak4": "four"}[label.group(1)]] = int(total.group(1)) / rounds
        return out
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)


# ---- peak memory -------------------------------------------------------------------------------

PEAK_KINDS = {
    "raw_revert": lambda size: unknown_payload(size),
    "revert_string": lambda size: revert_string(reason_of(size - 68)),
    "panic": lambda size: "0x4e487b71" + _word(0x11) + "00" * (size - 36),
    "custom_error": lambda size: CASES["ERC20InsufficientBalance (3 words)"] + "00" * (size - 100),
}


def _vm(field: str) -> int:
    status = Path("/proc/self/status").read_text()
    return int(re.search(rf"^{field}:\s+(\d+) kB", status, re.M).group(1)) * 1024


def peak_memory_child(kind: str, size: int) -> None:
    import kestrix
    decoder = kestrix.EvmErrorDecoder()
    text = PEAK_KINDS[kind](size)
    decoder.decode(PEAK_KINDS[kind](4096))
    Path("/proc/self/clear_refs").write_text("5")  # resets the peak resident size
    before = _vm("VmRSS")
    result = decoder.decode(text)
    peak = _vm("VmHWM") - before
    assert result["kind"] == kind, result["kind"]
    print(json.dumps({"kind": kind, "text": len(text), "peak": peak}))


def peak_memory(quick: bool) -> dict[str, float]:
    size = (8 if quick else 32) << 20
    out = {}
    for kind in PEAK_KINDS:
        done = subprocess.run([sys.executable, __file__, "--peak-child", kind, str(size)],
                              check=True, cwd=HERE, capture_output=True, text=True)
        row = json.loads(done.stdout)
        out[kind] = row["peak"] / row["text"]
    return out


# ---- the companion's benchmarks ----------------------------------------------------------------

def companion_benchmarks(quick: bool) -> dict[str, str]:
    out = {}
    for name in ("bench_companion.py", "bench_bulk.py"):
        script = HERE / name
        if not script.exists():
            continue
        # The companion scripts take their own options; the quick run asks for fewer rows.
        extra = ["--rows", "100000"] if quick and name == "bench_bulk.py" else []
        done = subprocess.run([sys.executable, str(script)] + extra, cwd=HERE,
                              capture_output=True, text=True)
        out[name] = done.stdout.strip() or done.stderr.strip()[-2000:]
    return out


# ---- report ------------------------------------------------------------------------------------

def machine() -> str:
    cpu = "unknown CPU"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    gxx = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    return (f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, commit {commit}; "
            f"{cpu}, {os.cpu_count()} cores (shared with other jobs); {platform.system()} "
            f"{platform.release()}; CPython {platform.python_version()}; {gxx}; "
            f"valgrind {subprocess.run(['valgrind', '--version'], capture_output=True, text=True).stdout.strip()}")


def report(data: dict[str, Any]) -> str:
    ns, ir = data["timings"], data["instructions"]
    loop = ir.get("loop", 0.0)
    lines = [f"Machine: {data['machine']}", "",
             "Per call, the Python call included. Instructions: callgrind, mean of 200 calls "
             f"(20 for constructors) inside a `for` loop whose own cost ({loop:,.0f} per "
             "iteration) is included for every column. Times: minimum over interleaved rounds.",
             "", "| case | kestrix instr | minimal instr | ratio | kestrix ns | minimal ns | "
             "eth-abi peer ns | peer/kestrix |", "|---|---|---|---|---|---|---|---|"]

    def cell(value: float | None, fmt: str = "{:,.0f}") -> str:
        return "–" if value is None else fmt.format(value)

    groups = list(dict.fromkeys(group for group, _ in ns))
    for group in groups:
        k_ir, m_ir = ir.get(f"{group}|kestrix"), ir.get(f"{group}|minimal")
        k_ns, m_ns, p_ns = ns.get((group, "kestrix")), ns.get((group, "minimal")), ns.get((group, "peer"))
        lines.append(
            f"| {group} | {cell(k_ir)} | {cell(m_ir)} | "
            f"{cell(k_ir / m_ir if k_ir and m_ir else None, '{:.2f}')} | {cell(k_ns)} | "
            f"{cell(m_ns)} | {cell(p_ns)} | {cell(p_ns / k_ns if p_ns and k_ns else None, '{:.1f}')} |")

    lines += ["", f"Keccak-f[1600]: {data['keccak']['single']:,.0f} instructions per one-block "
              f"Keccak-256 (one permutation plus absorbing and padding) one at a time, "
              f"{data['keccak']['four']:,.0f} per digest four at a time (a registry's selectors).",
              "",
              "Large payloads (decode; per byte of revert data):", "",
              "| size | unknown instr/B | Error(string) instr/B | bytes.fromhex instr/B | "
              "unknown ns/B | Error(string) ns/B | bytes.fromhex ns/B |",
              "|---|---|---|---|---|---|---|"]
    pt = data["payload_timings"]
    for size in SIZES:
        row = [ir.get(f"payload {k}|{size}") for k in ("unknown", "revert_string", "bytes.fromhex")]
        if all(v is None for v in row) and (("unknown", size) not in pt):
            continue
        tim = [pt.get((k, size)) for k in ("unknown", "revert_string", "bytes.fromhex")]
        lines.append(f"| {SIZE_NAMES[size]} | " + " | ".join(
            cell(v / size if v else None, "{:.1f}") for v in row) + " | " + " | ".join(
            cell(v, "{:.2f}") for v in tim) + " |")
    lines += ["", "Peak memory during one decode of a 32 MB payload, over the length of the "
              "input text (resident-set high-water mark, reset before the call):", "",
              "| kind | peak / input text |", "|---|---|"]
    lines += [f"| {kind} | {ratio:.2f} |" for kind, ratio in data["peak_memory"].items()]
    lines += ["", "Targets:", ""] + [f"- {line}" for line in targets(data)]
    for name, text in data["companion"].items():
        lines += ["", f"`{name}`:", "", "```", text, "```"]
    return "\n".join(lines) + "\n"


def targets(data: dict[str, Any]) -> list[str]:
    ir = data["instructions"]
    out = []

    def ratio(group: str) -> float:
        return ir[f"{group}|kestrix"] / ir[f"{group}|minimal"]

    for group, limit in [("empty", 1.2), ("unknown selector", 1.2), ("Panic 0x11", 1.2),
                         ("ERC20InsufficientBalance (3 words)", 1.3),
                         ("AccessControlUnauthorizedAccount", 1.3),
                         ("Error(string) 32 chars", 1.3), ("Error(string) 1 KB", 1.5)]:
        value = ratio(group)
        out.append(f"{group}: {value:.2f}x the minimal call (at most {limit}x): "
                   f"{'met' if value <= limit else 'MISSED'}")
    for way, text in (("single", "one state at a time"), ("four", "four states at a time")):
        value = data["keccak"][way]
        out.append(f"Keccak-f[1600], {text}: {value:,.0f} per permutation (at most 3,500): "
                   f"{'met' if value <= 3500 else 'MISSED'}")
    ctor = ir["EvmErrorDecoder()|kestrix"] - ir["loop"]
    out.append(f"EvmErrorDecoder(): {ctor:,.0f} (at most 250,000): "
               f"{'met' if ctor <= 250_000 else 'MISSED'}")
    single = ir["decode_error (3 words)|kestrix"]
    bound = 1.1 * (ctor + ir["ERC20InsufficientBalance (3 words)|kestrix"])
    out.append(f"decode_error: {single:,.0f} against constructor + decode + 10 % = {bound:,.0f}: "
               f"{'met' if single <= bound else 'MISSED'}")
    mb = 1 << 20
    if f"payload unknown|{mb}" in ir:
        value = ir[f"payload unknown|{mb}"] / ir[f"payload bytes.fromhex|{mb}"]
        out.append(f"1 MB unknown payload: {value:.2f}x bytes.fromhex (at most 2x): "
                   f"{'met' if value <= 2 else 'MISSED'}")
    for kind, fixed in (("unknown", "unknown selector"), ("revert_string", "Error(string) 32 chars")):
        # The cost of a small call of the same kind is paid once per call, whatever the size.
        base = ir[f"{fixed}|kestrix"] - ir["loop"]
        per_byte = [(ir[f"payload {kind}|{s}"] - base) / s for s in SIZES
                    if f"payload {kind}|{s}" in ir]
        spread = max(per_byte) / min(per_byte)
        out.append(f"{kind} payloads {SIZE_NAMES[SIZES[0]]}..{SIZE_NAMES[SIZES[len(per_byte) - 1]]}:"
                   f" per-byte cost beyond a small call's varies {100 * (spread - 1):.0f} % (at most 20 %): "
                   f"{'met' if spread <= 1.2 else 'MISSED'}")
    worst = max(data["peak_memory"].values())
    out.append(f"peak memory: at most {worst:.2f}x the input text (at most 2.5x): "
               f"{'met' if worst <= 2.5 else 'MISSED'}")
    return out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer rounds, smaller payloads")
    parser.add_argument("--write", type=Path, help="write the Markdown table here")
    parser.add_argument("--json", type=Path, help="write the raw numbers here")
    parser.add_argument("--driver", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--peak-child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.driver:
        callgrind_driver(args.quick)
        return
    if args.peak_child:
        peak_memory_child(args.peak_child[0], int(args.peak_child[1]))
        return

    import kestrix
    if Path(kestrix.__file__).resolve().is_relative_to(ROOT / "src"):
        sys.exit("kestrix must be the installed package, not the source tree")
    build_minimal()
    check_same_results()
    data: dict[str, Any] = {"machine": machine()}
    print("timings ...", file=sys.stderr)
    data["timings"] = timings(args.quick)
    data["payload_timings"] = payload_timings(args.quick)
    print("instruction counts (callgrind) ...", file=sys.stderr)
    data["instructions"] = run_callgrind(args.quick)
    data["keccak"] = keccak_instructions()
    print("peak memory ...", file=sys.stderr)
    data["peak_memory"] = peak_memory(args.quick)
    data["companion"] = companion_benchmarks(args.quick)
    text = report(data)
    print(text)
    if args.write:
        args.write.write_text("# kestrix benchmark results\n\n"
                              "Produced by `bash bench/run.sh` (see bench/run.py).\n\n" + text)
    if args.json:
        flat = dict(data)
        flat["timings"] = {f"{g}|{l}": v for (g, l), v in data["timings"].items()}
        flat["payload_timings"] = {f"{k}|{s}": v for (k, s), v in data["payload_timings"].items()}
        args.json.write_text(json.dumps(flat, indent=1))


if __name__ == "__main__":
    main()
