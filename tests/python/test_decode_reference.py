"""An independent reference decoder for revert data, written from the ABI layout alone.

The other decode tests compare kestrix with `reference_decode`. It hashes the signature texts
itself (pycryptodome's Keccak-256), reads words leniently the way the decoder is meant to
(counts from the last 8 bytes of a word, padding and trailing bytes unchecked) and lowercases
reasons with str.lower. The tests in this file check the reference against hard-coded
selectors and against eth_abi's own decoder, so a fault in it cannot hide one in kestrix.
"""

from __future__ import annotations

import json
import random
import struct
from typing import Any

from Crypto.Hash import keccak
from eth_abi import decode, encode

Params = list[tuple[str, str]]

# name, parameters, suggestion, and the selector as published for the signature.
BUILTIN: list[tuple[str, Params, str | None, str]] = [
    ("ERC20InsufficientBalance", [("sender", "address"), ("balance", "uint256"), ("needed", "uint256")],
     "The sender does not have enough token balance for this transfer.", "e450d38c"),
    ("ERC20InvalidSender", [("sender", "address")], None, "96c6fd1e"),
    ("ERC20InvalidReceiver", [("receiver", "address")], None, "ec442f05"),
    ("ERC20InsufficientAllowance", [("spender", "address"), ("allowance", "uint256"), ("needed", "uint256")],
     "Increase the token allowance before calling transferFrom.", "fb8f41b2"),
    ("ERC20InvalidApprover", [("approver", "address")], None, "e602df05"),
    ("ERC20InvalidSpender", [("spender", "address")], None, "94280d62"),
    ("ERC721InvalidOwner", [("owner", "address")], None, "89c62b64"),
    ("ERC721NonexistentToken", [("tokenId", "uint256")], None, "7e273289"),
    ("ERC721IncorrectOwner", [("sender", "address"), ("tokenId", "uint256"), ("owner", "address")], None, "64283d7b"),
    ("ERC721InvalidSender", [("sender", "address")], None, "73c6ac6e"),
    ("ERC721InvalidReceiver", [("receiver", "address")], None, "64a0ae92"),
    ("ERC721InsufficientApproval", [("operator", "address"), ("tokenId", "uint256")], None, "177e802f"),
    ("ERC721InvalidApprover", [("approver", "address")], None, "a9fbf51f"),
    ("ERC721InvalidOperator", [("operator", "address")], None, "5b08ba18"),
    ("OwnableUnauthorizedAccount", [("account", "address")],
     "Only the owner can call this function. Ensure you are using the owner address.", "118cdaa7"),
    ("OwnableInvalidOwner", [("owner", "address")], None, "1e4fbdf7"),
    ("AccessControlUnauthorizedAccount", [("account", "address"), ("neededRole", "bytes32")],
     "The caller is missing the required role. Grant the role with grantRole().", "e2517d3f"),
    ("AccessControlBadConfirmation", [], None, "6697b232"),
    ("ReentrancyGuardReentrantCall", [], "Reentrancy detected. Do not call this function recursively.", "3ee5aeb5"),
    ("EnforcedPause", [], "The contract is paused. Wait for it to be unpaused.", "d93c0665"),
    ("ExpectedPause", [], None, "8dfc202b"),
    ("T", [], "Uniswap V3: tick out of range.", "2bc80f3a"),
    ("LOK", [], "Uniswap V3: pool is locked.", "a1bf7886"),
    ("TLU", [], "Uniswap V3: tick lower >= tick upper.", "2fe0284f"),
    ("TLM", [], "Uniswap V3: tick lower too low.", "9ad612e8"),
    ("TUM", [], "Uniswap V3: tick upper too high.", "d7b54ab1"),
    ("AS", [], "Uniswap V3: amount specified is zero.", "03fff018"),
    ("M0", [], "Uniswap V3: mint amounts are zero.", "748800af"),
    ("M1", [], "Uniswap V3: mint amount0 exceeds limit.", "20e5672e"),
    ("IIA", [], "Uniswap V3: insufficient input amount.", "ba0b951e"),
    ("SPL", [], "Uniswap V3: sqrt price limit is out of range.", "fcdf4aa7"),
    ("F0", [], "Uniswap V3: flash amount0 > balance.", "f704e899"),
    ("F1", [], "Uniswap V3: flash amount1 > balance.", "e90c3493"),
    ("L", [], "Uniswap V3: liquidity is zero.", "9f13f76d"),
    ("LS", [], "Uniswap V3: liquidity exceeds maximum.", "eb0f5cc6"),
    ("LA", [], "Uniswap V3: liquidity amount overflows.", "96b9a4a6"),
    ("ERC4626ExceededMaxDeposit", [("receiver", "address"), ("assets", "uint256"), ("max", "uint256")], None, "79012fb2"),
    ("ERC4626ExceededMaxMint", [("receiver", "address"), ("shares", "uint256"), ("max", "uint256")], None, "284ff667"),
    ("ERC4626ExceededMaxWithdraw", [("owner", "address"), ("assets", "uint256"), ("max", "uint256")], None, "fe9cceec"),
    ("ERC4626ExceededMaxRedeem", [("owner", "address"), ("shares", "uint256"), ("max", "uint256")], None, "b94abeec"),
    ("AddressInsufficientBalance", [("account", "address")], None, "cd786059"),
    ("AddressEmptyCode", [("target", "address")], "The target address has no contract code deployed.", "9996b315"),
    ("FailedInnerCall", [], None, "1425ea42"),
    ("SafeERC20FailedOperation", [("token", "address")],
     "The ERC-20 token operation failed. Ensure the token is compliant.", "5274afe7"),
    ("SafeERC20FailedDecreaseAllowance", [("spender", "address"), ("currentAllowance", "uint256")], None, "b9ac796a"),
]

