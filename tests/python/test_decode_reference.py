"""An independent reference decoder for revert data: selectors from pycryptodome's Keccak-256,
lenient word reads (counts from a word's last 8 bytes; padding and trailing bytes unchecked),
reasons lowercased by str.lower. Checked below against published selectors and eth_abi."""

from __future__ import annotations

import json
import random
import struct
from typing import Any

from Crypto.Hash import keccak
from eth_abi import decode, encode

Params = list[tuple[str, str]]

# Published selector, signature with parameter names, and the suggestion after " | ".
_TABLE = """
e450d38c ERC20InsufficientBalance(address sender,uint256 balance,uint256 needed) \
| The sender does not have enough token balance for this transfer.
96c6fd1e ERC20InvalidSender(address sender)
ec442f05 ERC20InvalidReceiver(address receiver)
fb8f41b2 ERC20InsufficientAllowance(address spender,uint256 allowance,uint256 needed) \
| Increase the token allowance before calling transferFrom.
e602df05 ERC20InvalidApprover(address approver)
94280d62 ERC20InvalidSpender(address spender)
89c62b64 ERC721InvalidOwner(address owner)
7e273289 ERC721NonexistentToken(uint256 tokenId)
64283d7b ERC721IncorrectOwner(address sender,uint256 tokenId,address owner)
73c6ac6e ERC721InvalidSender(address sender)
64a0ae92 ERC721InvalidReceiver(address receiver)
177e802f ERC721InsufficientApproval(address operator,uint256 tokenId)
a9fbf51f ERC721InvalidApprover(address approver)
5b08ba18 ERC721InvalidOperator(address operator)
118cdaa7 OwnableUnauthorizedAccount(address account) \
| Only the owner can call this function. Ensure you are using the owner address.
1e4fbdf7 OwnableInvalidOwner(address owner)
e2517d3f AccessControlUnauthorizedAccount(address account,bytes32 neededRole) \
| The caller is missing the required role. Grant the role with grantRole().
6697b232 AccessControlBadConfirmation()
3ee5aeb5 ReentrancyGuardReentrantCall() | Reentrancy detected. Do not call this function recursively.
d93c0665 EnforcedPause() | The contract is paused. Wait for it to be unpaused.
8dfc202b ExpectedPause()
2bc80f3a T() | Uniswap V3: tick out of range.
a1bf7886 LOK() | Uniswap V3: pool is locked.
2fe0284f TLU() | Uniswap V3: tick lower >= tick upper.
9ad612e8 TLM() | Uniswap V3: tick lower too low.
d7b54ab1 TUM() | Uniswap V3: tick upper too high.
03fff018 AS() | Uniswap V3: amount specified is zero.
748800af M0() | Uniswap V3: mint amounts are zero.
20e5672e M1() | Uniswap V3: mint amount0 exceeds limit.
ba0b951e IIA() | Uniswap V3: insufficient input amount.
fcdf4aa7 SPL() | Uniswap V3: sqrt price limit is out of range.
f704e899 F0() | Uniswap V3: flash amount0 > balance.
e90c3493 F1() | Uniswap V3: flash amount1 > balance.
9f13f76d L() | Uniswap V3: liquidity is zero.
eb0f5cc6 LS() | Uniswap V3: liquidity exceeds maximum.
96b9a4a6 LA() | Uniswap V3: liquidity amount overflows.
79012fb2 ERC4626ExceededMaxDeposit(address receiver,uint256 assets,uint256 max)
284ff667 ERC4626ExceededMaxMint(address receiver,uint256 shares,uint256 max)
fe9cceec ERC4626ExceededMaxWithdraw(address owner,uint256 assets,uint256 max)
b94abeec ERC4626ExceededMaxRedeem(address owner,uint256 shares,uint256 max)
cd786059 AddressInsufficientBalance(address account)
9996b315 AddressEmptyCode(address target) | The target address has no contract code deployed.
1425ea42 FailedInnerCall()
5274afe7 SafeERC20FailedOperation(address token) | The ERC-20 token operation failed. Ensure the token is compliant.
b9ac796a SafeERC20FailedDecreaseAllowance(address spender,uint256 currentAllowance)
"""


def _row(line: str) -> tuple[str, Params, str | None, str]:
    head, _, suggestion = line.partition(" | ")
    selector, _, call = head.partition(" ")
    name, _, args = call.rstrip(")").partition("(")
    params = [(arg.split()[1], arg.split()[0]) for arg in args.split(",") if arg]
    return name, params, suggestion or None, selector


