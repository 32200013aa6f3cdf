"""Wrapped reverts from a real EVM: contracts compiled by the Vyper compiler, deployed on web3's
in-process eth-tester chain, calling each other and wrapping what they catch."""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from conftest import selector

import kestrix_tools

web3 = pytest.importorskip("web3", reason="web3 with eth-tester is a test requirement")
vyper = pytest.importorskip("vyper", reason="the Vyper compiler is a test requirement")

CONTRACTS = Path(__file__).parent / "contracts"
STOCK = "error InsufficientStock(uint256 amount, address caller)"


def deploy(w3: Any, name: str, *args: Any) -> str:
    built = vyper.compile_code((CONTRACTS / f"{name}.vy").read_text(), output_formats=["abi", "bytecode"])
    contract = w3.eth.contract(abi=built["abi"], bytecode=built["bytecode"])
    receipt = w3.eth.wait_for_transaction_receipt(contract.constructor(*args).transact({"from": w3.eth.accounts[0]}))
    return str(receipt["contractAddress"])


@pytest.fixture(scope="module")
def chain() -> Iterator[tuple[Any, dict[str, str]]]:
    w3 = web3.Web3(web3.EthereumTesterProvider())
    vault = deploy(w3, "vault")
    pool = deploy(w3, "pool", vault)
    found = {"vault": vault, "pool": pool, "router": deploy(w3, "router", pool),
             "bubbler": deploy(w3, "bubbler", vault), "reason_joiner": deploy(w3, "reason_joiner", vault)}
    yield w3, found


def failure(w3: Any, to: str, function: str, amount: int) -> BaseException:
    """The exception web3 raises for the call; eth_estimateGas keeps the whole revert data."""
    data = "0x" + selector(function) + amount.to_bytes(32, "big").hex()
    with pytest.raises(Exception) as caught:
        w3.eth.estimate_gas({"from": w3.eth.accounts[0], "to": to, "data": data})
    return caught.value


def test_router_pool_vault(chain: Any) -> None:
    w3, at = chain
    error = failure(w3, at["router"], "execute(uint256)", 250)
    explanation = kestrix_tools.explain(error, kestrix_tools.Decoder(signatures=STOCK), chain=True)
    assert explanation is not None
    assert [layer.error_name for layer in explanation.chain] == ["ExecutionFailed", "WrappedError", "InsufficientStock"]
    router, pool, vault = explanation.chain
    assert router.context == {"command_index": 1}
    assert pool.args["target"] == at["vault"].lower() and pool.context == {"details": b""}
    assert vault.target == at["vault"].lower()
    assert vault.call_selector == "0x" + selector("fail(uint256)")
    assert vault.args == {"amount": 250, "caller": at["pool"].lower()}
    # The default decoder knows the wrappers but not the vault's error: the chain ends there.
    plain = kestrix_tools.explain(error, chain=True)
    assert plain is not None and plain.depth == 1 and plain.root.args["target"] == at["vault"].lower()
    assert kestrix_tools.explain(error) == plain.to_dict()


def test_bubbled_revert_is_one_layer(chain: Any) -> None:
    w3, at = chain
    explanation = kestrix_tools.explain(failure(w3, at["bubbler"], "execute(uint256)", 7),
                                        kestrix_tools.Decoder(signatures=STOCK), chain=True)
    assert explanation is not None and explanation.depth == 0
    assert explanation.root.args == {"amount": 7, "caller": at["bubbler"].lower()}


def test_reason_text_that_ends_in_a_revert(chain: Any) -> None:
    w3, at = chain
    decoder = kestrix_tools.Decoder(signatures=STOCK)
    explanation = kestrix_tools.explain(failure(w3, at["reason_joiner"], "execute(uint256)", 9), decoder, chain=True)
    assert explanation is not None and explanation.depth == 1
    outer, root = explanation.chain
    assert outer.kind == "revert_string" and outer.message == "stock check failed: "
    assert outer.to_dict()["message"] != outer.message  # the dict keeps decode's whole text
    assert root.error_name == "InsufficientStock" and root.args == {"amount": 9, "caller": at["reason_joiner"].lower()}
