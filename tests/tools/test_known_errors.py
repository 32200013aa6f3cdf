"""Known errors, reason tables and the user's signature database in the Decoder's chain: every
known error encoded by eth-abi with random arguments decodes to its name and values; colliding
signatures are resolved by exact decoding; every reason-table entry is reached; a signature
database works as a text file and as a folder in ethereum-lists/4bytes's layout."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest
from eth_abi import encode
from hypothesis import HealthCheck, given, settings, strategies as st

import kestrix
from kestrix_tools import Decoder, decoder as decoder_module
from test_decoder_differential import Node, form, values

from conftest import call, selector

FIXTURE = Path(__file__).parent / "data" / "known"
SHIPPED = Path(decoder_module.__file__).parent / "data"
REASON = "0x08c379a0"


def node_of(param: dict[str, Any]) -> Node:
    """The differential test's type tree of a JSON ABI parameter."""
    text = param["type"]
    base, _, rest = text.partition("[")
    if base == "tuple":
        node: Node = ("tuple", tuple((c["name"], node_of(c)) for c in param["components"]))
    else:
        node = ("leaf", base, base)
    for dim in ("[" + rest).split("[")[1:] if rest else []:
        size = dim.rstrip("]")
        node = ("array", node, int(size) if size else None)
    return node


def _canonical(node: Node) -> str:
    if node[0] == "leaf":
        return str(node[2])
    if node[0] == "array":
        return _canonical(node[1]) + (f"[{node[2]}]" if node[2] else "[]")
    return "(" + ",".join(_canonical(child) for _, child in node[1]) + ")"


@pytest.fixture
def fixture_data(monkeypatch: pytest.MonkeyPatch) -> Path:
    monkeypatch.setattr(decoder_module, "_DATA_DIR", FIXTURE)
    return FIXTURE


def detail(decoder: Decoder, data: str) -> tuple[Any, tuple[str, ...]]:
    """The result dict and the alternatives of the outermost layer."""
    layer = decoder.explain(data).chain[0]
    assert layer.to_dict() == decoder.decode(data)
    return layer.to_dict(), layer.alternatives


def reason(text: str) -> str:
    return call("Error(string)", ["string"], [text])


def known_documents() -> list[tuple[str, dict[str, Any]]]:
    docs = [("fixture", json.loads((FIXTURE / "known_errors.json").read_text()))]
    if (SHIPPED / "known_errors.json").is_file():
        docs.append(("shipped", json.loads((SHIPPED / "known_errors.json").read_text())))
    return docs


CHUNK = 250


@pytest.mark.parametrize(("label", "first"), [(label, first) for label, doc in known_documents()
                                              for first in range(0, len(doc["errors"]), CHUNK)])
@settings(max_examples=1, deadline=None, database=None,
          suppress_health_check=[HealthCheck.large_base_example, HealthCheck.data_too_large, HealthCheck.too_slow])
@given(data=st.data())
def test_every_known_error_decodes_what_eth_abi_encodes(label: str, first: int, data: st.DataObject) -> None:
    document = dict(known_documents())[label]
    with pytest.MonkeyPatch.context() as patch:
        if label == "fixture":
            patch.setattr(decoder_module, "_DATA_DIR", FIXTURE)
        decoder = Decoder()
    earlier = Decoder(known=False)  # the built-ins and the known wrappers come first
    by_selector: dict[str, list[str]] = {}
    for entry in document["errors"]:
        by_selector.setdefault(entry["selector"], []).append(entry["signature"])
    for entry in document["errors"][first:first + CHUNK]:
        nodes = [node_of(p) for p in entry["params"]]
        assert selector(entry["signature"]) == entry["selector"]
        assert entry["signature"] == f"{entry['name']}({','.join(_canonical(n) for n in nodes)})"
        args = data.draw(st.tuples(*(values(n) for n in nodes)), label=entry["signature"])
        payload = "0x" + entry["selector"] + encode([_canonical(n) for n in nodes], args).hex()
        got, alternatives = detail(decoder, payload)
        if earlier.decode(payload)["kind"] == "custom_error":
            continue
        assert got["kind"] == "custom_error", entry["signature"]
        if len(by_selector[entry["selector"]]) > 1:
            # A colliding selector: the name decoded is one of the signatures that fit.
            fits = (got["error_name"], *[a.partition("(")[0] for a in alternatives])
            assert entry["name"] in fits
            continue
        assert got["error_name"] == entry["name"] and got["confidence"] == pytest.approx(0.9)
        want = [[p["name"], form(n, a, True)] for p, n, a in zip(entry["params"], nodes, args)]
        assert json.loads(got["inputs"]) == want
        assert alternatives == ()


