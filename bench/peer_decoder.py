"""The same decoder written the obvious way in Python: selectors from pycryptodome's Keccak-256,
arguments from eth_abi.decode. It builds the same result dicts as kestrix for well-formed data
and is what the benchmark compares kestrix with."""

from __future__ import annotations

import json
import struct
from typing import Any

from Crypto.Hash import keccak
from eth_abi import decode as abi_decode

# name(type name, ...) | suggestion
SIGNATURES = """
ERC20InsufficientBalance(address sender,uint256 balance,uint256 needed) | The sender does not have enough token balance for this transfer.
ERC20InvalidSender(address sender)
ERC20InvalidReceiver(address receiver)
ERC20InsufficientAllowance(address spender,uint256 allowance,uint256 needed) | Increase the token allowance before calling transferFrom.
ERC20InvalidApprover(address approver)
ERC20InvalidSpender(address spender)
ERC721InvalidOwner(address owner)
ERC721NonexistentToken(uint256 tokenId)
ERC721IncorrectOwner(address sender,uint256 tokenId,address owner)
ERC721InvalidSender(address sender)
ERC721InvalidReceiver(address receiver)
ERC721InsufficientApproval(address operator,uint256 tokenId)
ERC721InvalidApprover(address approver)
ERC721InvalidOperator(address operator)
OwnableUnauthorizedAccount(address account) | Only the owner can call this function. Ensure you are using the owner address.
OwnableInvalidOwner(address owner)
AccessControlUnauthorizedAccount(address account,bytes32 neededRole) | The caller is missing the required role. Grant the role with grantRole().
AccessControlBadConfirmation()
ReentrancyGuardReentrantCall() | Reentrancy detected. Do not call this function recursively.
EnforcedPause() | The contract is paused. Wait for it to be unpaused.
ExpectedPause()
T() | Uniswap V3: tick out of range.
LOK() | Uniswap V3: pool is locked.
TLU() | Uniswap V3: tick lower >= tick upper.
TLM() | Uniswap V3: tick lower too low.
TUM() | Uniswap V3: tick upper too high.
AS() | Uniswap V3: amount specified is zero.
M0() | Uniswap V3: mint amounts are zero.
M1() | Uniswap V3: mint amount0 exceeds limit.
IIA() | Uniswap V3: insufficient input amount.
SPL() | Uniswap V3: sqrt price limit is out of range.
F0() | Uniswap V3: flash amount0 > balance.
F1() | Uniswap V3: flash amount1 > balance.
L() | Uniswap V3: liquidity is zero.
LS() | Uniswap V3: liquidity exceeds maximum.
LA() | Uniswap V3: liquidity amount overflows.
ERC4626ExceededMaxDeposit(address receiver,uint256 assets,uint256 max)
ERC4626ExceededMaxMint(address receiver,uint256 shares,uint256 max)
ERC4626ExceededMaxWithdraw(address owner,uint256 assets,uint256 max)
ERC4626ExceededMaxRedeem(address owner,uint256 shares,uint256 max)
AddressInsufficientBalance(address account)
AddressEmptyCode(address target) | The target address has no contract code deployed.
FailedInnerCall()
SafeERC20FailedOperation(address token) | The ERC-20 token operation failed. Ensure the token is compliant.
SafeERC20FailedDecreaseAllowance(address spender,uint256 currentAllowance)
"""

