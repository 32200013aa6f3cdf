"""Failure paths release what they made: allocation failures at every step, reference leaks
over many calls, and the type stubs as type checkers see them."""

import gc
import importlib.util
import subprocess
import sys
import textwrap

import pytest

import kestrix
from kestrix import EvmErrorDecoder, decode_error, panic_meaning

PANIC_11 = "0x4e487b71" + "11".zfill(64)
REASON = "0x08c379a0" + (32).to_bytes(32, "big").hex() + (5).to_bytes(32, "big").hex() + b"hello".hex().ljust(64, "0")


def run_isolated(code):
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=300)


# The sweep: make the n-th Python allocation fail, once with every later one failing too and
# once alone, for n = 0, 1, ... until the call succeeds untouched. Every attempt must end with
# the normal result or exactly one allowed exception. The module's callables are called
# directly from `attempt`: CPython 3.11 itself may lose an exception that leaves a Python frame
# while allocations fail, and `except ... as` clean-up code allocates too.
SWEEP = """
    import _testcapi, sys

    def attempt(call, args, kwargs, start, stop):
        _testcapi.set_nomemory(start, stop)
        try:
            result = call(*args, **kwargs)
        except BaseException:
            _testcapi.remove_mem_hooks()
            return None, sys.exc_info()[1]
        _testcapi.remove_mem_hooks()
        return result, None

    def check(name, n, error, allowed, expected=None):
        # Reading the type's name may fail too; the message then says so.
        if type(error) is TypeError and "'<failed to extract type name>' object" in str(error):
            return "TypeError"
        # CPython raises its own TypeError without a message when it cannot format one; the
        # module still adds its prefix.
        if expected and expected[0] == "error" and type(error) is expected[1]:
            if str(error) == expected[2].split(": ")[0] + ": ":
                return type(error).__name__
        if not isinstance(error, allowed):
            raise AssertionError(f"{name}: n={n} raised {error!r}") from error
        if isinstance(error, RuntimeError):
            assert str(error) == "An error occurred while initializing class EvmErrorDecoder"
            assert isinstance(error.__cause__, MemoryError)
        return type(error).__name__

    def outcome(result, error):
        if error is not None:
            return ("error", type(error), str(error))
        return ("result", repr(result) if type(result).__name__ == "EvmErrorDecoder" else result)

    def sweep(name, allowed, call, *args, **kwargs):
        # The untouched call may itself raise: that exception is then its normal outcome.
        expected = outcome(*attempt(call, args, kwargs, 10**9, 0))
        seen = set()
        for n in range(100000):
            result, error = attempt(call, args, kwargs, n, 0)
            if outcome(result, error) == expected:
                break
            seen.add(check(name, n, error, allowed, expected))
        for single in range(n):
            result, error = attempt(call, args, kwargs, single, single + 1)
            if outcome(result, error) != expected:
                seen.add(check(name, single, error, allowed, expected))
        print(name, n, *sorted(seen))
"""


def test_allocation_failures_in_every_entry_point():
    process = run_isolated(SWEEP + """
    from kestrix import EvmErrorDecoder, decode_error, panic_meaning
    decoder = EvmErrorDecoder()
    d = {}
    d.update(a=type("Grow", (), {"__str__": lambda s: d.update(x=1) or "x"})(), b=1)
    try:
        decoder.decode_with_context("0x", d)
    except BaseException:
        internal = sys.exc_info()[0]
    assert not issubclass(internal, Exception)

    failures = (MemoryError, internal)
    sys.unraisablehook = lambda report: None

    class Unprintable:
        def __str__(self):
            raise RuntimeError("no")

    sweep("new", failures, EvmErrorDecoder)
    sweep("decode-empty", failures, decoder.decode, "0x")
    sweep("decode-raw", failures, decoder.decode, "0xdeadbeef00")
    sweep("decode-panic", failures, decoder.decode, %r)
    sweep("decode-reason", failures, decoder.decode, %r)
    sweep("decode-kw", failures, decoder.decode, data="0x01")
    sweep("decode-context", failures, decoder.decode_with_context,
          "0x01", {"chain": "c", "b": 5, "u": Unprintable(), "s": "\\ud800"})
    sweep("decode_error", failures, decode_error, "0x01020304")
    sweep("panic_meaning", failures, panic_meaning, 0x11)
    sweep("bad-hex", failures, decoder.decode, "0xzz")
    sweep("bad-arg", failures, decoder.decode, b"")
    sweep("bad-kw", failures, decode_error, data="0x", x=1)
    sweep("bad-code", failures, panic_meaning, "1")
    sweep("bad-key", failures, decoder.decode_with_context, "0x", {1: 1})
    sweep("bad-block", failures, decoder.decode_with_context, "0x", {"block_number": "z"})
    sweep("bad-new", failures, EvmErrorDecoder, 1)
    """ % (PANIC_11, REASON))
    assert process.returncode == 0, process.stdout + process.stderr
    assert "Fatal Python error" not in process.stderr
    lines = process.stdout.splitlines()
    assert len(lines) == 16, process.stdout
    # Failing to make a result value is reported as an internal failure after printing it.
    assert any("decode-raw" in line and "InternalError" in line for line in lines), process.stdout
    assert "Python API call failed" in process.stderr


