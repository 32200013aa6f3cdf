"""Compares unicode_lower() (through lowercase_driver) with Python's str.lower().

Every code point except the surrogates goes through one batch; then hypothesis builds strings
that mix capital sigma with cased letters, case-ignorable marks, spaces and arbitrary text
(Final_Sigma contexts), and raw byte strings, whose invalid UTF-8 must pass through unchanged
(the oracle keeps such bytes as surrogate escapes, which are neither cased nor ignorable).
Exits 77 (skipped) when this interpreter's Unicode version differs from the table's.
"""

import pathlib
import re
import struct
import subprocess
import sys
import unicodedata

from hypothesis import given, settings, strategies as st

DRIVER = sys.argv[1]
TABLE = pathlib.Path(__file__).resolve().parents[2] / "src/evm/lowercase_table.inc"


def frame(data: bytes) -> bytes:
    return struct.pack("<I", len(data)) + data


def unframe_all(blob: bytes) -> list[bytes]:
    out, pos = [], 0
    while pos < len(blob):
        (n,) = struct.unpack_from("<I", blob, pos)
        out.append(blob[pos + 4 : pos + 4 + n])
        pos += 4 + n
    return out


def expected(data: bytes) -> bytes:
    return data.decode("utf-8", "surrogateescape").lower().encode("utf-8", "surrogateescape")


def check_every_code_point() -> None:
    texts = [chr(cp) for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF]
    # A few whole words too, so the driver sees multi-character records.
    texts += ["ΟΔΥΣΣΕΥΣ", "İSTANBUL", "ΣΑΣ ΣΑΣ.", "A\u0345Σ\u0345", "Ownable: NOT THE OWNER"]
    data = [t.encode() for t in texts]
    run = subprocess.run([DRIVER], input=b"".join(map(frame, data)), capture_output=True,
                         check=True)
    got = unframe_all(run.stdout)
    assert len(got) == len(data), (len(got), len(data))
    bad = [(t, g) for t, d, g in zip(texts, data, got) if g != expected(d)]
    for text, g in bad[:20]:
        print(f"mismatch {text!r} (U+{ord(text[0]):04X}): got {g!r}, want {text.lower()!r}")
    assert not bad, f"{len(bad)} mismatches"
    print(f"{len(data)} records agree with str.lower")


class Driver:
    def __init__(self) -> None:
        self.proc = subprocess.Popen([DRIVER, "--interactive"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)

    def lower(self, data: bytes) -> bytes:
        self.proc.stdin.write(frame(data))
        self.proc.stdin.flush()
        (n,) = struct.unpack("<I", self.proc.stdout.read(4))
        return self.proc.stdout.read(n)

    def close(self) -> None:
        self.proc.stdin.close()
        assert self.proc.wait() == 0


# Capital/small sigma, cased letters (incl. titlecase, Other_Uppercase, cased-and-ignorable
# U+0345 and U+02B0), case-ignorable marks and punctuation (U+0301, apostrophe, period, colon,
# soft hyphen, U+00B7), U+0130, and uncased separators.
SIGMA_ALPHABET = list("ΣσςAaΩωİǅⅠ\u0345\u02b0\u0301'.:\u00ad\u00b7 1-\u200d\U0001d400")
sigma_text = st.lists(st.one_of(st.sampled_from(SIGMA_ALPHABET),
                                st.characters(blacklist_categories=("Cs",))),
                      max_size=12).map("".join)


def main() -> int:
    version = re.search(r"\(Unicode ([\d.]+)\)", TABLE.read_text(encoding="utf-8")).group(1)
    if version != unicodedata.unidata_version:
        print(f"table is Unicode {version}, interpreter {unicodedata.unidata_version}: skipped")
        return 77
    check_every_code_point()
    driver = Driver()

    @settings(max_examples=1500, deadline=None, database=None)
    @given(sigma_text)
    def sigma_contexts(text: str) -> None:
        assert driver.lower(text.encode()) == text.lower().encode(), text

    @settings(max_examples=500, deadline=None, database=None)
    @given(st.lists(st.one_of(st.binary(max_size=4), st.sampled_from([b"\xce\xa3", b"A"])),
                    max_size=8).map(b"".join))
    def raw_bytes(data: bytes) -> None:
        assert driver.lower(data) == expected(data), data

    sigma_contexts()
    raw_bytes()
    driver.close()
    print("sigma contexts and raw bytes agree with str.lower")
    return 0


if __name__ == "__main__":
    sys.exit(main())