def test_chain_order_confidence_and_known_off(fixture_data: Path) -> None:
    on, off = Decoder(), Decoder(known=False)
    balance = call("ERC20InsufficientBalance(address,uint256,uint256)", ["address", "uint256", "uint256"],
                   ["0x" + "11" * 20, 1, 2])
    # A built-in wins over a known error of the same signature.
    assert on.decode(balance) == off.decode(balance) == kestrix.decode_error(balance)
    unauthorized = "0x" + selector("Unauthorized()")
    assert on.decode(unauthorized)["confidence"] == pytest.approx(0.9)
    assert on.decode(unauthorized)["suggestion"] == "Unauthorized is a known error of Fixture Protocol."
    assert off.decode(unauthorized) == kestrix.decode_error(unauthorized)
    # Known errors must be exact: a byte too many is raw data.
    assert on.decode(unauthorized + "00")["kind"] == "raw_revert"
    # The user's own errors still come first.
    mine = Decoder(signatures=["error Unauthorized()"])
    assert mine.decode(unauthorized)["confidence"] == pytest.approx(0.95)
    for data in [reason("STF"), reason("Pausable: not paused"), "0x", "0xdeadbeef"]:
        assert off.decode(data) == kestrix.decode_error(data)


def test_collision_resolved_by_exact_decoding(fixture_data: Path) -> None:
    decoder = Decoder()
    assert selector("burn(uint256)") == selector("collate_propagate_storage(bytes16)")
    # Low bytes set: only the uint256 reading is exact, though the bytes16 one is listed first.
    got, alternatives = detail(decoder, "0x42966c68" + encode(["uint256"], [5]).hex())
    assert (got["error_name"], alternatives) == ("burn", ())
    assert json.loads(got["inputs"]) == [["amount", {"type": "uint", "value": 5}]]
    # Clean padding: both fit; the first listed wins and the other is its alternative.
    got, alternatives = detail(decoder, "0x42966c68" + encode(["bytes16"], [b"\x07" * 16]).hex())
    assert (got["error_name"], alternatives) == ("collate_propagate_storage", ("burn(uint256)",))
    assert got["suggestion"] == "first of a colliding pair"
    # Neither fits data with a word too many.
    assert decoder.decode("0x42966c68" + "00" * 64)["kind"] == "raw_revert"


@pytest.mark.parametrize("dirty", [
    ("SmallInts(int8,uint24,bool,bytes3,address)", 0, 30, "00"),  # int8 not sign-extended
    ("SmallInts(int8,uint24,bool,bytes3,address)", 1, 0, "01"),  # uint24 above its width
    ("SmallInts(int8,uint24,bool,bytes3,address)", 2, 31, "02"),  # bool of 2
    ("SmallInts(int8,uint24,bool,bytes3,address)", 3, 31, "01"),  # bytes3 padding
    ("SmallInts(int8,uint24,bool,bytes3,address)", 4, 0, "01"),  # address high bytes
])
def test_dirty_words_are_not_exact(fixture_data: Path, dirty: tuple[str, int, int, str]) -> None:
    signature, word, at, byte = dirty
    clean = bytearray(encode(["int8", "uint24", "bool", "bytes3", "address"], [-1, 7, True, b"abc", b"\x01" * 20]))
    decoder = Decoder()
    assert decoder.decode("0x" + selector(signature) + clean.hex())["error_name"] == "SmallInts"
    clean[32 * word + at] = int(byte, 16) if word else 0x00
    assert decoder.decode("0x" + selector(signature) + clean.hex())["kind"] == "raw_revert"


def test_dynamic_encodings_must_be_canonical(fixture_data: Path) -> None:
    decoder = Decoder()
    types = ["(address,uint128[2])[]", "bytes32", "string"]
    body = bytearray(encode(types, [[(b"\x02" * 20, (1, 2))], b"\x03" * 32, "why"]))
    sig = "0x" + selector("OrderInvalid((address,uint128[2])[],bytes32,string)")
    assert decoder.decode(sig + body.hex())["error_name"] == "OrderInvalid"
    # Padding after the string's bytes.
    assert decoder.decode(sig + body[:-1].hex() + "01")["kind"] == "raw_revert"
    # An offset pointing past a gap: lenient decoders accept it, exact decoding does not.
    moved = bytearray(body)
    moved[31 + 64 + 32] += 32
    assert decoder.decode(sig + moved.hex() + "00" * 32)["kind"] == "raw_revert"


