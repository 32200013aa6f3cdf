"""`kestrix trace` and explain_trace on real callTracer and flat traces, and on hostile ones."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import kestrix_tools
import pytest
from hypothesis import given, settings, strategies as st
from kestrix_tools._trace import TraceError, Transaction, parse_json_deep

from trace_data import BOTH_SHAPES, META, TRACES, call_trace, flat_trace, run

# name -> (status, failing path as (type, outcome, failure), the cause's kind and message, caught frames)
EXPECTED: dict[str, tuple[str, list[tuple[str, str, str]], tuple[str, str | None] | None, int]] = {
    "revert_reason": ("failed", [("call", "reverted", "revert")],
                      ("revert_string", "Self-delegation is disallowed."), 0),
    # The constructor bubbles its inner call's revert unchanged: the inner call is the origin.
    "inner_revert_reason": ("failed", [("create", "reverted", "revert"), ("staticcall", "reverted", "revert")],
                            ("revert_string", "This called failed"), 0),
    # A throw (invalid opcode) inside a call whose caller then reverted with nothing of its own.
    "inner_throw_outer_revert": ("failed", [("call", "reverted", "revert"), ("call", "invalid", "invalid_opcode")],
                                 None, 0),
    "inner_create_oog_outer_throw": ("failed", [("call", "invalid", "invalid_jump"),
                                                ("create", "create_failed", "out_of_gas")], None, 0),
    "oog": ("failed", [("call", "out_of_gas", "out_of_gas")], None, 0),
    "throw": ("failed", [("call", "invalid", "invalid_jump")], None, 0),
    "revert": ("failed", [("call", "reverted", "revert")], ("empty", None), 0),
    # A transfer that failed inside a call that went on: caught, not blamed.
    "inner_instafail": ("succeeded", [], None, 1),
    "withlog_tx_partial_failed": ("succeeded", [], None, 1),
    "delegatecall": ("succeeded", [], None, 0),
    "deep_calls": ("succeeded", [], None, 0),
    "selfdestruct": ("succeeded", [], None, 0),
}


def summary(explained: Transaction) -> tuple[Any, ...]:
    cause = explained.cause
    return (explained.status, [(f.type, f.outcome, f.failure) for f in explained.failing_path],
            (cause.to_dict()["kind"], cause.to_dict()["message"]) if cause is not None else None,
            sum(f.outcome == "caught" for f in explained.frames))


@pytest.mark.parametrize("name", EXPECTED)
def test_real_call_traces_find_the_frame_where_the_failure_began(name: str) -> None:
    assert summary(kestrix_tools.explain_trace(call_trace(name))) == EXPECTED[name]


@pytest.mark.parametrize("name", BOTH_SHAPES)
def test_flat_traces_of_the_same_transactions_give_the_same_answer(name: str) -> None:
    nested, flat = kestrix_tools.explain_trace(call_trace(name)), kestrix_tools.explain_trace(flat_trace(name))
    assert summary(flat) == summary(nested)
    assert [f.path for f in flat.failing_path] == [f.path for f in nested.failing_path]
    assert [(f.type, f.sender, f.to, f.value, f.selector) for f in flat.frames] == \
        [(f.type, f.sender, f.to, f.value, f.selector) for f in nested.frames]
    assert (flat.source, nested.source) == ("flat trace", "trace")


def test_failed_creates_in_flat_traces_that_the_caller_survived_are_caught() -> None:
    for name in ("nested_create_inerror", "selfdestruct"):
        explained = kestrix_tools.explain_trace(flat_trace(name))
        caught = [f for f in explained.frames if f.outcome == "caught"]
        assert explained.status == "succeeded" and [(f.type, f.failure) for f in caught] == \
            [("create", "insufficient_balance")]


def test_trace_command_draws_the_failing_path_and_the_cause(capsys: pytest.CaptureFixture[str]) -> None:
    status, out, _ = run(capsys, "trace", str(TRACES / "calltracer/inner_revert_reason.json"))
    assert status == 0
    marked = [line for line in out.splitlines() if line.startswith("> ")]
    assert len(marked) == 2 and marked[-1].endswith("<- the failure began here") and "STATICCALL" in marked[-1]
    assert '"This called failed"' in out
    status, out, _ = run(capsys, "trace", str(TRACES / "calltracer/withlog_tx_partial_failed.json"))
    assert status == 0 and "caught (jumped to an invalid destination, the caller went on)" in out


def test_trace_json_names_frames_by_id_and_links_the_path(capsys: pytest.CaptureFixture[str]) -> None:
    status, out, _ = run(capsys, "trace", "--json", str(TRACES / "flat/inner_throw_outer_revert.json"))
    document = json.loads(out)
    assert status == 0 and document["status"] == "failed" and document["failure"] == "invalid_opcode"
    frames = document["frames"]
    assert document["failing_path"] == [0, 1] and document["origin"] == 1 and frames[1]["parent"] == 0
    assert frames[0]["value"] == "0xe92596fd6290000" and frames[1]["selector"] == "0xa9059cbb"
    assert document["cause"] is None and frames[1]["error"] == "invalid opcode: INVALID"
    status, out, _ = run(capsys, "trace", "--json", str(TRACES / "calltracer/revert_reason.json"))
    cause = json.loads(out)["cause"]
    assert cause["message"] == "Self-delegation is disallowed." and cause["chain"][0]["kind"] == "revert_string"


def test_json_rpc_responses_and_json_lines_of_traces(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    response = {"jsonrpc": "2.0", "id": 1, "result": call_trace("oog")}
    lines = [json.dumps(response), json.dumps(flat_trace("revert_reason")), "{not json", json.dumps([1, 2]),
             json.dumps({"jsonrpc": "2.0", "id": 2, "error": {"code": -32000, "message": "tx not found"}}),
             json.dumps(call_trace("throw"))]
    saved = tmp_path / "traces.jsonl"
    saved.write_text("\n".join(lines) + "\n")
    status, out, _ = run(capsys, "trace", "--json", str(saved))
    results = [json.loads(line) for line in out.splitlines()]
    assert status == 1 and len(results) == 6
    assert [r.get("failure") for r in results] == ["out_of_gas", "revert", None, None, None, "invalid_jump"]
    assert [r["trace"].rsplit(" ", 1)[-1] for r in results if "error" in r] == ["3", "4", "5"]
    assert "tx not found" in results[4]["error"]


@pytest.mark.parametrize(("text", "message"), [
    ("", "not valid JSON"), ("[]", "non-empty"), ('{"type": "CALL", "calls": {}}', "'calls' is an object"),
    ("\"just text\"", "trace.json line 1: a callTracer result is a JSON object, not text"), ('{"from": "0x00"}', "no frame type"),
])
def test_unreadable_trace_files_are_clear_errors(tmp_path: Path, capsys: pytest.CaptureFixture[str], text: str,
                                                 message: str) -> None:
    saved = tmp_path / "trace.json"
    saved.write_text(text)
    status, _, err = run(capsys, "trace", str(saved))
    assert status == 1 and message in err


def test_missing_file_is_a_usage_error(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    status, _, err = run(capsys, "trace", str(tmp_path / "absent.json"))
    assert status == 2 and "absent.json" in err


# ---- Hostile traces ----


def nested(depth: int) -> str:
    """JSON text of a real reverting frame (revert_reason) calling itself ``depth`` levels down."""
    frame = json.dumps(call_trace("revert_reason"))
    return (frame[:-1] + ', "calls": [') * depth + frame + "]}" * depth


def test_traces_nested_ten_thousand_deep_are_walked_without_recursion(tmp_path: Path,
                                                                      capsys: pytest.CaptureFixture[str]) -> None:
    saved = tmp_path / "deep.json"
    saved.write_text(nested(10_000))
    status, out, _ = run(capsys, "trace", "--json", str(saved))
    document = json.loads(out)
    assert status == 0 and len(document["failing_path"]) == 10_001
    assert document["frames"][-1]["depth"] == 10_000 and document["cause"]["message"] == "Self-delegation is disallowed."
    status, out, _ = run(capsys, "trace", str(saved))
    assert status == 0 and "[depth 10000]" in out and len(out) < 200_000


def test_flat_traces_two_thousand_deep() -> None:
    entry = flat_trace("revert_reason")[0]
    # Deeper than the EVM's 1024 calls; each entry's address is as long as its depth.
    entries = [{**entry, "traceAddress": [0] * depth} for depth in range(2_001)]
    explained = kestrix_tools.explain_trace(entries)
    assert len(explained.failing_path) == 2_001 and explained.origin is not None and explained.origin.depth == 2_000


@pytest.mark.parametrize(("field", "bad"), [
    ("output", "0x08c379a0zz"), ("output", "0x123"), ("input", "deadbeef"), ("from", "0x1234"),
    ("value", "-0x1"), ("gasUsed", "0x" + "f" * 65), ("error", 7),
])
def test_malformed_frames_are_refused_with_where_and_what(field: str, bad: object) -> None:
    trace = call_trace("inner_revert_reason")
    trace["calls"][1][field] = bad
    with pytest.raises(TraceError, match=f"call 1 at depth 1: '{field}'"):
        kestrix_tools.explain_trace(trace)


def test_flat_traces_out_of_order_or_repeated_are_refused() -> None:
    entries = flat_trace("delegatecall")
    with pytest.raises(TraceError, match="comes before its caller"):
        kestrix_tools.explain_trace([entries[0], entries[2], entries[1]])
    with pytest.raises(TraceError, match="appears twice"):
        kestrix_tools.explain_trace(entries + [entries[1]])


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.text() | st.floats(allow_nan=False, allow_infinity=False),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=30)


@settings(max_examples=40, deadline=None)
@given(json_values, st.integers(min_value=0, max_value=3))
def test_the_iterative_json_parser_agrees_with_the_standard_one(value: object, wrap: int) -> None:
    # Wrapped past the standard parser's depth so the iterative one runs.
    text = "[" * 1000 + json.dumps(value, indent=wrap or None) + "]" * 1000
    assert parse_json_deep(text, "t") == json.loads(text)
    for broken in (text[:-1], text + "]", text.replace("[", "{", 1), text + "x"):
        with pytest.raises(TraceError):
            parse_json_deep(broken, "t")


def test_the_readme_shows_what_kestrix_trace_prints(capsys: pytest.CaptureFixture[str]) -> None:
    readme = (TRACES.parents[3] / "README.md").read_text()
    command = "kestrix trace tests/tools/data/traces/calltracer/inner_revert_reason.json"
    shown = readme.split(command + "\n```\n\n```text\n", 1)[1].split("\n```", 1)[0]
    status, out, _ = run(capsys, "trace", str(TRACES / "calltracer/inner_revert_reason.json"))
    assert status == 0 and out.rstrip("\n") == shown


# ---- Whose failure: real traces with one field changed, to pin the rules down ----


def test_a_caller_out_of_gas_after_a_caught_failure_is_blamed_itself() -> None:
    trace = call_trace("withlog_tx_partial_failed")
    trace["error"] = "out of gas"  # the caller survived its call's invalid jump, then ran out of gas
    explained = kestrix_tools.explain_trace(trace)
    assert [(f.depth, f.failure) for f in explained.failing_path] == [(0, "out_of_gas")]
    assert explained.frames[1].outcome == "invalid"


def test_a_failed_call_followed_by_others_is_not_blamed_for_its_callers_bare_revert() -> None:
    trace = call_trace("inner_instafail")
    trace["error"] = "execution reverted"  # a bare revert, after another call that went well
    trace["calls"].append(call_trace("delegatecall")["calls"][0])
    explained = kestrix_tools.explain_trace(trace)
    assert [(f.depth, f.failure) for f in explained.failing_path] == [(0, "revert")]


def test_a_call_that_ran_no_code_is_where_a_bare_revert_began() -> None:
    # revert.json's call reverted with no data; give it a call to a code-less address first
    # (a call runs no code exactly when it uses no gas and returns nothing).
    trace = call_trace("revert")
    called = call_trace("delegatecall")["calls"][0]
    trace["calls"] = [{key: called[key] for key in ("from", "to", "input", "type", "value", "gas")} | {"gasUsed": "0x0"}]
    explained = kestrix_tools.explain_trace(trace)
    origin = explained.origin
    assert origin is not None and (origin.outcome, origin.failure, origin.depth) == ("no_code", "contract_not_deployed", 1)
    assert origin.note is not None and "inferred" in origin.note


def test_node_words_and_names_cannot_drive_the_terminal(capsys: pytest.CaptureFixture[str], tmp_path: Path) -> None:
    trace = call_trace("throw")
    trace["error"] = "invalid jump destination\x1b[2J\x1b]0;owned\x07"
    saved = tmp_path / "trace.json"
    saved.write_text(json.dumps(trace))
    status, out, _ = run(capsys, "trace", str(saved))
    assert status == 0 and "\x1b" not in out and "\x07" not in out and "\\x1b[2J" in out


def test_pretty_printed_traces_and_standard_input(capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    import io

    pretty = json.dumps(call_trace("revert_reason"), indent=2).encode()
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(b"\n\n" + pretty)))
    status, out, _ = run(capsys, "trace", "--json", "-")
    assert status == 0 and json.loads(out)["cause"]["message"] == "Self-delegation is disallowed."


def test_block_traces_are_explained_transaction_by_transaction(tmp_path: Path,
                                                               capsys: pytest.CaptureFixture[str]) -> None:
    # debug_traceBlockByNumber's shape around real traces (hashes from sources.json).
    names = ["revert_reason", "oog", "delegatecall"]
    block = [{"txHash": META[f"calltracer/{name}.json"]["transaction"], "result": call_trace(name)} for name in names]
    block.append({"txHash": "0x" + "00" * 32, "error": "execution timeout"})
    saved = tmp_path / "block.json"
    saved.write_text(json.dumps({"jsonrpc": "2.0", "id": 1, "result": block}))
    status, out, _ = run(capsys, "trace", "--json", str(saved))
    results = [json.loads(line) for line in out.splitlines()]
    assert status == 1 and [r.get("status") for r in results] == ["failed", "failed", "succeeded", None]
    assert [r.get("hash") for r in results[:3]] == [META[f"calltracer/{name}.json"]["transaction"] for name in names]
    assert "execution timeout" in results[3]["error"]
