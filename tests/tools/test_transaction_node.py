"""`kestrix tx`, `kestrix call` and explain_transaction against a local JSON-RPC server that
answers as a node would, from real go-ethereum traces: a node with debug_*, one with only
trace_*, one with neither; and nodes that answer slowly, wrongly or never."""

from __future__ import annotations

import json
import socket
import threading
import time
import traceback
from collections.abc import Callable, Iterator
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import kestrix_tools
import pytest
from kestrix_tools._rpc import MethodMissing, NodeError, RpcError, client_for
from kestrix_tools.transaction import TransactionUnavailable

from trace_data import BOTH_SHAPES, META, call_trace, flat_trace, run

Answer = tuple[int, bytes, dict[str, str]]
SECRET = "k3y-SECRET-9f8e"

# How nodes say they lack a method: geth, a generic gateway, Alchemy-style, and a -32000 text.
MISSING = [
    {"code": -32601, "message": "the method {m} does not exist/is not available"},
    {"code": -32601, "message": "Method not found"},
    {"code": -32600, "message": "Unsupported method: {m}. See available methods"},
    {"code": -32000, "message": "the method {m} is not available"},
]


def rpc_reply(request_id: object, result: object = None, error: object = None) -> Answer:
    body: dict[str, object] = {"jsonrpc": "2.0", "id": request_id}
    body.update({"error": error} if error is not None else {"result": result})
    return 200, json.dumps(body).encode(), {"Content-Type": "application/json"}


class Node(ThreadingHTTPServer):
    daemon_threads = True
    answer: Callable[[str, list[Any], object], Answer]

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), Handler)
        self.calls: list[str] = []
        self.drip = 0.0

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/v3/{SECRET}?apikey={SECRET}"


class Handler(BaseHTTPRequestHandler):
    server: Node

    def do_POST(self) -> None:
        request = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        self.server.calls.append(request["method"])
        status, body, headers = self.server.answer(request["method"], request["params"], request["id"])
        self.send_response(status)
        for key, value in headers.items():
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            if self.server.drip:
                for byte in body:
                    self.wfile.write(bytes([byte]))
                    self.wfile.flush()
                    time.sleep(self.server.drip)
            else:
                self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def log_message(self, *args: object) -> None:
        pass


@pytest.fixture
def node() -> Iterator[Node]:
    server = Node()
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    thread.join(5)


def chain_node(name: str, kind: str, missing: dict[str, Any] = MISSING[0]) -> Callable[[str, list[Any], object], Answer]:
    """Answers for one real traced transaction, as a node of ``kind``: debug, trace or none."""
    meta = META[f"calltracer/{name}.json"]
    top = call_trace(name)
    tx = {"hash": meta["transaction"], "blockNumber": hex(meta["block"]), "from": top["from"], "to": top.get("to"),
          "input": top["input"], "value": top.get("value", "0x0"), "gas": top["gas"]}
    receipt = {"status": "0x0" if "error" in top else "0x1", "blockNumber": hex(meta["block"])}

    def answer(method: str, params: list[Any], rid: object) -> Answer:
        gone = {k: v.format(m=method) if isinstance(v, str) else v for k, v in missing.items()}
        if method == "eth_getTransactionByHash":
            return rpc_reply(rid, tx if params[0] == meta["transaction"] else None)
        if method == "eth_getTransactionReceipt":
            return rpc_reply(rid, receipt)
        if method == "eth_getCode":
            return rpc_reply(rid, "0x6080")
        if method in ("debug_traceTransaction", "debug_traceCall"):
            return rpc_reply(rid, top) if kind == "debug" else rpc_reply(rid, error=gone)
        if method == "trace_transaction":
            return rpc_reply(rid, flat_trace(name)) if kind in ("debug", "trace") else rpc_reply(rid, error=gone)
        if method == "eth_call":
            if "output" in top and "error" in top:
                return rpc_reply(rid, error={"code": 3, "message": "execution reverted", "data": top["output"]})
            if "error" in top:
                return rpc_reply(rid, error={"code": -32000, "message": top["error"]})
            return rpc_reply(rid, "0x")
        return rpc_reply(rid, error={"code": -32601, "message": "Method not found"})

    return answer