PANIC_MEANINGS = {
    0x00: "generic compiler-inserted panic",
    0x01: "assert() called with false condition",
    0x11: "arithmetic overflow or underflow",
    0x12: "division or modulo by zero",
    0x21: "invalid enum value",
    0x22: "corrupted storage byte array",
    0x31: ".pop() on empty array",
    0x32: "out-of-bounds array access",
    0x41: "too much memory allocated (out of memory)",
    0x51: "called zero-initialized internal function pointer",
}

REASON_RULES = [
    (("not the owner",), ("not owner",), "Ensure the caller is the contract owner."),
    (("insufficient", "balance"), None,
     "The account balance is too low. Check the token balance before calling."),
    (("allowance",), None, "Increase the token allowance with approve() before calling transferFrom()."),
    (("paused",), None, "The contract is paused. Wait for it to be unpaused."),
    (("already", "init"), None, "The contract has already been initialized."),
]

EMPTY_SUGGESTION = "Transaction reverted with no error message."
UNKNOWN_SUGGESTION = "Unknown error selector. Try looking up the selector on https://www.4byte.directory/"
CUSTOM_CONFIDENCE = struct.unpack("<f", struct.pack("<f", 0.95))[0]


def signature(name: str, params: Params) -> str:
    return f"{name}({','.join(t for _, t in params)})"


def selector_of(text: str) -> bytes:
    return keccak.new(digest_bits=256, data=text.encode()).digest()[:4]


ERROR_SELECTOR = selector_of("Error(string)")
PANIC_SELECTOR = selector_of("Panic(uint256)")
BY_SELECTOR = {selector_of(signature(n, p)): (n, p, s) for n, p, s, _ in BUILTIN}


def reason_suggestion(reason: str) -> str | None:
    lowered = reason.lower()
    for all_of, alternative, suggestion in REASON_RULES:
        if all(k in lowered for k in all_of) or (alternative and all(k in lowered for k in alternative)):
            return suggestion
    return None


def panic_suggestion(code: int) -> str:
    meaning = PANIC_MEANINGS.get(code, "unknown panic code")
    return f"Solidity assert violation (panic code 0x{code:02x}): {meaning}."


def _count(word: bytes) -> int:
    return int.from_bytes(word[24:32], "big")


def _read_string(payload: bytes) -> str | None:
    if len(payload) < 32:
        return None
    offset = _count(payload[:32])
    if offset > len(payload):
        return None
    tail = payload[offset:]
    if len(tail) < 32 or 32 + _count(tail[:32]) > len(tail):
        return None
    return tail[32 : 32 + _count(tail[:32])].decode("utf-8", "replace")


