"""explain() on the JSON-RPC errors that geth, erigon, anvil, Hardhat, Ganache and Nethermind
send for a revert, each pushed through web3's own response handling by a provider that
answers with the node's error, so web3 raises whatever it really raises for it."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import kestrix
import kestrix_tools
import pytest
from eth_abi import encode

from web3_cases import PAYLOADS, REASON

web3 = pytest.importorskip("web3", reason="web3 is a test requirement")
from web3.providers import BaseProvider  # noqa: E402

TX_HASH = "0x991fef26454cd1b52e37041295833c24b883e03a2c654fd03bb67e66955e540b"
CUSTOM = PAYLOADS["custom_error"]

# Each node's message for the five kinds, as the node words it.
MESSAGES = {
    "geth": {"revert_string": f"execution reverted: {REASON}", "panic": "execution reverted",
             "custom_error": f"execution reverted: custom error {CUSTOM[:10]}",
             "raw_revert": "execution reverted", "empty": "execution reverted"},
    "anvil": {"revert_string": f"execution reverted: revert: {REASON}",
              "panic": "execution reverted: panic: arithmetic underflow or overflow (0x11)",
              "custom_error": f"execution reverted: custom error {CUSTOM[2:10]}",
              "raw_revert": "execution reverted: custom error deadbeef", "empty": "execution reverted"},
    "hardhat": {"revert_string": f"reverted with reason string '{REASON}'",
                "panic": "reverted with panic code 0x11 (Arithmetic operation overflowed outside of an unchecked block)",
                "custom_error": "reverted with an unrecognized custom error (return data: %s)" % CUSTOM,
                "raw_revert": "reverted with an unrecognized custom error (return data: 0xdeadbeef)",
                "empty": "Transaction reverted without a reason string"},
    "ganache": {"revert_string": f"revert {REASON}", "panic": "revert", "custom_error": "revert",
                "raw_revert": "revert", "empty": "revert"},
}
VM_EXCEPTION = "VM Exception while processing transaction: "

# The error object each node sends, given the revert payload and its kind.
NODES: dict[str, Callable[[str, str], dict[str, Any]]] = {
    "geth": lambda data, kind: {"code": 3, "message": MESSAGES["geth"][kind], "data": data},
    "erigon": lambda data, kind: {"code": 3, "message": "execution reverted", "data": data},
    "anvil": lambda data, kind: {"code": 3, "message": MESSAGES["anvil"][kind], "data": data},
    "hardhat": lambda data, kind: {
        "code": -32603, "message": "Error: " + VM_EXCEPTION + MESSAGES["hardhat"][kind],
        "data": {"message": "Error: " + VM_EXCEPTION + MESSAGES["hardhat"][kind], "data": data}},
    "ganache 7 call": lambda data, kind: {
        "code": -32000, "message": VM_EXCEPTION + MESSAGES["ganache"][kind], "data": data},
    "ganache 7 transaction": lambda data, kind: {
        "code": -32000, "message": VM_EXCEPTION + MESSAGES["ganache"][kind],
        "data": {"hash": TX_HASH, "programCounter": 63, "result": data, "reason": REASON, "message": "revert"}},
    "ganache 6": lambda data, kind: {
        "code": -32000, "message": VM_EXCEPTION + MESSAGES["ganache"][kind],
        "data": {TX_HASH: {"error": "revert", "program_counter": 63, "return": data},
                 "stack": "RuntimeError: " + VM_EXCEPTION + "revert\n    at ...", "name": "RuntimeError"}},
    "nethermind": lambda data, kind: {"code": -32015, "message": "VM execution error.", "data": "Reverted " + data},
}

# Errors of nodes that report a revert without its data.
WITHOUT_DATA = {
    "hardhat 3": {"code": -32603, "message": "Internal error", "data": {"message": "Internal error"}},
    "nethermind": {"code": -32015, "message": "VM execution error.", "data": "revert"},
    "ganache 6 invalid opcode": {
        "code": -32000, "message": VM_EXCEPTION + "invalid opcode",
        "data": {TX_HASH: {"error": "invalid opcode", "program_counter": 12, "return": "0x"}}},
}


class NodeProvider(BaseProvider):  # type: ignore[misc]
    """Answers every call and gas estimate with one JSON-RPC error."""

    def __init__(self, error: dict[str, Any]) -> None:
        super().__init__()
        self.error = error

    def make_request(self, method: str, params: Any) -> dict[str, Any]:
        if method == "eth_chainId":
            return {"jsonrpc": "2.0", "id": 1, "result": "0x1"}
        assert method in ("eth_call", "eth_estimateGas"), method
        return {"jsonrpc": "2.0", "id": 1, "error": self.error}


def raised_by_web3(error: dict[str, Any], method: str) -> BaseException:
    w3 = web3.Web3(NodeProvider(error))
    with pytest.raises(web3.exceptions.Web3Exception) as caught:
        getattr(w3.eth, method)({"to": "0x5B38Da6a701c568545dCfcB03FcB875f56beddC4", "data": "0x"})
    return caught.value


@pytest.mark.filterwarnings("ignore:Could not decode revert reason:RuntimeWarning")
@pytest.mark.parametrize("method", ["call", "estimate_gas"])
@pytest.mark.parametrize("node", NODES)
def test_every_node_shape_is_explained_through_web3(node: str, method: str) -> None:
    decoder = kestrix.EvmErrorDecoder()
    for kind, payload in PAYLOADS.items():
        error = NODES[node](payload, kind)
        raised = raised_by_web3(error, method)
        assert kestrix_tools.explain(raised, decoder) == decoder.decode(payload), (kind, raised)
        # The same error as a plain JSON-RPC error object, and as the whole response.
        assert kestrix_tools.revert_data(error) == payload
        assert kestrix_tools.revert_data({"jsonrpc": "2.0", "id": 7, "error": error}) == payload


NOPE = "0x08c379a0" + encode(["string"], ["nope"]).hex()
# Reverts whose error carries no data field, or data without "0x", and what each means: geth
# sends an empty revert as a bare "execution reverted"; a reason may come in the message only.
# (web3 drops a -32000 message's reason; the error object itself keeps it.)
IMPLIED = [
    ({"code": -32000, "message": "execution reverted"}, "0x", "0x"),
    ({"code": 3, "message": "execution reverted: nope"}, NOPE, NOPE),
    ({"code": -32000, "message": "execution reverted: nope", "data": None}, NOPE, NOPE),
    ({"code": -32000, "message": "execution reverted: nope"}, NOPE, "0x"),
    ({"code": 3, "message": "execution reverted", "data": PAYLOADS["panic"][2:]}, PAYLOADS["panic"], PAYLOADS["panic"]),
]


@pytest.mark.filterwarnings("ignore:Could not decode revert reason:RuntimeWarning")
@pytest.mark.parametrize(("error", "data", "through_web3"), IMPLIED)
def test_reverts_implied_by_the_error_are_explained(error: dict[str, Any], data: str, through_web3: str) -> None:
    assert kestrix_tools.revert_data(error) == data
    assert kestrix_tools.revert_data({"jsonrpc": "2.0", "id": 1, "error": error}) == data
    raised = raised_by_web3(error, "call")
    assert kestrix_tools.revert_data(raised) == through_web3
    assert kestrix_tools.explain(raised) == kestrix.decode_error(through_web3)
    assert kestrix_tools.revert_data(web3.exceptions.ContractLogicError("execution reverted: nope")) == NOPE


@pytest.mark.parametrize("node", WITHOUT_DATA)
def test_node_errors_without_revert_data_explain_to_none(node: str) -> None:
    assert kestrix_tools.explain(raised_by_web3(WITHOUT_DATA[node], "call")) is None
    assert kestrix_tools.revert_data(WITHOUT_DATA[node]) is None
