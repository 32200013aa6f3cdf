# pragma version ~=0.4.3
# The vault: reverts with its own error, naming the amount and the caller.
@external
def fail(amount: uint256):
    raw_revert(concat(method_id("InsufficientStock(uint256,address)"), abi_encode(amount, msg.sender)))