def summary(explained: Any) -> tuple[Any, ...]:
    cause = explained.cause
    return (explained.status, [(f.type, f.outcome, f.failure, f.to, f.function) for f in explained.failing_path],
            cause.to_dict() if cause is not None else None)


@pytest.mark.parametrize("name", BOTH_SHAPES)
@pytest.mark.parametrize("kind", ["debug", "trace"])
def test_nodes_with_traces_explain_like_the_saved_trace(node: Node, name: str, kind: str) -> None:
    node.answer = chain_node(name, kind)
    explained = kestrix_tools.explain_transaction(node.url, META[f"calltracer/{name}.json"]["transaction"])
    if explained.status == "succeeded":
        assert explained.source == "receipt" and "debug_traceTransaction" not in node.calls
        return
    assert summary(explained) == summary(kestrix_tools.explain_trace(call_trace(name)))
    assert explained.source == {"debug": "trace", "trace": "flat trace"}[kind] and explained.caveat is None
    assert explained.block == META[f"calltracer/{name}.json"]["block"]


@pytest.mark.parametrize("missing", MISSING)
def test_a_node_with_neither_replays_with_eth_call_and_says_so(node: Node, missing: dict[str, Any]) -> None:
    node.answer = chain_node("revert_reason", "none", missing)
    explained = kestrix_tools.explain_transaction(node.url, META["calltracer/revert_reason.json"]["transaction"])
    assert explained.source == "replay" and "earlier in the same block" in (explained.caveat or "")
    assert explained.cause is not None and explained.cause.to_dict()["message"] == "Self-delegation is disallowed."
    assert explained.origin is not None and explained.origin.function == "delegate"
    assert len(explained.notes) == 2 and "eth_call" in node.calls
    assert node.calls.index("debug_traceTransaction") < node.calls.index("trace_transaction") < node.calls.index("eth_call")


def test_a_replay_names_failures_that_are_not_reverts(node: Node) -> None:
    node.answer = chain_node("oog", "none")
    explained = kestrix_tools.explain_transaction(node.url, META["calltracer/oog.json"]["transaction"])
    assert [(f.outcome, f.failure) for f in explained.failing_path] == [("out_of_gas", "out_of_gas")]


def test_tx_command_exit_statuses(node: Node, capsys: pytest.CaptureFixture[str],
                                  monkeypatch: pytest.MonkeyPatch) -> None:
    node.answer = chain_node("inner_throw_outer_revert", "trace")
    known = META["calltracer/inner_throw_outer_revert.json"]["transaction"]
    status, out, _ = run(capsys, "tx", known, "--rpc", node.url, "--json")
    assert status == 0 and json.loads(out)["failure"] == "invalid_opcode"
    monkeypatch.setenv("ETH_RPC_URL", node.url)
    status, out, _ = run(capsys, "tx", known)
    assert status == 0 and "<- the failure began here" in out and "flat trace" in out
    status, _, err = run(capsys, "tx", "0x" + "ab" * 32)
    assert status == 1 and "does not know transaction" in err and SECRET not in err
    status, _, err = run(capsys, "tx", "0x1234")
    assert status == 2 and "64 hex digits" in err
    monkeypatch.delenv("ETH_RPC_URL")
    status, _, err = run(capsys, "tx", known)
    assert status == 2 and "ETH_RPC_URL" in err


def test_pending_transactions_are_not_explained(node: Node) -> None:
    answer = chain_node("revert_reason", "debug")
    node.answer = lambda method, params, rid: (
        rpc_reply(rid, {"hash": params[0], "blockNumber": None}) if method == "eth_getTransactionByHash"
        else answer(method, params, rid))
    with pytest.raises(TransactionUnavailable, match="pending"):
        kestrix_tools.explain_transaction(node.url, "0x" + "cd" * 32)


@pytest.mark.parametrize("kind", ["debug", "none"])
def test_call_command_traces_or_falls_back_to_eth_call(node: Node, kind: str, capsys: pytest.CaptureFixture[str]) -> None:
    node.answer = chain_node("revert_reason", kind)
    top = call_trace("revert_reason")
    status, out, _ = run(capsys, "call", "--rpc", node.url, "--to", top["to"], "--data", top["input"],
                         "--from", top["from"], "--block", "3212650", "--json")
    document = json.loads(out)
    assert status == 0 and document["status"] == "failed" and document["source"] == {"debug": "trace", "none": "call"}[kind]
    assert document["cause"]["message"] == "Self-delegation is disallowed."
    status, _, err = run(capsys, "call", "--rpc", node.url, "--to", "0x12", "--data", "0x")
    assert status == 2 and "--to" in err


