"""Error(string) and Panic(uint256) revert data, end to end."""

from __future__ import annotations

from typing import TYPE_CHECKING

import kestrix
import pytest
from eth_abi import encode
from hypothesis import given, settings, strategies as st

from test_decode_reference import PANIC_MEANINGS, UNKNOWN_SUGGESTION, reason_suggestion

if TYPE_CHECKING:
    from kestrix import DecodeResult

decoder = kestrix.EvmErrorDecoder()


def revert_string(text: str) -> DecodeResult:
    return decoder.decode("0x08c379a0" + encode(["string"], [text]).hex())


def panic(code_word: bytes) -> DecodeResult:
    return kestrix.decode_error("4e487b71" + code_word.hex())


@settings(max_examples=300, deadline=None)
@given(st.text())
def test_reason_round_trips(text: str) -> None:
    result = revert_string(text)
    assert result["kind"] == "revert_string" and result["confidence"] == 1.0
    assert result["message"] == text.rstrip("\x00")
    assert result["suggestion"] == reason_suggestion(text.rstrip("\x00"))


KEYWORDS = ["not the owner", "NOT OWNER", "Insufficient", "BALANCE", "allowance", "Paused",
            "ALREADY", "init", "İ", "Σ", "ＰＡＵＳＥＤ", "\x00", " "]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(KEYWORDS) | st.text(max_size=3), max_size=6).map("".join))
def test_suggestion_rules_follow_str_lower(text: str) -> None:
    assert revert_string(text)["suggestion"] == reason_suggestion(text.rstrip("\x00"))


@pytest.mark.parametrize("reason, suggestion", [
    ("Ownable: caller is not the owner", "Ensure the caller is the contract owner."),
    ("ERC20: insufficient allowance", "Increase the token allowance with approve() before calling transferFrom()."),
    ("insufficient balance for allowance", "The account balance is too low. Check the token balance before calling."),
    ("ERC20: transfer amount exceeds balance", None),
    ("Pausable: not paused", "The contract is paused. Wait for it to be unpaused."),
    ("Initializable: contract is already initialized", "The contract has already been initialized."),
    ("INSUFFICIENT BALANCE", "The account balance is too low. Check the token balance before calling."),
    ("İNSUFFICIENT BALANCE", None),  # U+0130 lowercases to "i" + U+0307
    ("ＰＡＵＳＥＤ", None),  # full-width letters are not the ASCII keyword
    ("LOK", None),
])
def test_suggestion_examples(reason: str, suggestion: str | None) -> None:
    assert revert_string(reason)["suggestion"] == suggestion


def test_nuls_and_invalid_utf8() -> None:
    assert revert_string("abc\x00\x00\x00")["message"] == "abc"
    assert revert_string("a\x00b\x00")["message"] == "a\x00b"
    assert revert_string("\x00\x00")["message"] == ""
    empty = revert_string("")
    assert (empty["message"], empty["suggestion"], empty["confidence"]) == ("", None, 1.0)
    for raw in [b"\xff", b"ok\xc3", b"\xe2\x82", b"\xed\xa0\x80x", b"\xf4\x90\x80\x80", b"a\xc0\xafb"]:
        result = decoder.decode("08c379a0" + encode(["bytes"], [raw]).hex())
        assert result["message"] == raw.decode("utf-8", "replace")


def word(value: int) -> bytes:
    return value.to_bytes(32, "big")


@pytest.mark.parametrize("code", [*PANIC_MEANINGS, 2, 0x52, 0x100, 2**64 - 1])
def test_panic_codes(code: int) -> None:
    meaning = PANIC_MEANINGS.get(code, "unknown panic code")
    for data in (word(code), word(code) + b"\x01" * 5):
        result = panic(data)
        assert (result["kind"], result["panic_code"], result["panic_meaning"]) == ("panic", code, meaning)
        assert result["suggestion"] == f"Solidity assert violation (panic code 0x{code:02x}): {meaning}."
        assert result["confidence"] == 1.0 and result["selector"] == "0x4e487b71"


@pytest.mark.parametrize("data", [word(2**64), word(2**256 - 1), word(0x11)[:31], b""])
def test_undecodable_panic_is_raw_revert(data: bytes) -> None:
    result = panic(data)
    assert (result["kind"], result["selector"], result["confidence"]) == ("raw_revert", "0x4e487b71", 0.0)
    assert result["suggestion"] == UNKNOWN_SUGGESTION and result["panic_code"] is None
