"""Compares the C++ Keccak-256 with pycryptodome's on random messages.

Usage: keccak_oracle.py <driver executable>. The driver reads hex messages, one per line, and
prints one hex digest per line.
"""

import random
import subprocess
import sys

from Crypto.Hash import keccak

RATE = 136
# Every length around the block boundaries, then random lengths up to 600 bytes.
BOUNDARY_LENGTHS = [0, 1, 2, 7, 8, 9, 31, 32, 33, 134, 135, 136, 137, 271, 272, 273,
                    407, 408, 409, 599, 600]
RANDOM_COUNT = 1200


def messages(rng: random.Random) -> list[bytes]:
    out = [rng.randbytes(n) for n in BOUNDARY_LENGTHS for _ in range(3)]
    # Padding bytes appearing in the message itself must not confuse the padding.
    out += [b"\x01" * n for n in (RATE - 1, RATE, RATE + 1)]
    out += [b"\x80" * n for n in (RATE - 1, RATE, RATE + 1)]
    out += [rng.randbytes(rng.randint(0, 600)) for _ in range(RANDOM_COUNT)]
    return out


def main() -> int:
    seed = random.randrange(2**32)
    rng = random.Random(seed)
    inputs = messages(rng)
    stdin = "".join(m.hex() + "\n" for m in inputs)
    run = subprocess.run([sys.argv[1]], input=stdin, capture_output=True, text=True, check=True)
    digests = run.stdout.split()
    if len(digests) != len(inputs):
        print(f"driver returned {len(digests)} digests for {len(inputs)} inputs")
        return 1
    failures = 0
    for message, got in zip(inputs, digests):
        want = keccak.new(digest_bits=256, data=message).hexdigest()
        if got != want:
            failures += 1
            if failures <= 5:
                print(f"length {len(message)}: got {got}, want {want}, message {message.hex()}")
    print(f"{len(inputs)} messages, {failures} mismatches (seed {seed})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
