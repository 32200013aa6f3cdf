"""The ``kestrix`` command: explain revert data at the terminal, stream it, or decode whole files."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import signal
import sys
import threading
import time
import warnings
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import IO, Any, NoReturn

from kestrix_tools._display import printable, printable_json
from kestrix_tools._explanation import explain_data
from kestrix_tools._render import human_text, json_object
from kestrix_tools.decoder import DecoderSources, SupportsDecode, build_decoder
from kestrix_tools.files import check_paths, decode_file, default_jobs, progress_total

__all__ = ["human_text", "main"]

#: Blocks of this many bytes or more are mapped on their own during a bulk run (glibc).
MMAP_THRESHOLD = 128 << 10

_EXAMPLES = """\
examples:
  kestrix 0x4e487b710000000000000000000000000000000000000000000000000000000000000011
  kestrix --json 0x08c379a0... 0xdeadbeef
  cat reverts.txt | kestrix > results.jsonl        one hex text per line in, one JSON line out
  kestrix --abi out/ --sig 'error Paused(address by)' 0x...
  kestrix --input failed.parquet --output explained.parquet --column revert_data --jobs 8
  kestrix tx HASH --rpc URL | kestrix call --to ... | kestrix trace FILE     (see kestrix tx --help)

Exit status: 0 when everything decoded, 1 when some input was not hexadecimal (its line or
argument carries an "error" key), 2 for a usage error. Colour only on a terminal, never with
NO_COLOR set or TERM=dumb.
"""


class _Parser(argparse.ArgumentParser):
    """argparse with usage errors on one line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {printable(message)}\n")


def _parser() -> _Parser:
    parser = _Parser(
        prog="kestrix",
        description="Explain why an EVM call reverted, from its revert data (hexadecimal, \"0x\" optional).",
        epilog=_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("data", nargs="*", help='revert data to explain; none or "-" reads standard input')
    parser.add_argument("--version", action="version", version=f"kestrix {_version()}")
    parser.add_argument("--json", action="store_true", help="print each result dict as one JSON line")
    parser.add_argument("--abi", action="append", default=[], metavar="PATH",
                        help="ABI, Foundry/Hardhat artifact, or a folder of them (repeatable)")
    parser.add_argument("--sig", action="append", default=[], metavar="TEXT",
                        help="an error signature, e.g. 'InsufficientShares(uint256 needed)' (repeatable)")
    parser.add_argument("--strict", action="store_true",
                        help="refuse a *.json file under an --abi folder that is not JSON, instead of skipping it")
    parser.add_argument("--no-known", action="store_true",
                        help="leave out the well-known protocols' errors and reason-code tables")
    parser.add_argument("--signature-db", metavar="PATH",
                        help="signature database: a text file of one signature per line, or a folder of one "
                             "file per selector as ethereum-lists/4bytes lays it out")
    bulk = parser.add_argument_group("bulk files (.jsonl, .csv, .tsv, also .gz/.zst; .parquet; in: .json, Parquet folders)")
    bulk.add_argument("--input", metavar="FILE", help="file of rows holding revert data")
    bulk.add_argument("--output", metavar="FILE", help="file to write: the rows plus the result columns")
    bulk.add_argument("--column", metavar="NAME",
                      help='column with the revert data (default: the only column, else "revert_data")')
    bulk.add_argument("--jobs", type=int, metavar="N", help=f"threads at work (default: {default_jobs()}, one per CPU)")
    bulk.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    bulk.add_argument("--force", action="store_true", help="replace the output file if it exists")
    bulk.add_argument("--drop-raw", action="store_true",
                      help="leave out raw_data, which repeats the input column")
    return parser


def _version() -> str:
    from kestrix_tools import __version__

    return __version__


def _use_colour(stream: IO[str]) -> bool:
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    return bool(getattr(stream, "isatty", lambda: False)())


# ---- Modes ----


_POSITION = re.compile(r"(at position )(\d+)")


def _from_start(message: str, given: str) -> str:
    """The decoder's message with its position counted from the start of the text as given:
    the decoder counts from after the spaces around it and its "0x"."""
    text = given.lstrip()
    offset = len(given) - len(text) + (2 if text.startswith("0x") else 0)
    return _POSITION.sub(lambda m: m.group(1) + str(int(m.group(2)) + offset), message, count=1)


def _json_line(value: Any) -> str:
    return printable_json(json.dumps(value, ensure_ascii=False, separators=(",", ":"))) + "\n"


def _decode_arguments(decoder: SupportsDecode, data: Sequence[str], as_json: bool) -> int:
    status = 0
    colour = _use_colour(sys.stdout)
    for number, text in enumerate(data, 1):
        try:
            explanation = explain_data(decoder, text)
        except (ValueError, UnicodeError) as error:
            status = 1
            message = _from_start(str(error), text)
            if as_json:
                sys.stdout.write(_json_line({"error": message, "argument": number}))
            else:
                print(f"kestrix: argument {number}: {printable(message)}", file=sys.stderr)
            continue
        if as_json:
            sys.stdout.write(_json_line(json_object(explanation)))
        else:
            if number > 1:
                sys.stdout.write("\n")
            sys.stdout.write(human_text(explanation, colour) + "\n")
    return status


def _stream(decoder: SupportsDecode, lines: Iterable[bytes], out: IO[str], interactive: bool,
            human: bool = False) -> int:
    """One answer per line in, in order; nothing is kept between lines. Blank lines are
    skipped. Answers are JSON lines, or human text (errors on standard error) when ``human``."""
    status = 0
    colour = human and _use_colour(out)
    answered = False
    for number, raw in enumerate(lines, 1):
        if number == 1 and raw.startswith(b"\xef\xbb\xbf"):  # a UTF-8 byte order mark
            raw = raw[3:]
        explanation = None
        try:
            given = raw.decode("utf-8").rstrip("\r\n")
        except UnicodeDecodeError as error:
            answer: Any = {"error": f"not UTF-8 text (byte 0x{raw[error.start]:02x} at position {error.start})"}
        else:
            text = given.strip()
            if not text:
                continue
            try:
                explanation = explain_data(decoder, text)
            except ValueError as error:
                answer = {"error": _from_start(str(error), given)}
        if explanation is None:
            status = 1
            answer["line"] = number
            if human:
                out.flush()
                print(f"kestrix: line {number}: {printable(answer['error'])}", file=sys.stderr, flush=True)
            else:
                out.write(_json_line(answer))
        elif human:
            out.write(("\n" if answered else "") + human_text(explanation, colour) + "\n")
            answered = True
        else:
            out.write(_json_line(json_object(explanation)))
        if interactive:
            out.flush()
    return status


def _progress_bar(input_path: str, enabled: bool) -> Any:
    """A bar with percent and time left: rows of Parquet, bytes read of other files."""
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    total, unit = progress_total(input_path)
    if unit == "bytes":
        return tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr, dynamic_ncols=True)
    return tqdm(total=total, unit=" rows", unit_scale=True, file=sys.stderr, dynamic_ncols=True)


