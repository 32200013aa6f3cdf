"""The kestrix command at the terminal: human text, JSON lines, standard input, usage errors."""

from __future__ import annotations

import fcntl
import json
import os
import pty
import select
import struct
import subprocess
import sys
import sysconfig
import termios

import kestrix
import kestrix_tools
import pytest

PANIC = "0x4e487b71" + "00" * 31 + "11"
# The console script pip installed next to this interpreter (it need not be on PATH).
KESTRIX = os.path.join(sysconfig.get_path("scripts"), "kestrix")
COMMANDS = [[KESTRIX], [sys.executable, "-m", "kestrix_tools"]]


def run(*args: str, stdin: str = "", env: dict[str, str] | None = None,
        command: list[str] = COMMANDS[0]) -> subprocess.CompletedProcess[str]:
    return subprocess.run([*command, *args], input=stdin, capture_output=True, text=True, timeout=60,
                          env={**os.environ, **(env or {})})


@pytest.mark.parametrize("command", COMMANDS, ids=["script", "module"])
def test_json_is_exactly_the_result_dict(command: list[str], mix: list[str]) -> None:
    out = run("--json", *mix[:40], command=command)
    assert out.returncode == 0, out.stderr
    decoder = kestrix_tools.Decoder()
    assert [ten_keys(line) for line in out.stdout.splitlines()] == [decoder.decode(x) for x in mix[:40]]


def ten_keys(line: str) -> dict[str, object]:
    """A JSON line's result keys in order; the chain follows them."""
    found = json.loads(line)
    assert list(found)[10:] in ([], ["chain"]), list(found)
    found.pop("chain", None)
    return found


def test_human_explanations(encode_call) -> None:  # type: ignore[no-untyped-def]
    reason = encode_call("Error(string)", ["string"], ["Ownable: caller is not the owner"])
    custom = encode_call("AccessControlUnauthorizedAccount(address,bytes32)", ["address", "bytes32"],
                         ["0x5b38da6a701c568545dcfcb03fcb875f56beddc4", b"\x01" * 32])
    out = run(reason, PANIC, custom, "0xdeadbeef", "0x")
    assert out.returncode == 0 and out.stderr == ""
    blocks = out.stdout.split("\n\n")
    assert len(blocks) == 5
    expectations = [
        ["revert_string", '"Ownable: caller is not the owner"', "Only the owner may call this.",
         "0x08c379a0"],
        ["panic", "0x11", "arithmetic overflow or underflow", "0x4e487b71"],
        ["custom_error", "AccessControlUnauthorizedAccount", "account", "0x5b38da6a701c568545dcfcb03fcb875f56beddc4",
         "neededRole", "0x" + "01" * 32],
        ["raw_revert", "0xdeadbeef", "4byte.directory"],
        ["empty", "Transaction reverted with no error message."],
    ]
    for block, words in zip(blocks, expectations):
        for word in words:
            assert word in block
        assert "\x1b[" not in block
    # one argument per line, in parameter order
    lines = blocks[2].splitlines()
    assert lines.index(next(l for l in lines if "account" in l)) + 1 == lines.index(
        next(l for l in lines if "neededRole" in l))


def run_on_terminal(*args: str, env: dict[str, str]) -> str:
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # 100 columns
    process = subprocess.Popen([KESTRIX, *args], stdout=follower, stderr=follower, stdin=subprocess.DEVNULL,
                               env={k: v for k, v in {**os.environ, **env}.items() if v is not None})
    os.close(follower)
    return screen_of(leader, process)


def screen_of(leader: int, process: subprocess.Popen[bytes]) -> str:
    """Everything the process wrote to its terminal until it closed it."""
    chunks = []
    while True:
        ready, _, _ = select.select([leader], [], [], 30)
        try:
            chunk = os.read(leader, 4096) if ready else b""
        except OSError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    process.wait(30)
    os.close(leader)
    return b"".join(chunks).decode()


@pytest.mark.parametrize(("no_color", "term", "coloured"), [("", "xterm", True), ("1", "xterm", False),
                                                             ("", "dumb", False)])
def test_colour_only_on_a_terminal_without_no_color(no_color: str, term: str, coloured: bool) -> None:
    env = {"NO_COLOR": no_color, "TERM": term}
    assert ("\x1b[" in run_on_terminal(PANIC, env=env)) is coloured
    assert "\x1b[" not in run(PANIC, env=env).stdout


