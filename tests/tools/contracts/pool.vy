# pragma version ~=0.4.3
# The pool: calls the vault and wraps its revert in ERC-7751 WrappedError.
inner: public(immutable(address))

@deploy
def __init__(target: address):
    inner = target

@external
def run(amount: uint256):
    ok: bool = False
    response: Bytes[512] = b""
    ok, response = raw_call(inner, abi_encode(amount, method_id=method_id("fail(uint256)")), max_outsize=512, revert_on_failure=False)
    if not ok:
        details: Bytes[1] = b""
        raw_revert(abi_encode(inner, method_id("fail(uint256)", output_type=bytes4), response, details, method_id=method_id("WrappedError(address,bytes4,bytes,bytes)")))