@pytest.mark.parametrize("data_dir", [FIXTURE, SHIPPED])
def test_every_reason_entry_is_reached(data_dir: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    if not (data_dir / "reason_codes.json").is_file():
        pytest.skip("no reason table shipped")
    monkeypatch.setattr(decoder_module, "_DATA_DIR", data_dir)
    decoder = Decoder()
    table = json.loads((data_dir / "reason_codes.json").read_text())["entries"]
    for entry in table:
        text = entry["text"] + ("" if entry["match"] == "exact" else "zz: x")
        if entry["applies_to"] == "FailedOp":
            data = call("FailedOp(uint256,string)", ["uint256", "string"], [3, text])
        else:
            data = reason(text)
        assert decoder.decode(data)["suggestion"] == entry["meaning"], entry


@pytest.mark.parametrize(("data", "want"), [
    (reason("Pausable: not paused"), "OpenZeppelin v4: the call is only allowed while the contract is paused"),
    (reason("AccessControl: account 0x01 is missing role 0x02"), "OpenZeppelin v4: the account lacks"),
    (reason("BAL#401"), "Balancer v2: the caller is not allowed."),
    (reason("BAL#999"), "Balancer v2: a numbered error"),
    (reason("Pausable: paused"), "The contract is paused."),  # no table entry: the keyword rule
    (call("FailedOp(uint256,string)", ["uint256", "string"], [0, "AA21 didn't pay prefund"]),
     "ERC-4337: exact text"),
    (call("FailedOp(uint256,string)", ["uint256", "string"], [0, "AA23 reverted"]), "ERC-4337: the account's"),
    (call("FailedOp(uint256,string)", ["uint256", "string"], [0, "AA10 sender already constructed"]),
     "A user operation failed in the EntryPoint."),
    (call("FailedOpWithRevert(uint256,string,bytes)", ["uint256", "string", "bytes"], [0, "AA21 x", b"\x01"]),
     "ERC-4337: the account did not pay"),
])
def test_tables_before_keywords(fixture_data: Path, data: str, want: str) -> None:
    got = Decoder().decode(data)["suggestion"]
    assert got is not None and got.startswith(want)
    if data == reason("Pausable: not paused"):
        assert kestrix.decode_error(data)["suggestion"] == "The contract is paused. Wait for it to be unpaused."
        assert Decoder(known=False).decode(data) == kestrix.decode_error(data)


SIGNATURES = ["transfer(address,uint256)", "burn(uint256)", "collate_propagate_storage(bytes16)",
              "InsufficientFunds(uint256,uint256)", "Bad((address,bytes)[])", "Unauthorized()"]


def test_signature_db_text_and_folder(tmp_path: Path) -> None:
    text = tmp_path / "signatures.txt"
    text.write_text("# my signatures\n\n" + "\n".join(SIGNATURES) + "\nnot a signature(\n  burn(uint256)  \n")
    folder = tmp_path / "signatures"
    folder.mkdir()
    for signature in SIGNATURES:
        file = folder / selector(signature)
        file.write_text(file.read_text() + ";" + signature if file.exists() else signature)
    funds = call("InsufficientFunds(uint256,uint256)", ["uint256", "uint256"], [1, 2])
    bad = call("Bad((address,bytes)[])", ["(address,bytes)[]"], [[(b"\x01" * 20, b"xy")]])
    for db in (text, folder, str(folder)):
        decoder = Decoder(known=False, signature_db=db)
        got = decoder.decode(funds)
        assert (got["error_name"], got["confidence"]) == ("InsufficientFunds", 0.5)
        assert json.loads(got["inputs"]) == [["", {"type": "uint", "value": 1}], ["", {"type": "uint", "value": 2}]]
        assert decoder.decode(bad)["error_name"] == "Bad"
        assert decoder.decode(funds + "00")["kind"] == "raw_revert"
        got, alternatives = detail(decoder, "0x42966c68" + "00" * 31 + "01")
        assert (got["error_name"], alternatives) == ("burn", ())
        got, alternatives = detail(decoder, "0x42966c68" + "07" * 16 + "00" * 16)
        assert (got["error_name"], alternatives) == ("burn", ("collate_propagate_storage(bytes16)",))
        assert decoder.decode("0x" + selector("Unauthorized()"))["error_name"] == "Unauthorized"
        assert decoder.decode("0xdeadbeef") == kestrix.decode_error("0xdeadbeef")
        # Built-ins come first.
        balance = call("ERC20InsufficientBalance(address,uint256,uint256)", ["address", "uint256", "uint256"],
                       ["0x" + "11" * 20, 1, 2])
        assert decoder.decode(balance) == kestrix.decode_error(balance)


def test_signature_db_refusals(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="signature database"):
        Decoder(signature_db=tmp_path / "missing.txt")
    with pytest.raises(TypeError):
        Decoder(signature_db=3)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        Decoder(known="yes")  # type: ignore[arg-type]


def test_command_line_shows_alternatives_and_turns_known_off(tmp_path: Path) -> None:
    from test_cli import run

    db = tmp_path / "signatures.txt"
    db.write_text("burn(uint256)\ncollate_propagate_storage(bytes16)\n")
    both = "0x42966c68" + "07" * 16 + "00" * 16
    out = run("--json", "--signature-db", str(db), both)
    assert out.returncode == 0, out.stderr
    line = json.loads(out.stdout)
    assert line["error_name"] == "burn" and line["chain"][0]["alternatives"] == ["collate_propagate_storage(bytes16)"]
    human = run("--signature-db", str(db), both).stdout
    assert "or:" in human and "collate_propagate_storage(bytes16)" in human
    pausable = reason("Pausable: not paused")
    assert json.loads(run("--json", "--no-known", pausable).stdout)["suggestion"] == \
        kestrix.decode_error(pausable)["suggestion"]
    assert json.loads(run("--json", pausable).stdout)["suggestion"] == Decoder().decode(pausable)["suggestion"]
    assert run("--signature-db", str(tmp_path / "missing"), both).returncode == 2