@pytest.mark.parametrize("single", [False, True])
def test_allocation_failures_during_initialisation(single):
    process = run_isolated(SWEEP + """
    import _imp, importlib.util
    spec = importlib.util.find_spec("kestrix")
    seen = set()
    for n in range(100000):
        module, error = attempt(_imp.create_dynamic, (spec,), {}, n, n + 1 if %r else 0)
        if error is None:
            break
        seen.add(check("init", n, error, (MemoryError, RuntimeError)))
    # A failed initialisation left nothing behind: the module is complete, and it is the one
    # every later import gets.
    assert module.__all__ == ["EvmErrorDecoder", "decode_error", "panic_meaning"], module.__all__
    assert [name for name in vars(module) if not name.startswith("__")] == module.__all__
    assert module.EvmErrorDecoder().decode("0x")["kind"] == "empty"
    assert _imp.create_dynamic(spec) is module
    print(n, *sorted(seen))
    """ % single)
    assert process.returncode == 0, process.stdout + process.stderr
    attempts, *seen = process.stdout.split()
    assert int(attempts) > 0
    # Only a single failure leaves memory to make the RuntimeError that wraps CPython's error.
    assert seen == (["MemoryError", "RuntimeError"] if single else ["MemoryError"])


def test_memory_stays_flat_over_many_calls(capsys, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    decoder = EvmErrorDecoder()

    class Unprintable:
        def __str__(self):
            raise RuntimeError("no")

    def grow_context():
        context = {}

        class Grow:
            def __str__(self):
                context["x"] = 1
                return "x"

        context.update(a=Grow(), b=1)
        return context

    calls = [
        lambda: EvmErrorDecoder(),
        lambda: decoder.decode(""),
        lambda: decoder.decode("0xdeadbeef0011"),
        lambda: decoder.decode(PANIC_11),
        lambda: decoder.decode(REASON),
        lambda: decoder.decode_with_context("0x01", {"chain": "c", "block_number": 7, "u": Unprintable(),
                                                     "s": "\ud800"}),
        lambda: decode_error("0x0102"),
        lambda: panic_meaning(2**64 - 1),
        lambda: EvmErrorDecoder(1),
        lambda: EvmErrorDecoder(x=1),
        lambda: decoder.decode(),
        lambda: decoder.decode("0x", data="0x"),
        lambda: decoder.decode(b"0x"),
        lambda: decoder.decode("0xzz"),
        lambda: decoder.decode("\ud800"),
        lambda: decoder.decode_with_context("0x", []),
        lambda: decoder.decode_with_context("0x", {1: 1}),
        lambda: decoder.decode_with_context("0x", {"block_number": "abc"}),
        lambda: decoder.decode_with_context("0x", grow_context()),
        lambda: decode_error(data=1),
        lambda: panic_meaning(-1),
        lambda: panic_meaning(1.5),
        lambda: panic_meaning(code=1, extra=2),
    ]

    def run(rounds):
        for _ in range(rounds):
            for call in calls:
                try:
                    call()
                except BaseException:
                    pass

    run(100)
    gc.collect()
    before = sys.getallocatedblocks()
    run(2000)
    gc.collect()
    after = sys.getallocatedblocks()
    capsys.readouterr()
    assert after - before < 50, (before, after)


def test_stubs_type_check_and_match_the_module(tmp_path):
    pytest.importorskip("mypy")
    snippet = tmp_path / "use_kestrix.py"
    snippet.write_text(textwrap.dedent("""
        from typing import TYPE_CHECKING
        import kestrix
        if TYPE_CHECKING:
            from kestrix import DecodeResult

        decoder = kestrix.EvmErrorDecoder()
        result: "DecodeResult" = decoder.decode("0x")
        code: int | None = result["panic_code"]
        confidence: float = result["confidence"]
        other = decoder.decode_with_context("0x", {"chain": "x", "block_number": 1})
        meaning: str = kestrix.panic_meaning(0x11) + kestrix.decode_error("")["kind"]
        wrong: int = result["kind"]
        kestrix.panic_meaning("1")
        result["missing"]
    """))
    checked = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict", snippet.name],
                             cwd=tmp_path, capture_output=True, text=True, timeout=300)
    errors = [line for line in checked.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["13", "14", "15"], checked.stdout

    allowlist = tmp_path / "allow.txt"
    allowlist.write_text("kestrix.DecodeResult\nkestrix.ErrorKindName\n")
    stubtest = subprocess.run([sys.executable, "-m", "mypy.stubtest", "kestrix", "--allowlist", str(allowlist)],
                              cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert stubtest.returncode == 0, stubtest.stdout + stubtest.stderr