class _Terminated(KeyboardInterrupt):
    """SIGTERM, handled as Ctrl-C is: the run stops and its partial output is removed."""


def _on_sigterm(signum: int, frame: Any) -> None:
    raise _Terminated


@contextlib.contextmanager
def _arrow_for_the_command() -> Iterator[None]:
    """Runs a bulk decode in a process set up for it (this process is the command's own):

    - glibc's allocator maps large blocks on their own from the start: its threshold otherwise
      moves up as large blocks are freed, after which a long run's buffers come from per-thread
      heaps whose free memory is never given back (peak memory grew by a fifth from 10^5 to
      10^7 rows);
    - where this process has not loaded pyarrow yet, pyarrow loads without NumPy: no bulk run
      uses it, NumPy is optional to pyarrow (from version 16), and loading it would take a third
      of the command's start and a BLAS thread per core (afterwards NumPy imports as usual);
    - and Arrow's memory comes from jemalloc where pyarrow has it, else from the system's
      allocator (unless ARROW_DEFAULT_MEMORY_POOL says otherwise): pyarrow's default, mimalloc,
      keeps the pages it frees, which adds a quarter to the command's memory.
    """
    from kestrix_tools import _native

    _native.fix_mmap_threshold(MMAP_THRESHOLD)
    if "numpy" in sys.modules or "pyarrow" in sys.modules:
        yield
        return
    pool = None if "ARROW_DEFAULT_MEMORY_POOL" in os.environ else _arrow_pool()
    if pool is not None:
        os.environ["ARROW_DEFAULT_MEMORY_POOL"] = pool
    sys.modules["numpy"] = None  # type: ignore[assignment]  # `import numpy` fails while set
    try:
        yield
    finally:
        if "numpy" in sys.modules and sys.modules["numpy"] is None:
            del sys.modules["numpy"]
        if pool is not None:
            os.environ.pop("ARROW_DEFAULT_MEMORY_POOL", None)


def _arrow_pool() -> str:
    """jemalloc if pyarrow was built with it (its build configuration says so), else "system":
    Arrow warns on every run that names a pool it lacks."""
    import importlib.util

    found = importlib.util.find_spec("pyarrow")
    for folder in (found.submodule_search_locations or []) if found is not None else []:
        try:
            config = (Path(folder) / "include" / "arrow" / "util" / "config.h").read_text()
        except OSError:
            continue
        return "jemalloc" if re.search(r"^#define ARROW_JEMALLOC$", config, re.MULTILINE) else "system"
    return "system"


