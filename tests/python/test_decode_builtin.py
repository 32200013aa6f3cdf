"""Every built-in custom error, end to end, from payloads that eth_abi encodes."""

from __future__ import annotations

import json
import random
from typing import Any

import kestrix
import pytest
from eth_abi import encode

from test_decode_reference import BUILTIN, CUSTOM_CONFIDENCE, UNKNOWN_SUGGESTION, random_args


def expected_inputs(params: list[tuple[str, str]], args: list[Any]) -> str:
    def value(kind: str, arg: Any) -> dict[str, Any]:
        if kind == "address":
            return {"type": "address", "value": arg.lower()}
        if kind == "bytes32":
            return {"type": "bytes", "value": list(arg)}
        return {"type": "uint", "value": arg} if arg < 2**128 else {"type": "biguint", "value": str(arg)}
    return json.dumps([[name, value(kind, arg)] for (name, kind), arg in zip(params, args)], separators=(",", ":"))


@pytest.mark.parametrize("row", BUILTIN, ids=[row[0] for row in BUILTIN])
def test_every_builtin_error_decodes(row: tuple[Any, ...]) -> None:
    name, params, suggestion, selector = row
    rng = random.Random(name)
    for _ in range(6):
        args = random_args(rng, params)
        body = encode([t for _, t in params], args)
        for trailing in (b"", rng.randbytes(rng.randint(1, 40))):
            data = selector + (body + trailing).hex()
            result = kestrix.decode_error(data)
            assert (result["kind"], result["error_name"], result["selector"]) == ("custom_error", name, "0x" + selector)
            assert (result["suggestion"], result["confidence"]) == (suggestion, CUSTOM_CONFIDENCE)
            assert result["inputs"] == expected_inputs(params, args)
            assert result["raw_data"] == "0x" + data and result["message"] is result["panic_code"] is None
        # One byte short, a word short and no payload at all fall back to raw_revert.
        for cut in {1, 32, len(body)} if params else ():
            result = kestrix.decode_error(selector + body[: len(body) - cut].hex())
            assert (result["kind"], result["selector"], result["confidence"]) == ("raw_revert", "0x" + selector, 0.0)
            assert result["suggestion"] == UNKNOWN_SUGGESTION and result["error_name"] is result["inputs"] is None