def test_standard_input_streams_one_json_line_per_line(mix: list[str]) -> None:
    lines = [*mix[:50], "0xzz", "", "  0x  ", "0x0", " \t ", "  0xab g"]
    out = run(stdin="\n".join(lines) + "\n")
    assert out.returncode == 1  # some lines were not hexadecimal
    decoder = kestrix_tools.Decoder()
    got = [json.loads(line) for line in out.stdout.splitlines()]
    assert [ten_keys(json.dumps(line)) for line in got[:50]] == [decoder.decode(x) for x in mix[:50]]
    # Positions count from the start of the line as given; blank lines are skipped.
    assert got[50] == {"error": "hex decode: Invalid character 'z' at position 2", "line": 51}
    assert got[51]["kind"] == "empty"  # "  0x  " is an empty revert
    assert got[52] == {"error": "hex decode: Odd number of digits", "line": 54}
    assert got[53] == {"error": "hex decode: Invalid character ' ' at position 6", "line": 56}
    assert len(got) == 54
    assert run("-", stdin=PANIC).stdout == run(stdin=PANIC + "\r\n").stdout


def test_standard_input_bytes_order_mark_and_text_that_is_not_utf8() -> None:
    out = subprocess.run([KESTRIX], input=b"\xef\xbb\xbf" + PANIC.encode() + b"\n0x\xff\xfe\n0x\n",
                         capture_output=True, timeout=60)
    first, second, third = (json.loads(line) for line in out.stdout.decode().splitlines())
    assert first["kind"] == "panic" and third["kind"] == "empty"
    assert second == {"error": "not UTF-8 text (byte 0xff at position 2)", "line": 2}
    assert out.returncode == 1


def test_version_and_a_closed_pipe() -> None:
    import importlib.metadata

    out = run("--version")
    assert (out.returncode, out.stdout) == (0, f"kestrix {importlib.metadata.version('kestrix-evm')}\n")
    # The reader stops after one line: the command ends quietly, with status 0.
    script = 'printf "0x\\n%.0s" $(seq 200000) | "$0" | head -1 >/dev/null; echo "${PIPESTATUS[1]}"'
    piped = subprocess.run(["bash", "-c", script, KESTRIX], capture_output=True, text=True, timeout=120)
    assert (piped.stdout, piped.stderr) == ("0\n", "")
    script = '"$0" --json $(printf "0x %.0s" $(seq 20000)) | head -1 >/dev/null; echo "${PIPESTATUS[0]}"'
    piped = subprocess.run(["bash", "-c", script, KESTRIX], capture_output=True, text=True, timeout=120)
    assert (piped.stdout, piped.stderr) == ("0\n", "")


def test_a_terminal_gets_a_prompt_and_human_answers() -> None:
    leader, follower = pty.openpty()
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    process = subprocess.Popen([KESTRIX], stdin=follower, stdout=follower, stderr=follower, env=env)
    os.close(follower)
    os.write(leader, PANIC.encode() + b"\n\n0xzz\n\x04")
    screen = screen_of(leader, process)
    assert screen.count("kestrix: reading revert data") == 1
    assert "arithmetic overflow or underflow" in screen and "{" not in screen
    assert "line 3: hex decode: Invalid character 'z' at position 2" in screen
    assert screen.count("kind:") == 1  # the blank line asked nothing


def test_answers_each_line_before_the_next_arrives() -> None:
    """Interactive use: with a terminal as input, each answer is flushed as its line is read."""
    leader, follower = pty.openpty()
    process = subprocess.Popen([KESTRIX], stdin=follower, stdout=subprocess.PIPE, text=True)
    os.close(follower)
    try:
        for text in [PANIC, "0xdeadbeef", "nothex"]:
            os.write(leader, text.encode() + b"\n")
            assert process.stdout is not None
            answer = json.loads(process.stdout.readline())
            assert answer.get("kind") or answer.get("error")
            assert answer.get("raw_data", text) in (text, PANIC)
    finally:
        os.write(leader, b"\x04")
        process.wait(30)
        os.close(leader)


@pytest.mark.parametrize("args", [
    ["--input", "a.csv"],
    ["--output", "a.csv"],
    ["--jobs", "2", "0x"],
    ["--column", "x"],
    ["--bogus"],
    ["--input", "a.csv", "--output", "b.csv", "0x00"],
    ["--input", "missing.csv", "--output", "b.csv"],
    ["--input", "a.txt", "--output", "b.csv"],
    ["--jobs", "many"],
    ["-", "0x"],
])
def test_usage_errors_exit_2_with_one_line(args: list[str], tmp_path: object) -> None:
    out = subprocess.run([KESTRIX, *args], capture_output=True, text=True, timeout=60, cwd=str(tmp_path))
    assert out.returncode == 2
    assert out.stdout == ""
    assert len(out.stderr.splitlines()) == 1 and out.stderr.startswith("kestrix: error: ")


