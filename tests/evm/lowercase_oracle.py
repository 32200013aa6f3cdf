# Compares unicode_lower() (through lowercase_driver) with Python's str.lower(): every code
# point but the surrogates, then hypothesis strings in Final_Sigma contexts, and raw bytes whose
# invalid UTF-8 must pass through unchanged (as surrogate escapes: neither cased nor ignorable).
# Exits 77 (skipped) when the interpreter's Unicode version is not the table's or hypothesis
# is missing.

import pathlib
import re
import subprocess
import sys
import unicodedata

try:
    from hypothesis import given, settings, strategies as st
except ImportError:
    print(f"hypothesis is not installed for {sys.executable}: skipped")
    sys.exit(77)

TABLE = pathlib.Path(__file__).resolve().parents[2] / "src/evm/lowercase_table.inc"
VERSION = re.search(r"\(Unicode ([\d.]+)\)", TABLE.read_text(encoding="utf-8")).group(1)
if VERSION != unicodedata.unidata_version:
    print(f"table is Unicode {VERSION}, interpreter {unicodedata.unidata_version}: skipped")
    sys.exit(77)


def expected(data: bytes) -> bytes:
    return data.decode("utf-8", "surrogateescape").lower().encode("utf-8", "surrogateescape")


texts = [chr(cp).encode() for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF]
texts += [t.encode() for t in ("ΟΔΥΣΣΕΥΣ", "İSTANBUL", "ΣΑΣ ΣΑΣ.", "A\u0345Σ\u0345")]
run = subprocess.run([sys.argv[1]], input="".join(t.hex() + "\n" for t in texts),
                     capture_output=True, text=True, check=True)
got = run.stdout.splitlines()
bad = [(t, g) for t, g in zip(texts, got) if g != expected(t).hex()]
for text, g in bad[:20]:
    print(f"mismatch {text!r}: got {bytes.fromhex(g)!r}, want {expected(text)!r}")
assert len(got) == len(texts) and not bad, f"{len(bad)} mismatches, {len(got)} answers"
print(f"{len(texts)} texts agree with str.lower")

DRIVER = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def lower(data: bytes) -> bytes:
    DRIVER.stdin.write(data.hex() + "\n")
    DRIVER.stdin.flush()
    return bytes.fromhex(DRIVER.stdout.readline())


# Capital/small sigma, cased letters (titlecase, Other_Uppercase, the cased-and-ignorable
# U+0345 and U+02B0), case-ignorable marks and punctuation, U+0130, and uncased separators.
SIGMA_ALPHABET = list("ΣσςAaΩωİǅⅠ\u0345\u02b0\u0301'.:\u00ad\u00b7 1-\u200d\U0001d400")


@settings(max_examples=1500, deadline=None, database=None)
@given(st.lists(st.sampled_from(SIGMA_ALPHABET) | st.characters(blacklist_categories=("Cs",)),
                max_size=12).map("".join))
def sigma_contexts(text: str) -> None:
    assert lower(text.encode()) == text.lower().encode(), text


@settings(max_examples=500, deadline=None, database=None)
@given(st.lists(st.binary(max_size=4) | st.sampled_from([b"\xce\xa3", b"A"]), max_size=8)
       .map(b"".join))
def raw_bytes(data: bytes) -> None:
    assert lower(data) == expected(data), data


sigma_contexts()
raw_bytes()
DRIVER.stdin.close()
assert DRIVER.wait() == 0
print("sigma contexts and raw bytes agree with str.lower")
