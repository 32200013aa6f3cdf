"""explain() on the errors a real in-process chain raises: web3 over eth-tester and py-evm,
calling a hand-assembled contract that reverts with whatever calldata it is given."""

from __future__ import annotations

import json
from collections.abc import Iterator
from typing import Any

import kestrix
import kestrix_tools
import pytest
from eth_abi import encode
from hypothesis import HealthCheck, given, settings, strategies as st

from web3_cases import ECHO, FAULTS, HOLDER, PAYLOADS, REASON, creation_code

web3 = pytest.importorskip("web3", reason="web3 with eth-tester is a test requirement")

# Functions whose calldata is exactly the revert payload of the same signature, so calling
# them on the echo contract reverts with Error(string), Panic(uint256) or the custom error.
ECHO_ABI = [
    {"type": "function", "name": name, "stateMutability": "view", "outputs": [],
     "inputs": [{"name": f"a{i}", "type": kind} for i, kind in enumerate(kinds)]}
    for name, kinds in [("Error", ["string"]), ("Panic", ["uint256"]),
                        ("ERC20InsufficientBalance", ["address", "uint256", "uint256"])]
]


@pytest.fixture(scope="module")
def chain() -> Iterator[tuple[Any, dict[str, str]]]:
    w3 = web3.Web3(web3.EthereumTesterProvider())
    addresses = {}
    for name, runtime in {"echo": ECHO, **FAULTS}.items():
        sent = w3.eth.send_transaction({"from": w3.eth.accounts[0], "data": creation_code(runtime)})
        addresses[name] = w3.eth.get_transaction_receipt(sent)["contractAddress"]
        assert w3.eth.get_code(addresses[name]).hex().removeprefix("0x") == runtime
    yield w3, addresses


def raised(w3: Any, method: str, to: str, data: str) -> BaseException:
    transaction = {"from": w3.eth.accounts[0], "to": to, "data": data}
    with pytest.raises(Exception) as caught:
        if method == "send_transaction":
            w3.eth.wait_for_transaction_receipt(w3.eth.send_transaction(transaction))
        else:
            getattr(w3.eth, method)(transaction)
    return caught.value


# eth_call and eth_estimateGas take different paths through eth-tester: the first decodes
# Error(string) reasons and stringifies other reverts, the second keeps py-evm's bytes;
# sending a transaction estimates its gas first.
@pytest.mark.parametrize("method", ["call", "estimate_gas", "send_transaction"])
@pytest.mark.parametrize("kind", PAYLOADS)
def test_each_kind_of_revert_is_explained(chain: Any, kind: str, method: str) -> None:
    w3, addresses = chain
    error = raised(w3, method, addresses["echo"], PAYLOADS[kind])
    assert kestrix_tools.revert_data(error) == PAYLOADS[kind]
    result = kestrix_tools.explain(error)
    assert result == kestrix_tools.Decoder().decode(PAYLOADS[kind])  # the package's default decoder
    assert result is not None and result["kind"] == kind
    # Apart from the hint of a reason a known protocol's table explains, kestrix's own result.
    assert {**result, "suggestion": None} == {**kestrix.decode_error(PAYLOADS[kind]), "suggestion": None}


def test_contract_functions_revert_with_their_own_calldata(chain: Any) -> None:
    w3, addresses = chain
    echo = w3.eth.contract(address=addresses["echo"], abi=ECHO_ABI)
    calls = {"revert_string": echo.functions.Error(REASON), "panic": echo.functions.Panic(0x11),
             "custom_error": echo.functions.ERC20InsufficientBalance(
                 web3.Web3.to_checksum_address(HOLDER), 1000, 2000)}
    decoder = kestrix.EvmErrorDecoder()
    for kind, call in calls.items():
        with pytest.raises(Exception) as caught:
            call.call()
        assert kestrix_tools.explain(caught.value, decoder) == decoder.decode(PAYLOADS[kind])


@pytest.mark.parametrize("method", ["call", "estimate_gas"])
@pytest.mark.parametrize("fault", FAULTS)
def test_failures_that_are_not_reverts_carry_no_revert_data(chain: Any, fault: str, method: str) -> None:
    w3, addresses = chain
    error = raised(w3, method, addresses[fault], "0x")
    assert kestrix_tools.revert_data(error) is None
    assert kestrix_tools.explain(error) is None


def test_reason_that_is_not_utf8(chain: Any) -> None:
    """web3 itself fails with UnicodeDecodeError on such a reason. On eth_estimateGas the bytes
    are still chained to that error; eth-tester's eth_call has already dropped them."""
    w3, addresses = chain
    payload = "0x08c379a0" + encode(["bytes"], [b"caller \xff"]).hex()
    error = raised(w3, "estimate_gas", addresses["echo"], payload)
    assert isinstance(error, UnicodeDecodeError)
    assert kestrix_tools.revert_data(error) == payload
    assert kestrix_tools.revert_data(raised(w3, "call", addresses["echo"], payload)) is None


# eth-tester's eth_call hands over only the decoded reason, which cannot be told apart from
# its text for a non-string revert (b'...') or for one of py-evm's own failure messages.
reasons = st.text().filter(lambda text: not text.startswith(("b'", 'b"')))


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(reason=reasons)
def test_any_reason_survives_eth_call(chain: Any, reason: str) -> None:
    w3, addresses = chain
    payload = "0x08c379a0" + encode(["string"], [reason]).hex()
    error = raised(w3, "call", addresses["echo"], payload)
    assert kestrix_tools.revert_data(error) == payload


def test_an_offchain_lookup_is_explained_as_a_request_for_data(chain: Any) -> None:
    # EIP-3668: the contract asks the caller to fetch data off chain and call back with it.
    w3, addresses = chain
    echo = addresses["echo"]
    urls = ["https://gateway.example/{sender}/{data}.json"]
    payload = "0x556f1830" + encode(["address", "string[]", "bytes", "bytes4", "bytes"],
                                    [echo, urls, b"\x01\x02", b"\xaa\xbb\xcc\xdd", b"extra"]).hex()
    with pytest.raises(Exception) as caught:
        w3.eth.call({"to": echo, "data": payload}, ccip_read_enabled=False)  # no network here
    for error in (caught.value, raised(w3, "estimate_gas", echo, payload)):
        result = kestrix_tools.explain(error)
        assert result is not None and result["raw_data"] == payload
        assert (result["kind"], result["error_name"]) == ("custom_error", "OffchainLookup")
        assert result["suggestion"] is not None and "EIP-3668" in result["suggestion"]
        assert [name for name, _ in json.loads(result["inputs"])] == \
            ["sender", "urls", "callData", "callbackFunction", "extraData"]
    # A decoder of one's own that explains it keeps its word.
    mine = kestrix_tools.Decoder(signatures=["OffchainLookup(address a, string[] b, bytes c, bytes4 d, bytes e)"])
    assert kestrix_tools.explain(caught.value, mine)["suggestion"] is None  # type: ignore[index]