def _bulk(args: argparse.Namespace, sources: DecoderSources) -> int:
    check_paths(args.input, args.output, args.force)  # refused before anything is decoded
    bar = _progress_bar(args.input, not args.no_progress and sys.stderr.isatty())
    update = None
    if bar is not None:
        by_bytes = bar.unit == "B"

        def update(rows: int, position: int) -> None:
            bar.update(position - bar.n if by_bytes else rows)

    started = time.perf_counter()
    previous = signal.signal(signal.SIGTERM, _on_sigterm) if threading.current_thread() is threading.main_thread() \
        else None
    try:
        summary = decode_file(args.input, args.output, column=args.column, jobs=args.jobs, decoder=sources,
                              progress=update, force=args.force, drop_raw=args.drop_raw)
    except KeyboardInterrupt as stop:
        if bar is not None:
            bar.close()
        what = "terminated" if isinstance(stop, _Terminated) else "interrupted"
        print(f"kestrix: {what}; {args.output} not written", file=sys.stderr)
        return 143 if isinstance(stop, _Terminated) else 130
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
        if bar is not None:
            bar.close()
    elapsed = time.perf_counter() - started
    rate = summary.rows / elapsed if elapsed > 0 else 0.0
    print(printable(f"kestrix: {summary.line()} ({elapsed:.1f} s, {rate:,.0f} rows/s) -> {args.output}"),
          file=sys.stderr)
    return 0


# ---- Transactions: kestrix tx / call / trace ----

_SUBCOMMANDS = ("tx", "call", "trace")

_TX_EXAMPLES = """\
examples:
  kestrix tx 0x5c50... --rpc https://node.example/KEY      or set ETH_RPC_URL
  kestrix call --to 0xA0b8... --data 0xa9059cbb... --from 0x1234... --block 19000000
  kestrix trace saved_trace.json --json                       callTracer result(s), flat traces too

Exit status: 0 when explained (a failure is an answer), 1 when it could not be (unknown or
pending transaction, a node that fails, an unreadable trace), 2 for a usage error.
"""