PANIC_MEANINGS = {
    0x00: "generic compiler-inserted panic", 0x01: "assert() called with false condition",
    0x11: "arithmetic overflow or underflow", 0x12: "division or modulo by zero",
    0x21: "invalid enum value", 0x22: "corrupted storage byte array",
    0x31: ".pop() on empty array", 0x32: "out-of-bounds array access",
    0x41: "too much memory allocated (out of memory)",
    0x51: "called zero-initialized internal function pointer",
}
REASON_RULES = [
    (("not the owner",), "Ensure the caller is the contract owner."),
    (("not owner",), "Ensure the caller is the contract owner."),
    (("insufficient", "balance"), "The account balance is too low. Check the token balance before calling."),
    (("allowance",), "Increase the token allowance with approve() before calling transferFrom()."),
    (("paused",), "The contract is paused. Wait for it to be unpaused."),
    (("already", "init"), "The contract has already been initialized."),
]
UNKNOWN = "Unknown error selector. Try looking up the selector on https://www.4byte.directory/"
CUSTOM_CONFIDENCE = struct.unpack("<f", struct.pack("<f", 0.95))[0]


def _selector(signature: str) -> bytes:
    return keccak.new(digest_bits=256, data=signature.encode()).digest()[:4]


ERROR_SELECTOR = _selector("Error(string)")
PANIC_SELECTOR = _selector("Panic(uint256)")


def _json_value(kind: str, value: Any) -> dict[str, Any]:
    if kind == "address":
        return {"type": "address", "value": value.lower()}
    if kind == "bytes32":
        return {"type": "bytes", "value": list(value)}
    if value < 2**128:
        return {"type": "uint", "value": value}
    return {"type": "biguint", "value": str(value)}


class PeerDecoder:
    """Builds its selector table (45 Keccak-256 digests) on construction, like EvmErrorDecoder."""

    def __init__(self) -> None:
        self.errors: dict[bytes, tuple[str, list[str], list[str], str | None]] = {}
        for line in SIGNATURES.strip().splitlines():
            head, _, hint = line.partition(" | ")
            name, _, args = head.rstrip(")").partition("(")
            pairs = [arg.split() for arg in args.split(",") if arg]
            types = [t for t, _ in pairs]
            self.errors[_selector(f"{name}({','.join(types)})")] = (
                name, types, [n for _, n in pairs], hint or None)

    def decode(self, data: str) -> dict[str, Any]:
        raw = bytes.fromhex(data[2:] if data.startswith("0x") else data)
        out: dict[str, Any] = {
            "raw_data": "0x" + raw.hex(), "selector": None, "suggestion": UNKNOWN,
            "confidence": 0.0, "kind": "raw_revert", "message": None, "error_name": None,
            "inputs": None, "panic_code": None, "panic_meaning": None}
        if not raw:
            out.update(suggestion="Transaction reverted with no error message.", confidence=0.5,
                       kind="empty")
            return out
        if len(raw) < 4:
            return out
        selector, payload = raw[:4], raw[4:]
        out["selector"] = "0x" + selector.hex()
        try:
            if selector == ERROR_SELECTOR:
                reason = abi_decode(["string"], payload)[0].rstrip("\x00")
                lowered = reason.lower()
                hint = next((s for keys, s in REASON_RULES if all(k in lowered for k in keys)), None)
                out.update(kind="revert_string", message=reason, suggestion=hint, confidence=1.0)
                return out
            if selector == PANIC_SELECTOR:
                code = abi_decode(["uint256"], payload)[0]
                if code < 2**64:
                    meaning = PANIC_MEANINGS.get(code, "unknown panic code")
                    out.update(kind="panic", panic_code=code, panic_meaning=meaning, confidence=1.0,
                               suggestion=f"Solidity assert violation (panic code 0x{code:02x}): {meaning}.")
                    return out
            entry = self.errors.get(selector)
            if entry is not None:
                name, types, names, hint = entry
                values = abi_decode(types, payload)
                inputs = [[n, _json_value(t, v)] for n, t, v in zip(names, types, values)]
                out.update(kind="custom_error", error_name=name, suggestion=hint,
                           confidence=CUSTOM_CONFIDENCE,
                           inputs=json.dumps(inputs, separators=(",", ":")))
        except Exception:  # noqa: BLE001 - anything that does not decode is raw data
            pass
        return out


def decode_error(data: str) -> dict[str, Any]:
    return PeerDecoder().decode(data)