# ---- The network ----


def fast_client(url: str, **options: Any) -> Any:
    return client_for(url, timeout=options.get("timeout", 2.0), retries=options.get("retries", 2), backoff=0.01)


def all_text(error: BaseException) -> str:
    return "".join(traceback.format_exception(error)) + repr(error)


def test_busy_nodes_are_retried_with_bounded_backoff(node: Node) -> None:
    statuses = iter([429, 503])
    node.answer = lambda method, params, rid: (
        (next(statuses, 200), b"busy", {"Retry-After": "0"}) if len(node.calls) <= 2 else rpc_reply(rid, "0x1"))
    assert fast_client(node.url).call("eth_blockNumber", []) == "0x1" and len(node.calls) == 3
    node.calls.clear()
    node.answer = lambda method, params, rid: (502, b"<html>bad gateway</html>", {})
    with pytest.raises(NodeError, match=r"127\.0\.0\.1:\d+ answered eth_blockNumber with HTTP 502") as caught:
        fast_client(node.url).call("eth_blockNumber", [])
    assert len(node.calls) == 3 and SECRET not in all_text(caught.value)


@pytest.mark.parametrize(("reply", "message"), [
    ((200, b"<html>Cloudflare</html>", {}), "not JSON"),
    ((200, b"[1, 2]", {}), "not a JSON-RPC reply"),
    ((200, b'{"jsonrpc": "2.0", "id": 1}', {}), "neither a result nor an error"),
    ((403, b"forbidden", {}), "HTTP 403"),
    ((400, b'{"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"invalid argument 0"}}', {}),
     "JSON-RPC error -32602: invalid argument 0"),
    ((200, b'{"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"header not found"}}', {}),
     "JSON-RPC error -32000: header not found"),
])
def test_wrong_answers_are_clear_errors_without_the_key(node: Node, reply: Answer, message: str) -> None:
    node.answer = lambda method, params, rid: reply
    with pytest.raises(NodeError, match=message) as caught:
        fast_client(node.url).call("eth_blockNumber", [])
    assert SECRET not in all_text(caught.value) and len(node.calls) == 1


def test_missing_methods_are_recognised_in_every_wording(node: Node) -> None:
    for missing in MISSING:
        text = str(missing["message"])
        node.answer = lambda method, params, rid: rpc_reply(rid, error={**missing, "message": text.format(m=method)})
        with pytest.raises(MethodMissing):
            fast_client(node.url).call("debug_traceTransaction", [])
    node.answer = lambda method, params, rid: rpc_reply(rid, error={"code": -32000, "message": "execution reverted"})
    with pytest.raises(RpcError) as caught:
        fast_client(node.url).call("eth_call", [])
    assert not isinstance(caught.value, MethodMissing)


def test_slow_silent_refusing_and_tls_mismatched_nodes(node: Node) -> None:
    def slow(method: str, params: list[Any], rid: object) -> Answer:
        time.sleep(1.0)
        return rpc_reply(rid, "0x1")

    node.answer = slow
    started = time.monotonic()
    with pytest.raises(NodeError, match="did not answer eth_blockNumber within 0.2 s") as caught:
        fast_client(node.url, timeout=0.2).call("eth_blockNumber", [])
    assert time.monotonic() - started < 5 and SECRET not in all_text(caught.value)
    with socket.socket() as silent:  # accepts connections and never answers
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        url = f"http://127.0.0.1:{silent.getsockname()[1]}/{SECRET}"
        with pytest.raises(NodeError, match="did not answer"):
            fast_client(url, timeout=0.2).call("eth_blockNumber", [])
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
    with pytest.raises(NodeError, match=f"connection to 127.0.0.1:{port} refused") as caught:
        fast_client(f"http://127.0.0.1:{port}/{SECRET}").call("eth_blockNumber", [])
    assert SECRET not in all_text(caught.value)
    with pytest.raises(NodeError, match="TLS failure talking to 127.0.0.1") as caught:
        fast_client(node.url.replace("http://", "https://")).call("eth_blockNumber", [])
    assert SECRET not in all_text(caught.value)