def test_help_shows_examples() -> None:
    out = run("--help")
    assert out.returncode == 0
    assert "examples:" in out.stdout and "--input" in out.stdout and "NO_COLOR" in out.stdout


def test_bad_arguments_are_reported_and_the_rest_decoded() -> None:
    out = run("0xzz", PANIC)
    assert out.returncode == 1
    assert "panic" in out.stdout and "argument 1: hex decode: Invalid character 'z' at position 2" in out.stderr
    out = run("--json", "0x0", PANIC)
    first, second = (json.loads(line) for line in out.stdout.splitlines())
    assert first == {"error": "hex decode: Odd number of digits", "argument": 1}
    assert second["kind"] == "panic"


def test_own_errors_from_signatures_and_abi_files(tmp_path: object, encode_call) -> None:  # type: ignore[no-untyped-def]
    from pathlib import Path

    abi = [{"type": "error", "name": "Slippage", "inputs": [{"name": "wanted", "type": "uint256"}]}]
    path = Path(str(tmp_path)) / "Pool.json"
    path.write_text(json.dumps(abi))
    slippage = encode_call("Slippage(uint256)", ["uint256"], [7])
    paused = encode_call("Paused(address)", ["address"], ["0x" + "ab" * 20])
    out = run("--abi", str(path), "--sig", "error Paused(address by)", slippage, paused)
    assert out.returncode == 0, out.stderr
    first, second = out.stdout.split("\n\n")
    assert "Slippage" in first and "wanted" in first and "7" in first
    assert "Paused" in second and "by" in second and "0x" + "ab" * 20 in second
    out = run("--json", "--sig", "Slippage(uint256)", slippage)
    assert json.loads(out.stdout)["error_name"] == "Slippage"
    bad = run("--sig", "error Broken(uint7)", "0x")
    assert bad.returncode == 2 and len(bad.stderr.splitlines()) == 1 and "Broken" in bad.stderr
    missing = run("--abi", str(path) + ".missing", "0x")
    assert missing.returncode == 2 and len(missing.stderr.splitlines()) == 1


def test_bulk_progress_bar_on_a_terminal(tmp_path: object) -> None:
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    pytest.importorskip("pyarrow.csv")
    pytest.importorskip("tqdm")
    source, target = f"{tmp_path}/in.parquet", f"{tmp_path}/out.parquet"
    pq.write_table(pa.table({"revert_data": [PANIC] * 500}), source)
    shown = run_on_terminal("--input", source, "--output", target, env={})
    assert "500/500" in shown and "rows/s" in shown
    assert "kestrix: 500 rows: panic 500; 0 errors" in shown
    quiet = run("--input", source, "--output", target, "--force")  # not a terminal: the summary line only
    assert quiet.stderr.count("\n") == 1 and quiet.stderr.startswith("kestrix: 500 rows: panic 500; 0 errors")
    # Text files count bytes read, so they show a percentage and the time left too.
    pa.csv.write_csv(pa.table({"revert_data": [PANIC] * 500}), f"{tmp_path}/in.csv")
    shown = run_on_terminal("--input", f"{tmp_path}/in.csv", "--output", f"{tmp_path}/out.jsonl", env={})
    assert "100%" in shown and "<00:00" in shown and "kestrix: 500 rows: panic 500" in shown


def test_hints_and_names_cannot_drive_the_terminal() -> None:
    from kestrix_tools.cli import human_text

    result = {**kestrix.EvmErrorDecoder().decode("0x"), "kind": "custom_error", "error_name": "Bad\x1b]0;x\x07",
              "inputs": '[["who\\u001b[2J",{"type":"str","value":"\\u001b[31m"}]]', "suggestion": "fix\x1b[31m it\n"}
    text = human_text(result)  # type: ignore[arg-type]
    assert "\x1b" not in text and "\x07" not in text
    assert "Bad\\x1b]0;x\\x07" in text and "who\\x1b[2J" in text and "fix\\x1b[31m it\\n" in text


