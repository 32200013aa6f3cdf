"""Every built-in custom error, end to end, from payloads that eth_abi encodes."""

from __future__ import annotations

import json
import random
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import kestrix
import pytest
from eth_abi import encode

from test_decode_reference import BUILTIN, CUSTOM_CONFIDENCE, UNKNOWN_SUGGESTION, random_args

if TYPE_CHECKING:
    from kestrix import DecodeResult

Decode = Callable[[str], "DecodeResult"]


@pytest.fixture(params=["decode_error", "EvmErrorDecoder.decode"])
def decode(request: pytest.FixtureRequest) -> Decode:
    return kestrix.decode_error if request.param == "decode_error" else kestrix.EvmErrorDecoder().decode


def expected_inputs(params: list[tuple[str, str]], args: list[Any]) -> list[Any]:
    out: list[Any] = []
    for (name, kind), arg in zip(params, args):
        if kind == "address":
            value: dict[str, Any] = {"type": "address", "value": arg.lower()}
        elif kind == "bytes32":
            value = {"type": "bytes", "value": list(arg)}
        elif arg < 2**128:
            value = {"type": "uint", "value": arg}
        else:
            value = {"type": "biguint", "value": str(arg)}
        out.append([name, value])
    return out


@pytest.mark.parametrize("row", BUILTIN, ids=[row[0] for row in BUILTIN])
def test_every_builtin_error_decodes(decode: Decode, row: tuple[Any, ...]) -> None:
    name, params, suggestion, selector = row
    rng = random.Random(name)
    types = [t for _, t in params]
    for _ in range(6):
        args = random_args(rng, params)
        body = encode(types, args)
        for trailing in (b"", rng.randbytes(rng.randint(1, 40))):
            data = selector + (body + trailing).hex()
            result = decode(data)
            assert result["kind"] == "custom_error"
            assert result["error_name"] == name
            assert result["selector"] == "0x" + selector
            assert result["suggestion"] == suggestion
            assert result["confidence"] == CUSTOM_CONFIDENCE
            assert result["raw_data"] == "0x" + data
            assert json.loads(result["inputs"] or "null") == expected_inputs(params, args)
            assert result["message"] is None and result["panic_code"] is None


@pytest.mark.parametrize("row", [r for r in BUILTIN if r[1]], ids=[r[0] for r in BUILTIN if r[1]])
def test_short_payloads_fall_back_to_raw_revert(decode: Decode, row: tuple[Any, ...]) -> None:
    name, params, _, selector = row
    body = encode([t for _, t in params], random_args(random.Random(name), params))
    for cut in (1, 31, 32, len(body)):
        result = decode("0x" + selector + body[: len(body) - cut].hex())
        assert (result["kind"], result["selector"], result["confidence"]) == ("raw_revert", "0x" + selector, 0.0)
        assert result["suggestion"] == UNKNOWN_SUGGESTION
        assert result["error_name"] is None and result["inputs"] is None


def test_inputs_json_text_is_exact(decode: Decode) -> None:
    body = encode(["address", "uint256", "uint256"], ["0x" + "00" * 19 + "01", 2**128 - 1, 2**128])
    result = decode("e450d38c" + body.hex())
    assert result["inputs"] == (
        '[["sender",{"type":"address","value":"0x0000000000000000000000000000000000000001"}],'
        '["balance",{"type":"uint","value":340282366920938463463374607431768211455}],'
        '["needed",{"type":"biguint","value":"340282366920938463463374607431768211456"}]]'
    )
    # Non-zero upper bytes in an address word are ignored; upper-case hex input is accepted.
    dirty = bytearray(encode(["address"], ["0x" + "ab" * 20]))
    dirty[:12] = b"\xff" * 12
    result = decode("0x96C6FD1E" + dirty.hex().upper())
    assert json.loads(result["inputs"] or "null") == [["sender", {"type": "address", "value": "0x" + "ab" * 20}]]
    assert decode("d93c0665")["inputs"] == "[]"
