"""explain_transaction and explain_call on a real in-process chain (web3 over eth-tester, which
has neither debug_* nor trace_*), on a Vyper contract that reverts only for some senders."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path
from typing import Any

import kestrix_tools
import pytest
from kestrix_tools._render import transaction_json
from kestrix_tools.transaction import FunctionNames

web3 = pytest.importorskip("web3", reason="web3 with eth-tester is a test requirement")
vyper = pytest.importorskip("vyper", reason="the Vyper compiler is a test requirement")

GATE = Path(__file__).parent / "contracts" / "gate.vy"
POKE = "0x18178358"  # poke()


@pytest.fixture(scope="module")
def compiled() -> tuple[str, Any]:
    """The contract's bytecode and ABI, from the Vyper compiler."""
    built = vyper.compile_code(GATE.read_text(), output_formats=["bytecode", "abi"])
    return built["bytecode"], built["abi"]


@pytest.fixture(scope="module")
def chain(compiled: tuple[str, Any]) -> Iterator[tuple[Any, str]]:
    w3 = web3.Web3(web3.EthereumTesterProvider())
    sent = w3.eth.send_transaction({"from": w3.eth.accounts[0], "data": compiled[0]})
    yield w3, w3.eth.get_transaction_receipt(sent)["contractAddress"]


def send(w3: Any, sender: str, to: str) -> str:
    sent = w3.eth.send_transaction({"from": sender, "to": to, "data": POKE, "gas": 100_000})
    return "0x" + bytes(sent).hex()


def test_a_failed_transaction_is_replayed_and_its_revert_explained(chain: Any, compiled: tuple[str, Any]) -> None:
    w3, gate = chain
    failed = send(w3, w3.eth.accounts[1], gate)
    assert w3.eth.get_transaction_receipt(failed)["status"] == 0
    functions = FunctionNames(abi=compiled[1])
    explained = kestrix_tools.explain_transaction(w3, failed, functions=functions)
    assert (explained.status, explained.source) == ("failed", "replay") and explained.caveat
    origin = explained.origin
    assert origin is not None and origin.to == gate.lower() and (origin.selector, origin.function) == (POKE, "poke")
    assert origin.sender == w3.eth.accounts[1].lower()
    assert explained.cause is not None and explained.cause.to_dict()["message"] == "only the owner may poke"
    assert [note.split(" has no ")[-1] for note in explained.notes] == ["debug_traceTransaction", "trace_transaction"]


def test_the_owners_transaction_succeeds(chain: Any) -> None:
    w3, gate = chain
    done = kestrix_tools.explain_transaction(w3, send(w3, w3.eth.accounts[0], gate))
    assert (done.status, done.source, done.failing_path) == ("succeeded", "receipt", ())


@pytest.mark.parametrize(("who", "fails"), [(0, False), (1, True), (2, True)])
def test_a_call_not_sent_depends_on_its_sender(chain: Any, who: int, fails: bool) -> None:
    w3, gate = chain
    explained = kestrix_tools.explain_call(w3, gate, POKE, sender=w3.eth.accounts[who])
    assert explained.source == "call" and explained.status == ("failed" if fails else "succeeded")
    assert (explained.cause.to_dict()["message"] if explained.cause else None) == \
        ("only the owner may poke" if fails else None)


def test_a_wrapped_revert_is_explained_down_to_its_root_cause(chain: Any) -> None:
    # The router wraps the pool's revert, which wraps the vault's (contracts of test_unwrap_evm).
    w3, _ = chain
    at: dict[str, str] = {}
    for name, argument in (("vault", None), ("pool", "vault"), ("router", "pool")):
        built = vyper.compile_code((GATE.parent / f"{name}.vy").read_text(), output_formats=["abi", "bytecode"])
        contract = w3.eth.contract(abi=built["abi"], bytecode=built["bytecode"])
        sent = contract.constructor(*([at[argument]] if argument else [])).transact({"from": w3.eth.accounts[0]})
        at[name] = w3.eth.get_transaction_receipt(sent)["contractAddress"]
    execute = "0x" + "fe0d94c1" + (250).to_bytes(32, "big").hex()  # execute(uint256)
    sent = w3.eth.send_transaction({"from": w3.eth.accounts[0], "to": at["router"], "data": execute, "gas": 300_000})
    decoder = kestrix_tools.Decoder(signatures="error InsufficientStock(uint256 amount, address caller)")
    explained = kestrix_tools.explain_transaction(w3, "0x" + bytes(sent).hex(), decoder)
    assert explained.cause is not None and explained.source == "replay"
    assert [layer.error_name for layer in explained.cause.chain] == ["ExecutionFailed", "WrappedError", "InsufficientStock"]
    document = transaction_json(explained)
    assert [layer["error_name"] for layer in document["cause"]["chain"]] == \
        ["ExecutionFailed", "WrappedError", "InsufficientStock"]
