# pragma version ~=0.4.3
# The router: calls the pool and wraps its revert in ExecutionFailed, as command 1.
inner: public(immutable(address))

@deploy
def __init__(target: address):
    inner = target

@external
def execute(amount: uint256):
    ok: bool = False
    response: Bytes[1024] = b""
    ok, response = raw_call(inner, abi_encode(amount, method_id=method_id("run(uint256)")), max_outsize=1024, revert_on_failure=False)
    if not ok:
        raw_revert(abi_encode(convert(1, uint256), response, method_id=method_id("ExecutionFailed(uint256,bytes)")))
