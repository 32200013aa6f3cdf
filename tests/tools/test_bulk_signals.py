"""The bulk command stopped from outside: Ctrl-C, SIGTERM and kill -9 of a real run."""

from __future__ import annotations

import os
import signal
import subprocess
import sysconfig
import time
from pathlib import Path

import pytest

pytest.importorskip("pyarrow")

KESTRIX = os.path.join(sysconfig.get_path("scripts"), "kestrix")
ROW = '{"tx": "0xa1", "revert_data": "0x08c379a0' + "0" * 62 + "20" + "0" * 62 + '04' + "41" * 4 + "0" * 56 + '"}\n'


@pytest.fixture(scope="module")
def big_input(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("signals") / "in.jsonl"
    path.write_text(ROW * 1_500_000)  # long enough to be stopped mid-run on any machine
    return path


def started(tmp_path: Path, big_input: Path, output: str) -> subprocess.Popen[str]:
    run = subprocess.Popen([KESTRIX, "--input", str(big_input), "--output", str(tmp_path / output), "--jobs", "2"],
                           stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not list(tmp_path.glob("*.partial*")):  # the output has begun
        assert run.poll() is None and time.monotonic() < deadline, run.stderr and run.stderr.read()
        time.sleep(0.02)
    return run


@pytest.mark.parametrize(("sent", "status", "word"), [(signal.SIGINT, 130, "interrupted"),
                                                      (signal.SIGTERM, 143, "terminated")])
def test_a_signal_stops_the_run_quickly_and_removes_the_partial_output(
        tmp_path: Path, big_input: Path, sent: signal.Signals, status: int, word: str) -> None:
    run = started(tmp_path, big_input, "out.parquet")
    run.send_signal(sent)
    sent_at = time.monotonic()
    _, err = run.communicate(timeout=30)
    assert time.monotonic() - sent_at < 5  # a second or two on an idle machine
    assert run.returncode == status
    assert err.strip().splitlines()[-1:] == [f"kestrix: {word}; {tmp_path / 'out.parquet'} not written"]
    assert "Traceback" not in err
    assert list(tmp_path.iterdir()) == []


def test_kill_9_leaves_no_process_behind(tmp_path: Path, big_input: Path) -> None:
    run = started(tmp_path, big_input, "out.csv")
    spawned: list[str] = []
    for task in Path(f"/proc/{run.pid}/task").glob("*"):
        try:  # a thread may end between the listing and the read
            spawned += (task / "children").read_text().split()
        except FileNotFoundError:
            pass
    run.kill()
    run.wait(timeout=30)
    assert spawned == []  # decoding runs on threads of the command itself: nothing can outlive it
