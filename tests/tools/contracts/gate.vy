# pragma version ~=0.4.0
# Only the deployer may poke; anyone else's call reverts, so the same call succeeds or fails
# by sender alone.

owner: public(address)


@deploy
def __init__():
    self.owner = msg.sender


@external
def poke() -> uint256:
    assert msg.sender == self.owner, "only the owner may poke"
    return 1