BUILTIN = [_row(line) for line in _TABLE.strip().splitlines()]
PANIC_MEANINGS = {
    0x00: "generic compiler-inserted panic", 0x01: "assert() called with false condition",
    0x11: "arithmetic overflow or underflow", 0x12: "division or modulo by zero",
    0x21: "invalid enum value", 0x22: "corrupted storage byte array", 0x31: ".pop() on empty array",
    0x32: "out-of-bounds array access", 0x41: "too much memory allocated (out of memory)",
    0x51: "called zero-initialized internal function pointer",
}
# Keywords that must all occur, an alternative set, and the suggestion; the first match wins.
REASON_RULES = [
    (("not the owner",), ("not owner",), "Ensure the caller is the contract owner."),
    (("insufficient", "balance"), None, "The account balance is too low. Check the token balance before calling."),
    (("allowance",), None, "Increase the token allowance with approve() before calling transferFrom()."),
    (("paused",), None, "The contract is paused. Wait for it to be unpaused."),
    (("already", "init"), None, "The contract has already been initialized."),
]
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
        if any(keys and all(k in lowered for k in keys) for keys in (all_of, alternative)):
            return suggestion
    return None


def _count(word: bytes) -> int:
    return int.from_bytes(word[24:32], "big")


def _read_string(payload: bytes) -> str | None:
    if len(payload) < 32 or _count(payload) > len(payload):
        return None
    tail = payload[_count(payload):]
    if len(tail) < 32 or 32 + _count(tail) > len(tail):
        return None
    return tail[32 : 32 + _count(tail)].decode("utf-8", "replace")


def _input_json(kind: str, word: bytes) -> dict[str, Any]:
    value = int.from_bytes(word, "big")
    if kind == "address":
        return {"type": "address", "value": "0x" + word[12:].hex()}
    if kind == "bytes32":
        return {"type": "bytes", "value": list(word)}
    return {"type": "uint", "value": value} if value < 2**128 else {"type": "biguint", "value": str(value)}


def reference_decode(data: bytes) -> dict[str, Any]:
    """The result dict kestrix should give for `data`, built independently."""
    selector, payload = (data[:4], data[4:]) if len(data) >= 4 else (None, b"")
    out: dict[str, Any] = {"raw_data": "0x" + data.hex(), "selector": selector and "0x" + selector.hex(),
                           "suggestion": UNKNOWN_SUGGESTION, "confidence": 0.0, "kind": "raw_revert"}
    out.update(dict.fromkeys(("message", "error_name", "inputs", "panic_code", "panic_meaning")))
    text = _read_string(payload) if selector == ERROR_SELECTOR else None
    code = int.from_bytes(payload[:32], "big") if selector == PANIC_SELECTOR and len(payload) >= 32 else 2**64
    entry = BY_SELECTOR.get(selector or b"")
    if not data:
        out.update(kind="empty", suggestion="Transaction reverted with no error message.", confidence=0.5)
    elif text is not None:
        reason = text.rstrip("\x00")
        out.update(kind="revert_string", suggestion=reason_suggestion(reason), confidence=1.0, message=reason)
    elif code < 2**64:
        meaning = PANIC_MEANINGS.get(code, "unknown panic code")
        out.update(kind="panic", confidence=1.0, panic_code=code, panic_meaning=meaning,
                   suggestion=f"Solidity assert violation (panic code 0x{code:02x}): {meaning}.")
    elif entry is not None and len(payload) >= 32 * len(entry[1]):
        name, params, suggestion = entry
        inputs = [[p, _input_json(t, payload[32 * i : 32 * i + 32])] for i, (p, t) in enumerate(params)]
        out.update(kind="custom_error", suggestion=suggestion, confidence=CUSTOM_CONFIDENCE, error_name=name,
                   inputs=json.dumps(inputs, separators=(",", ":")))
    return out


def random_args(rng: random.Random, params: Params) -> list[Any]:
    """Arguments for eth_abi.encode: random addresses, uint256 around 2^128, random bytes32."""
    def one(kind: str) -> Any:
        if kind == "address":
            return "0x" + rng.randbytes(20).hex()
        if kind == "bytes32":
            return rng.randbytes(32)
        return rng.choice([0, 1, 2**128 - 1, 2**128, 2**256 - 1, rng.getrandbits(rng.randint(1, 256))])
    return [one(kind) for _, kind in params]


def test_reference_selectors_match_the_published_ones() -> None:
    assert len(BUILTIN) == 45 and len(BY_SELECTOR) == 45
    assert ERROR_SELECTOR.hex() == "08c379a0" and PANIC_SELECTOR.hex() == "4e487b71"
    for name, params, _, published in BUILTIN:
        assert selector_of(signature(name, params)).hex() == published, name


def test_reference_agrees_with_eth_abi_on_valid_encodings() -> None:
    rng = random.Random(7)
    for name, params, _, published in BUILTIN:
        types = [t for _, t in params]
        body = encode(types, random_args(rng, params))
        got = reference_decode(bytes.fromhex(published) + body)
        assert got["kind"] == "custom_error" and got["error_name"] == name
        values = [v["value"] for _, v in json.loads(got["inputs"])]
        shown = [bytes(v) if t == "bytes32" else int(v) if t == "uint256" else v for t, v in zip(types, values)]
        assert shown == [w.lower() if t == "address" else w for t, w in zip(types, decode(types, body))]
    for text in ["", "abc\x00", "Σ İ", "x" * 100]:
        got = reference_decode(ERROR_SELECTOR + encode(["string"], [text]))
        assert got["message"] == decode(["string"], encode(["string"], [text]))[0].rstrip("\x00")
