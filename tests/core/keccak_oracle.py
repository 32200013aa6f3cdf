"""Compares the C++ Keccak-256 (keccak_driver) with pycryptodome's on random messages.
Exits 77 (skipped) when pycryptodome is missing."""

import random
import subprocess
import sys

try:
    from Crypto.Hash import keccak
except ImportError:
    print(f"pycryptodome is not installed for {sys.executable}: skipped")
    sys.exit(77)

# Lengths around the 136-byte rate, messages made of padding bytes, then random lengths.
BOUNDARIES = [0, 1, 31, 32, 33, 134, 135, 136, 137, 271, 272, 273, 407, 408, 409, 600]
seed = random.randrange(2**32)
rng = random.Random(seed)
inputs = [rng.randbytes(n) for n in BOUNDARIES for _ in range(3)]
inputs += [fill * n for fill in (b"\x01", b"\x80") for n in (135, 136, 137)]
inputs += [rng.randbytes(rng.randint(0, 600)) for _ in range(1200)]
run = subprocess.run([sys.argv[1]], input="".join(m.hex() + "\n" for m in inputs),
                     capture_output=True, text=True, check=True)
got = run.stdout.split()
bad = [m for m, g in zip(inputs, got) if g != keccak.new(digest_bits=256, data=m).hexdigest()]
for m in bad[:5]:
    print(f"mismatch at length {len(m)}: {m.hex()}")
print(f"{len(inputs)} messages, {len(got)} digests, {len(bad)} mismatches (seed {seed})")
sys.exit(1 if bad or len(got) != len(inputs) else 0)