def _transaction_parser(command: str) -> _Parser:
    descriptions = {
        "tx": "Explain why a transaction failed: trace it on a node and find the call where the failure began.",
        "call": "Explain why a call (not sent) fails: debug_traceCall on a node, else eth_call.",
        "trace": "Explain saved callTracer results (JSON, a JSON-RPC response, or JSON Lines of them), no node.",
    }
    parser = _Parser(prog=f"kestrix {command}", description=descriptions[command], epilog=_TX_EXAMPLES,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    if command == "tx":
        parser.add_argument("hash", help="transaction hash, 0x + 64 hex digits")
    elif command == "call":
        parser.add_argument("--to", required=True, help="address called")
        parser.add_argument("--data", default="0x", help="calldata, hexadecimal")
        parser.add_argument("--from", dest="sender", metavar="ADDRESS", help="caller")
        parser.add_argument("--value", type=_value_argument, help="wei sent (decimal or 0x-hex)")
        parser.add_argument("--block", default="latest", help="block number or tag (default: latest)")
    else:
        parser.add_argument("file", help='trace file; "-" reads standard input')
    if command != "trace":
        parser.add_argument("--rpc", metavar="URL", help="the node's HTTP(S) URL (default: $ETH_RPC_URL)")
        parser.add_argument("--timeout", type=float, default=30.0, metavar="SECONDS",
                            help="seconds to wait for each reply (default: 30)")
    parser.add_argument("--json", action="store_true", help="print one JSON object (one per trace)")
    parser.add_argument("--abi", action="append", default=[], metavar="PATH",
                        help="ABI, Foundry/Hardhat artifact, or a folder of them: errors and function names (repeatable)")
    parser.add_argument("--sig", action="append", default=[], metavar="TEXT", help="an error signature (repeatable)")
    return parser


def _value_argument(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < 2**256:
        raise argparse.ArgumentTypeError("out of range")
    return value


def _transaction_main(command: str, argv: Sequence[str]) -> int:
    from kestrix_tools._render import transaction_json, transaction_text
    from kestrix_tools._rpc import NodeError
    from kestrix_tools.transaction import FunctionNames, explain_call, explain_transaction

    parser = _transaction_parser(command)
    args = parser.parse_args(argv)
    try:
        decoder = build_decoder(DecoderSources(signatures=tuple(args.sig), paths=tuple(args.abi)))
        functions = FunctionNames(args.abi)
    except (ValueError, OSError) as error:
        parser.error(str(error))
    if command == "trace":
        return _trace_file(parser, args, decoder, functions)
    url = args.rpc or os.environ.get("ETH_RPC_URL")
    if not url:
        parser.error("no node: give --rpc URL or set ETH_RPC_URL")
    if not 0 < args.timeout <= 3600:
        parser.error("--timeout is a number of seconds, more than 0 and at most 3600")
    try:
        if command == "tx":
            explained = explain_transaction(url, args.hash, decoder, functions=functions, timeout=args.timeout)
        else:
            explained = explain_call(url, args.to, args.data, sender=args.sender, value=args.value, block=args.block,
                                     decoder=decoder, functions=functions, timeout=args.timeout)
    except NodeError as error:
        _fail(str(error), args.json)
        return 1
    except ValueError as error:
        parser.error(str(error))
    except KeyboardInterrupt:
        return 130
    if args.json:
        sys.stdout.write(_json_line(transaction_json(explained)))
    else:
        sys.stdout.write(transaction_text(explained, _use_colour(sys.stdout)) + "\n")
    return 0


def _fail(message: str, as_json: bool, **where: object) -> None:
    if as_json:
        sys.stdout.write(_json_line({"error": message, **where}))
    else:
        print(f"kestrix: {printable(message)}", file=sys.stderr)


def _trace_file(parser: _Parser, args: argparse.Namespace, decoder: SupportsDecode, functions: Any) -> int:
    if args.file == "-":
        return _explain_traces(sys.stdin.buffer, "standard input", args.json, decoder, functions)
    try:
        stream = open(args.file, "rb")
    except OSError as error:
        parser.error(f"{args.file}: {error.strerror or error}")
    with stream:
        return _explain_traces(stream, args.file, args.json, decoder, functions)


def _explain_traces(stream: IO[bytes], label: str, as_json: bool, decoder: SupportsDecode, functions: Any) -> int:
    from kestrix_tools._render import transaction_json, transaction_text
    from kestrix_tools._trace import TraceError, frames_from_any, trace_documents, transaction_from_frames

    status = 0
    colour = _use_colour(sys.stdout)
    for number, (where, trace) in enumerate(trace_documents(stream, label)):
        try:
            if isinstance(trace, TraceError):
                raise trace
            root, source = frames_from_any(trace, where, functions)
            tx_hash = trace.get("txHash") if isinstance(trace, dict) else None
            explained = transaction_from_frames(root, decoder, hash=tx_hash if isinstance(tx_hash, str) else None,
                                                source=source)
        except TraceError as error:
            status = 1
            _fail(str(error), as_json, trace=where)
            continue
        if as_json:
            sys.stdout.write(_json_line(transaction_json(explained)))
        else:
            if number:
                sys.stdout.write("\n")
            sys.stdout.write(transaction_text(explained, colour) + "\n")
    return status


def _one_line_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                      file: IO[str] | None = None, line: str | None = None) -> None:
    print(f"kestrix: warning: {printable(str(message))}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with ``argv`` (default: the process's arguments); returns the exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments and arguments[0] in _SUBCOMMANDS:
        try:
            return _transaction_main(arguments[0], arguments[1:])
        except BrokenPipeError:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 0
    parser = _parser()
    args = parser.parse_args(argv)
    bulk = args.input is not None or args.output is not None
    if bulk and (args.input is None or args.output is None):
        parser.error("--input and --output go together")
    if bulk and args.data:
        parser.error("give revert data or --input/--output, not both")
    if not bulk and (args.column is not None or args.jobs is not None or args.force or args.drop_raw):
        parser.error("--column, --jobs, --force and --drop-raw need --input and --output")
    sources = DecoderSources(signatures=tuple(args.sig), paths=tuple(args.abi), strict=args.strict,
                             known=not args.no_known, signature_db=args.signature_db)
    # A folder's skipped files are reported on one line, as the command's other messages are.
    warnings.showwarning = _one_line_warning
    try:
        if bulk:
            with _arrow_for_the_command():
                return _bulk(args, sources)
        decoder = build_decoder(sources)
    except (ValueError, OSError) as error:  # BulkError, or a definition the Decoder could not read
        parser.error(str(error))
    except KeyboardInterrupt:
        return 130
    try:
        if not args.data or args.data == ["-"]:
            if sys.stdin.isatty():
                print("kestrix: reading revert data, one per line; Ctrl-D ends (--help for more)", file=sys.stderr)
            interactive = sys.stdin.isatty() or sys.stdout.isatty()
            return _stream(decoder, sys.stdin.buffer, sys.stdout, interactive, sys.stdout.isatty() and not args.json)
        if "-" in args.data:
            parser.error('"-" (standard input) cannot be mixed with revert data arguments')
        return _decode_arguments(decoder, args.data, args.json)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, as other filters do.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
