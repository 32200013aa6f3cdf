"""Meanings, in our own words, for known errors and reason codes (stub)."""
from typing import Any
HINTS: dict[str, str] = {}
def reason_entries(strings: Any, constants: Any, ids: Any) -> tuple[list[dict[str, Any]], list[str]]:
    return [], []
