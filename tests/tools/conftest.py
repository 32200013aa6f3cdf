"""Shared data for the companion's tests: a realistic mix of revert data built with eth-abi."""

from __future__ import annotations

import random

import pytest
from Crypto.Hash import keccak
from eth_abi import encode


def selector(signature: str) -> str:
    return keccak.new(digest_bits=256, data=signature.encode()).hexdigest()[:8]


def call(signature: str, types: list[str], values: list[object]) -> str:
    return "0x" + selector(signature) + encode(types, values).hex()


ALICE = "0x5b38da6a701c568545dcfcb03fcb875f56beddc4"


def revert_mix(count: int, seed: int = 7) -> list[str]:
    """Hex texts of every kind: reason strings (ASCII, Unicode, invalid UTF-8), panics, built-in
    custom errors (exact, truncated, with huge values), unknown selectors, short and empty
    data, with and without "0x", upper and lower case."""
    rng = random.Random(seed)
    reasons = ["Ownable: caller is not the owner", "ERC20: transfer amount exceeds balance", "",
               "Pausable: paused", "é∂\n\"quoted\"", "x" * 300]
    out: list[str] = []
    for _ in range(count):
        pick = rng.randrange(12)
        if pick < 3:
            text = call("Error(string)", ["string"], [rng.choice(reasons)])
        elif pick == 3:
            text = "0x08c379a0" + encode(["bytes"], [b"\xff\xfeok"]).hex()
        elif pick < 6:
            code = rng.choice([0x01, 0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x51, 0x99, 2**64 - 1, 2**64])
            text = call("Panic(uint256)", ["uint256"], [code])
        elif pick == 6:
            text = call("ERC20InsufficientBalance(address,uint256,uint256)", ["address", "uint256", "uint256"],
                        [ALICE, rng.randrange(2**256), rng.randrange(10**6)])
        elif pick == 7:
            text = call("AccessControlUnauthorizedAccount(address,bytes32)", ["address", "bytes32"],
                        [ALICE, rng.randbytes(32)])
        elif pick == 8:
            text = call("OwnableUnauthorizedAccount(address)", ["address"], [ALICE])[:-8]  # truncated
        elif pick == 9:
            text = "0x" + rng.randbytes(rng.choice([0, 1, 3, 4, 36, 68])).hex()
        elif pick == 10:
            text = call("EnforcedPause()", [], [])
        else:
            text = call("ERC721NonexistentToken(uint256)", ["uint256"], [rng.randrange(1000)])
        if rng.random() < 0.2:
            text = text.upper().replace("0X", "0x")
        if rng.random() < 0.2:
            text = text.removeprefix("0x")
        out.append(text)
    return out


@pytest.fixture(scope="session")
def mix() -> list[str]:
    return revert_mix(400)


@pytest.fixture(scope="session")
def encode_call():  # type: ignore[no-untyped-def]
    """``encode_call(signature, types, values)``: "0x" + selector + ABI-encoded arguments."""
    return call
