"""Revert payloads and hand-assembled contracts shared by the web3 tests."""

from __future__ import annotations

from eth_abi import encode

REASON = "Ownable: caller is not the owner"
HOLDER = "0x5b38da6a701c568545dcfcb03fcb875f56beddc4"

# One payload of each kind the decoder tells apart; the panic code is one web3 itself knows
# (it raises KeyError for codes outside its own table).
PAYLOADS = {
    "revert_string": "0x08c379a0" + encode(["string"], [REASON]).hex(),
    "panic": "0x4e487b71" + encode(["uint256"], [0x11]).hex(),
    "custom_error": "0xe450d38c" + encode(["address", "uint256", "uint256"], [HOLDER, 1000, 2000]).hex(),
    "raw_revert": "0xdeadbeef",
    "empty": "0x",
}

# Runtime code that reverts with its own calldata:
#   CALLDATASIZE PUSH1 0 PUSH1 0 CALLDATACOPY   memory[0:size] = calldata
#   CALLDATASIZE PUSH1 0 REVERT                 revert(0, size)
ECHO = "36" "6000" "6000" "37" "36" "6000" "fd"

# Runtime code for failures that are not a REVERT and so carry no revert data.
FAULTS = {
    "invalid opcode": "fe",
    "bad jump": "6000" "56",  # PUSH1 0 JUMP: offset 0 is no JUMPDEST
    "stack underflow": "01",  # ADD with an empty stack
    "out of gas": "6000" "63ffffffff" "52",  # MSTORE at 4 GiB: memory costs more than any gas
}


def creation_code(runtime: str) -> str:
    """Creation code that returns ``runtime`` (at most 255 bytes) as the contract's code:
    PUSH1 size DUP1 PUSH1 11 PUSH1 0 CODECOPY PUSH1 0 RETURN, then the runtime itself."""
    size = len(runtime) // 2
    assert size < 256
    return "0x" + f"60{size:02x}" "80" "600b" "6000" "39" "6000" "f3" + runtime
