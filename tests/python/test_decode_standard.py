"""Error(string) and Panic(uint256) revert data, end to end."""

from __future__ import annotations

import kestrix
import pytest
from eth_abi import encode
from hypothesis import given, settings, strategies as st

from test_decode_reference import PANIC_MEANINGS, UNKNOWN_SUGGESTION, reason_suggestion

KEYWORDS = ["not the owner", "NOT OWNER", "Insufficient", "BALANCE", "allowance", "Paused",
            "ALREADY", "init", "İ", "Σ", "ＰＡＵＳＥＤ", "\x00", " "]


def revert_string(text: str | bytes) -> kestrix.DecodeResult:
    return kestrix.decode_error("0x08c379a0" + encode(["bytes" if isinstance(text, bytes) else "string"], [text]).hex())


@settings(max_examples=400, deadline=None)
@given(st.text() | st.lists(st.sampled_from(KEYWORDS) | st.text(max_size=3), max_size=6).map("".join))
def test_reason_round_trips_and_suggestion_follows_str_lower(text: str) -> None:
    result = revert_string(text)
    assert (result["kind"], result["confidence"], result["message"]) == ("revert_string", 1.0, text.rstrip("\x00"))
    assert result["suggestion"] == reason_suggestion(text.rstrip("\x00"))


@pytest.mark.parametrize("reason, message, suggestion", [
    ("Ownable: caller is not the owner", None, "Ensure the caller is the contract owner."),
    ("insufficient balance for allowance", None,
     "The account balance is too low. Check the token balance before calling."),
    ("ERC20: transfer amount exceeds balance", None, None),
    ("Pausable: not paused", None, "The contract is paused. Wait for it to be unpaused."),
    ("Initializable: contract is already initialized", None, "The contract has already been initialized."),
    ("İNSUFFICIENT BALANCE", None, None),  # U+0130 lowercases to "i" + U+0307
    ("ＰＡＵＳＥＤ", None, None),  # full-width letters are not the ASCII keyword
    ("a\x00b\x00\x00", "a\x00b", None),  # only trailing NULs go
    ("", "", None),
    *[(raw, raw.decode("utf-8", "replace"), None)
      for raw in [b"\xff", b"ok\xc3", b"\xe2\x82", b"\xed\xa0\x80x", b"\xf4\x90\x80\x80", b"a\xc0\xafb"]],
])
def test_reasons(reason: str | bytes, message: str | None, suggestion: str | None) -> None:
    result = revert_string(reason)
    assert (result["message"], result["suggestion"]) == (message or reason, suggestion)


@pytest.mark.parametrize("code", [*PANIC_MEANINGS, 2, 0x52, 0x100, 2**64 - 1, 2**64, 2**256 - 1])
def test_panic_codes(code: int) -> None:
    meaning, word = PANIC_MEANINGS.get(code, "unknown panic code"), code.to_bytes(32, "big")
    for data in (word, word + b"\x01" * 5, word[:31]):
        result = kestrix.EvmErrorDecoder().decode("4e487b71" + data.hex())
        assert result["selector"] == "0x4e487b71"
        if code < 2**64 and len(data) >= 32:
            assert (result["kind"], result["panic_code"], result["panic_meaning"], result["confidence"]) == (
                "panic", code, meaning, 1.0)
            assert result["suggestion"] == f"Solidity assert violation (panic code 0x{code:02x}): {meaning}."
        else:
            assert (result["kind"], result["panic_code"], result["confidence"]) == ("raw_revert", None, 0.0)
            assert result["suggestion"] == UNKNOWN_SUGGESTION
