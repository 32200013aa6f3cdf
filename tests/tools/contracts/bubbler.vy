# pragma version ~=0.4.3
# Calls the vault and reverts with its revert unchanged.
inner: public(immutable(address))

@deploy
def __init__(target: address):
    inner = target

@external
def execute(amount: uint256):
    ok: bool = False
    response: Bytes[512] = b""
    ok, response = raw_call(inner, abi_encode(amount, method_id=method_id("fail(uint256)")), max_outsize=512, revert_on_failure=False)
    if not ok:
        raw_revert(response)