def test_wrapped_revert_shows_each_layer_under_the_one_that_carries_it(encode_call) -> None:  # type: ignore[no-untyped-def]
    reason = bytes.fromhex(encode_call("Error(string)", ["string"], ["STF"])[2:])
    wrapped = encode_call("WrappedError(address,bytes4,bytes,bytes)", ["address", "bytes4", "bytes", "bytes"],
                          ["0x" + "ab" * 20, b"\x12\x34\x56\x78", reason, b""])
    outer = encode_call("ExecutionFailed(uint256,bytes)", ["uint256", "bytes"], [2, bytes.fromhex(wrapped[2:])])
    text = run(outer).stdout
    assert text.index("ExecutionFailed") < text.index("caused by:") < text.index("WrappedError")
    assert "\n    call:     contract 0x" + "ab" * 20 + " function 0x12345678\n" in text
    assert '\n    reason:   "STF"\n' in text
    line = json.loads(run("--json", outer).stdout)
    assert [layer["error_name"] or layer["kind"] for layer in line["chain"]] == [
        "ExecutionFailed", "WrappedError", "revert_string"]
    assert line["chain"][0]["context"] == {"command_index": 2} and line["chain"][2]["target"] == "0x" + "ab" * 20


# Characters that change how the text around them displays: bidirectional controls, zero-width
# characters, line and paragraph separators, other format characters, DEL and C1 controls,
# a tag character, a private-use one and a lone surrogate.
DISPLAY_CHANGING = ("\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069\u200e\u200f\u061c\u200b\u200c"
                    "\u200d\u2060\ufeff\u2028\u2029\u00ad\u0600\x7f\x85\x9b\U000e0041\ue000\x1b\x07\x00\ud800")


def test_printable_escapes_every_character_that_changes_the_display() -> None:
    from kestrix_tools._display import printable

    for char in DISPLAY_CHANGING:
        shown = printable(f"a{char}b")
        assert shown.isprintable() and shown.isascii(), repr(char)
        assert shown.encode().decode("unicode_escape") == f"a{char}b"
    for fine in ("", "plain", "é∂ 中文 עברית العربية", "e\u0301", "tab\\t stays a backslash"):
        assert printable(fine) == fine


def test_nothing_the_command_prints_changes_the_display(tmp_path, encode_call) -> None:  # type: ignore[no-untyped-def]
    from kestrix_tools import Decoder

    spoof = "a\u202eb\u2066c\u200bd\u2028e\x85f"
    param = "note" + spoof
    abi = [{"type": "error", "name": "Spoof", "inputs": [{"name": param, "type": "string"},
                                                          {"name": "pair", "type": "tuple", "components": [
                                                              {"name": param, "type": "string"}]}]}]
    artifact = tmp_path / "Spoof.json"
    artifact.write_text(json.dumps({"abi": abi, "userdoc": {"errors": {"Spoof(string,(string))": [{"notice": spoof}]}}}))
    custom = encode_call("Spoof(string,(string))", ["string", "(string)"], [spoof, (spoof,)])
    reason = encode_call("Error(string)", ["string"], [spoof])
    bad = "0x12" + spoof
    decoder = Decoder(paths=[artifact])
    for args in ([], ["--json"]):
        out = run("--abi", str(artifact), *args, custom, reason, bad)
        assert out.returncode == 1, out.stderr
        shown = out.stdout + out.stderr
        assert not any(char in shown for char in DISPLAY_CHANGING), (args, shown)
        assert "\\u202e" in shown
        if args:  # the JSON lines still hold exactly the values
            lines = [json.loads(line) for line in out.stdout.splitlines()]
            assert [dict(list(line.items())[:10]) for line in lines[:2]] == [decoder.decode(custom), decoder.decode(reason)]
    named = tmp_path / f"bad{spoof}.json"
    named.write_text("not json")
    out = run("--abi", str(named), PANIC)
    assert out.returncode == 2 and "bad" in out.stderr
    assert not any(char in out.stderr for char in DISPLAY_CHANGING), out.stderr


def test_a_stray_file_under_abi_is_one_warning_line_or_refused_with_strict(tmp_path: object) -> None:
    import pathlib

    folder = pathlib.Path(str(tmp_path))
    (folder / "Vault.json").write_text(json.dumps([{"type": "error", "name": "Paused", "inputs": []}]))
    (folder / "settings.json").write_text('{\n  // comments are not JSON\n}\n')
    out = run("--abi", str(folder), "0x9e87fac8")
    assert out.returncode == 0 and "Paused" in out.stdout
    assert out.stderr.startswith("kestrix: warning: skipped 1 file") and len(out.stderr.splitlines()) == 1
    strict = run("--strict", "--abi", str(folder), "0x9e87fac8")
    assert strict.returncode == 2 and "settings.json: not valid JSON" in strict.stderr