def _input_json(kind: str, word: bytes) -> dict[str, Any]:
    if kind == "address":
        return {"type": "address", "value": "0x" + word[12:].hex()}
    if kind == "bytes32":
        return {"type": "bytes", "value": list(word)}
    value = int.from_bytes(word, "big")
    return {"type": "uint", "value": value} if value < 2**128 else {"type": "biguint", "value": str(value)}


def _result(data: bytes, kind: str, suggestion: str | None, confidence: float, **fields: Any) -> dict[str, Any]:
    out: dict[str, Any] = {
        "raw_data": "0x" + data.hex(),
        "selector": "0x" + data[:4].hex() if len(data) >= 4 else None,
        "suggestion": suggestion,
        "confidence": confidence,
        "kind": kind,
    }
    for key in ("message", "error_name", "inputs", "panic_code", "panic_meaning"):
        out[key] = fields.get(key)
    return out


def reference_decode(data: bytes) -> dict[str, Any]:
    """The result dict kestrix should give for `data`, built independently."""
    if not data:
        return _result(data, "empty", EMPTY_SUGGESTION, 0.5)
    selector, payload = data[:4], data[4:]
    if len(data) >= 4 and selector == ERROR_SELECTOR:
        text = _read_string(payload)
        if text is not None:
            reason = text.rstrip("\x00")
            return _result(data, "revert_string", reason_suggestion(reason), 1.0, message=reason)
    if len(data) >= 4 and selector == PANIC_SELECTOR and len(payload) >= 32:
        code = int.from_bytes(payload[:32], "big")
        if code < 2**64:
            return _result(data, "panic", panic_suggestion(code), 1.0, panic_code=code,
                           panic_meaning=PANIC_MEANINGS.get(code, "unknown panic code"))
    entry = BY_SELECTOR.get(selector) if len(data) >= 4 else None
    if entry is not None and len(payload) >= 32 * len(entry[1]):
        name, params, suggestion = entry
        inputs = [[p, _input_json(t, payload[32 * i : 32 * i + 32])] for i, (p, t) in enumerate(params)]
        return _result(data, "custom_error", suggestion, CUSTOM_CONFIDENCE, error_name=name,
                       inputs=json.dumps(inputs, separators=(",", ":")))
    return _result(data, "raw_revert", UNKNOWN_SUGGESTION, 0.0)


def random_args(rng: random.Random, params: Params) -> list[Any]:
    """Arguments for eth_abi.encode: random addresses, uint256 around 2^128, random bytes32."""
    out: list[Any] = []
    for _, kind in params:
        if kind == "address":
            out.append("0x" + rng.randbytes(20).hex())
        elif kind == "bytes32":
            out.append(rng.randbytes(32))
        else:
            out.append(rng.choice([0, 1, 2**128 - 1, 2**128, 2**256 - 1, rng.getrandbits(rng.randint(1, 256))]))
    return out


def test_reference_selectors_match_the_published_ones() -> None:
    assert len(BUILTIN) == 45 and len(BY_SELECTOR) == 45
    assert ERROR_SELECTOR.hex() == "08c379a0" and PANIC_SELECTOR.hex() == "4e487b71"
    for name, params, _, published in BUILTIN:
        assert selector_of(signature(name, params)).hex() == published, name


def test_reference_agrees_with_eth_abi_on_valid_encodings() -> None:
    rng = random.Random(7)
    for name, params, _, published in BUILTIN:
        args = random_args(rng, params)
        types = [t for _, t in params]
        got = reference_decode(bytes.fromhex(published) + encode(types, args))
        assert got["kind"] == "custom_error" and got["error_name"] == name
        values = [v["value"] for _, v in json.loads(got["inputs"])]
        for kind, value, want in zip(types, values, decode(types, encode(types, args))):
            if kind == "bytes32":
                assert bytes(value) == want
            elif kind == "uint256":
                assert int(value) == want
            else:
                assert value == want.lower()
    for text in ["", "abc\x00", "Σ İ", "x" * 100]:
        got = reference_decode(ERROR_SELECTOR + encode(["string"], [text]))
        assert got["message"] == decode(["string"], encode(["string"], [text]))[0].rstrip("\x00")
