"""The ``kestrix`` command: explain revert data at the terminal, stream it, or decode whole files."""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Iterable, Sequence
from typing import IO, TYPE_CHECKING, Any, NoReturn

from kestrix_tools._explain import SupportsDecode
from kestrix_tools._explanation import explain_data
from kestrix_tools._render import human_text, json_object
from kestrix_tools.files import DecoderSources, build_decoder, count_hint, decode_file, default_jobs

__all__ = ["human_text", "main"]

_EXAMPLES = """\
examples:
  kestrix 0x4e487b710000000000000000000000000000000000000000000000000000000000000011
  kestrix --json 0x08c379a0... 0xdeadbeef
  cat reverts.txt | kestrix > results.jsonl        one hex text per line in, one JSON line out
  kestrix --abi out/ --sig 'error Paused(address by)' 0x...
  kestrix --input failed.parquet --output explained.parquet --column revert_data --jobs 8

Exit status: 0 when everything decoded, 1 when some input was not hexadecimal (its line or
argument carries an "error" key), 2 for a usage error. Colour only on a terminal, never with
NO_COLOR set.
"""


class _Parser(argparse.ArgumentParser):
    """argparse with usage errors on one line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def _parser() -> _Parser:
    parser = _Parser(
        prog="kestrix",
        description="Explain why an EVM call reverted, from its revert data (hexadecimal, \"0x\" optional).",
        epilog=_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("data", nargs="*", help='revert data to explain; none or "-" reads standard input')
    parser.add_argument("--json", action="store_true", help="print each result dict as one JSON line")
    parser.add_argument("--abi", action="append", default=[], metavar="PATH",
                        help="ABI, Foundry/Hardhat artifact, or a folder of them (repeatable)")
    parser.add_argument("--sig", action="append", default=[], metavar="TEXT",
                        help="an error signature, e.g. 'InsufficientShares(uint256 needed)' (repeatable)")
    parser.add_argument("--no-known", action="store_true",
                        help="leave out the well-known protocols' errors and reason-code tables")
    parser.add_argument("--signature-db", metavar="PATH",
                        help="signature database: a text file of one signature per line, or a folder of one "
                             "file per selector as ethereum-lists/4bytes lays it out")
    bulk = parser.add_argument_group("bulk files (.jsonl, .csv, .parquet)")
    bulk.add_argument("--input", metavar="FILE", help="file of rows holding revert data")
    bulk.add_argument("--output", metavar="FILE", help="file to write: the rows plus the result columns")
    bulk.add_argument("--column", metavar="NAME",
                      help='column with the revert data (default: the only column, else "revert_data")')
    bulk.add_argument("--jobs", type=int, metavar="N", help=f"parallel workers (default: {default_jobs()}, one per CPU)")
    bulk.add_argument("--no-progress", action="store_true", help="no progress bar, even on a terminal")
    return parser


def _use_colour(stream: IO[str]) -> bool:
    if os.environ.get("NO_COLOR"):
        return False
    return bool(getattr(stream, "isatty", lambda: False)())


# ---- Modes ----


def _json_line(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":")) + "\n"


def _decode_arguments(decoder: SupportsDecode, data: Sequence[str], as_json: bool) -> int:
    status = 0
    colour = _use_colour(sys.stdout)
    for number, text in enumerate(data, 1):
        try:
            explanation = explain_data(decoder, text)
        except (ValueError, UnicodeError) as error:
            status = 1
            if as_json:
                sys.stdout.write(_json_line({"error": str(error), "argument": number}))
            else:
                print(f"kestrix: argument {number}: {error}", file=sys.stderr)
            continue
        if as_json:
            sys.stdout.write(_json_line(json_object(explanation)))
        else:
            if number > 1:
                sys.stdout.write("\n")
            sys.stdout.write(human_text(explanation, colour) + "\n")
    return status


def _stream(decoder: SupportsDecode, lines: Iterable[bytes], out: IO[str], interactive: bool) -> int:
    """One JSON line out per line in, in order; nothing is kept between lines."""
    status = 0
    for number, raw in enumerate(lines, 1):
        text = raw.decode("utf-8", "replace").strip()
        try:
            out.write(_json_line(json_object(explain_data(decoder, text))))
        except ValueError as error:
            status = 1
            out.write(_json_line({"error": str(error), "line": number}))
        if interactive:
            out.flush()
    return status


def _progress_bar(total: int | None, enabled: bool) -> Any:
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit=" rows", unit_scale=True, file=sys.stderr, dynamic_ncols=True)


def _bulk(args: argparse.Namespace, sources: DecoderSources) -> int:
    bar = _progress_bar(count_hint(args.input), not args.no_progress and sys.stderr.isatty())
    started = time.perf_counter()
    try:
        summary = decode_file(args.input, args.output, column=args.column, jobs=args.jobs, decoder=sources,
                              progress=bar.update if bar is not None else None)
    finally:
        if bar is not None:
            bar.close()
    elapsed = time.perf_counter() - started
    rate = summary.rows / elapsed if elapsed > 0 else 0.0
    print(f"kestrix: {summary.line()} ({elapsed:.1f} s, {rate:,.0f} rows/s) -> {args.output}", file=sys.stderr)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with ``argv`` (default: the process's arguments); returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    bulk = args.input is not None or args.output is not None
    if bulk and (args.input is None or args.output is None):
        parser.error("--input and --output go together")
    if bulk and args.data:
        parser.error("give revert data or --input/--output, not both")
    if not bulk and (args.column is not None or args.jobs is not None):
        parser.error("--column and --jobs need --input and --output")
    sources = DecoderSources(tuple(args.abi), tuple(args.sig), known=not args.no_known,
                             signature_db=args.signature_db)
    try:
        if bulk:
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
            return _stream(decoder, sys.stdin.buffer, sys.stdout, interactive)
        if "-" in args.data:
            parser.error('"-" (standard input) cannot be mixed with revert data arguments')
        return _decode_arguments(decoder, args.data, args.json)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, as other filters do.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
