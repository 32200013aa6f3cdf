"""Numbers in the inputs JSON read back exactly by json.loads: integers at the 64-bit and
128-bit edges, and bytes32 arrays holding every byte value."""

import json

import pytest
from eth_abi import encode

import kestrix

DECODER = kestrix.EvmErrorDecoder()
NONEXISTENT_TOKEN = "0x7e273289"  # ERC721NonexistentToken(uint256)
UNAUTHORIZED = "0xe2517d3f"  # AccessControlUnauthorizedAccount(address,bytes32)


def inputs(data: str) -> list:
    result = DECODER.decode(data)
    assert result["kind"] == "custom_error"
    return json.loads(result["inputs"])


@pytest.mark.parametrize("value", [
    0, 9, 10, 2**63 - 1, 2**63, 10**19 - 1, 10**19, 2**64 - 1, 2**64, 2**64 + 9, 10**20,
    2**127, 2**128 - 1, 2**128, 2**256 - 1])
def test_integers_at_the_word_edges(value):
    [[name, entry]] = inputs(NONEXISTENT_TOKEN + encode(["uint256"], [value]).hex())
    assert name == "tokenId"
    if value < 2**128:
        assert entry == {"type": "uint", "value": value}
    else:
        assert entry == {"type": "biguint", "value": str(value)}


@pytest.mark.parametrize("start", range(0, 256, 32))
def test_bytes32_arrays_hold_every_byte_value(start):
    word = bytes(range(start, start + 32))
    account = "0x" + "ab" * 20
    [_, [_, role]] = inputs(UNAUTHORIZED + encode(["address", "bytes32"], [account, word]).hex())
    assert role == {"type": "bytes", "value": list(word)}