def test_a_node_sending_a_broken_trace_falls_back_with_a_note(node: Node) -> None:
    answer = chain_node("revert_reason", "debug")
    broken = call_trace("revert_reason") | {"output": "0xnothex"}
    node.answer = lambda method, params, rid: (
        rpc_reply(rid, broken) if method == "debug_traceTransaction" else answer(method, params, rid))
    explained = kestrix_tools.explain_transaction(node.url, META["calltracer/revert_reason.json"]["transaction"])
    assert explained.source == "flat trace" and "cannot be read" in explained.notes[0]


@pytest.mark.parametrize(("code", "outcome"), [("0x", "no_code"), ("0x6080", "reverted")])
def test_code_less_calls_are_checked_with_eth_get_code_at_the_block(node: Node, code: str, outcome: str) -> None:
    # revert.json's bare revert, after a call that ran no code (see test_trace_files).
    trace = call_trace("revert")
    called = call_trace("delegatecall")["calls"][0]
    trace["calls"] = [{key: called[key] for key in ("from", "to", "input", "type", "value", "gas")} | {"gasUsed": "0x0"}]
    answer = chain_node("revert", "debug")
    asked: list[Any] = []

    def answers(method: str, params: list[Any], rid: object) -> Answer:
        if method == "debug_traceTransaction":
            return rpc_reply(rid, trace)
        if method == "eth_getCode":
            asked.append(params)
            return rpc_reply(rid, code)
        return answer(method, params, rid)

    node.answer = answers
    explained = kestrix_tools.explain_transaction(node.url, META["calltracer/revert.json"]["transaction"])
    origin = explained.origin
    assert origin is not None and origin.outcome == outcome and origin.note is None
    assert asked == [[called["to"], hex(META["calltracer/revert.json"]["block"])]]


def test_a_node_answering_with_a_trace_deeper_than_the_json_parser_recurses(node: Node) -> None:
    # 1,100 nested calls: deeper than the EVM's 1,024 only by a little, and past json's recursion.
    frame = json.dumps(call_trace("revert_reason"))
    deep = (frame[:-1] + ', "calls": [') * 1100 + frame + "]}" * 1100
    answer = chain_node("revert_reason", "debug")
    node.answer = lambda method, params, rid: (
        (200, b'{"jsonrpc":"2.0","id":1,"result":' + deep.encode() + b"}", {})
        if method == "debug_traceTransaction" else answer(method, params, rid))
    explained = kestrix_tools.explain_transaction(node.url, META["calltracer/revert_reason.json"]["transaction"])
    assert explained.source == "trace" and len(explained.failing_path) == 1101


def test_a_node_dripping_its_reply_is_cut_off(node: Node) -> None:
    def drip(method: str, params: list[Any], rid: object) -> Answer:
        return 200, b" " * 60 + b'{"jsonrpc":"2.0","id":1,"result":"0x1"}', {"X-Drip": "1"}

    node.answer = drip
    node.drip = 0.05  # seconds between bytes
    started = time.monotonic()
    with pytest.raises(NodeError, match="took longer than"):
        fast_client(node.url, timeout=0.2).call("eth_blockNumber", [])
    assert time.monotonic() - started < 5


@pytest.mark.parametrize("url", [f"http://127.0.0.1:port{SECRET}/x", f"http://[::1/{SECRET}", f"ftp://host/{SECRET}"])
def test_malformed_rpc_urls_are_refused_without_showing_them(url: str) -> None:
    with pytest.raises((NodeError, ValueError)) as caught:
        fast_client(url).call("eth_blockNumber", [])
    assert SECRET not in all_text(caught.value)


@pytest.mark.parametrize("timeout", ["0", "-1", "nan", "inf", "1e9"])
def test_timeouts_out_of_range_are_usage_errors(timeout: str, capsys: pytest.CaptureFixture[str]) -> None:
    status, _, err = run(capsys, "tx", "0x" + "ab" * 32, "--rpc", "http://127.0.0.1:9/", "--timeout", timeout)
    assert status == 2 and "--timeout" in err
