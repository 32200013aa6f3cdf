"""Decoder over real compiler output nobody here wrote: the 1,780 ABI and artifact files that
the web3-ethereum-defi package ships (Foundry artifacts with their metadata, Hardhat and
Truffle artifacts, block explorers' ABIs), with the stray files a real project folder holds."""

from __future__ import annotations

import importlib.util
import json
import os
import shutil
from pathlib import Path
from typing import Any

import kestrix
import pytest
from eth_abi import encode
from eth_abi.grammar import BasicType, TupleType, parse

from kestrix_tools import Decoder


def _eth_defi_abi() -> Path:
    # Located without importing eth_defi, which pulls in a large dependency tree.
    found = importlib.util.find_spec("eth_defi")
    assert found is not None and found.submodule_search_locations, "web3-ethereum-defi is a test requirement"
    return Path(next(iter(found.submodule_search_locations))) / "abi"


ABI = _eth_defi_abi()


def zero_value(type_text: str) -> Any:
    """The all-zero value of an ABI type, as eth-abi encodes it."""
    node = parse(type_text)

    def value(node: Any) -> Any:
        if node.arrlist:
            *outer, last = node.arrlist
            element = value(node.item_type)
            return [element] * (last[0] if last else 1)
        if isinstance(node, TupleType):
            return tuple(value(c) for c in node.components)
        assert isinstance(node, BasicType)
        return {"address": "0x" + "00" * 20, "bool": False, "string": "",
                "bytes": b"\0" * (int(node.sub) if node.sub else 0)}.get(node.base, 0)

    return value(node)


def zero_data(decoder_selector: str, signature: str) -> str:
    types = signature[signature.index("(") + 1:-1]
    if not types:
        return decoder_selector
    parsed = parse(f"({types})")
    return decoder_selector + encode([c.to_type_str() for c in parsed.components],
                                     [zero_value(c.to_type_str()) for c in parsed.components]).hex()


def error_docs(folder: Path) -> dict[str, str]:
    """Every error signature that Foundry's rawMetadata documents in ``folder``'s artifacts,
    with one of its notices or details."""
    docs: dict[str, str] = {}
    for path in sorted(folder.glob("*.json")):
        artifact = json.loads(path.read_text())
        if not isinstance(artifact, dict) or "rawMetadata" not in artifact:
            continue
        output = json.loads(artifact["rawMetadata"])["output"]
        for kind, key in (("userdoc", "notice"), ("devdoc", "details")):
            for signature, entries in (output.get(kind, {}).get("errors") or {}).items():
                if any(entry.get(key) for entry in entries):
                    docs.setdefault(signature, " ".join(entries[0].get(key, "").split()))
    return docs


def selector_of(signature: str) -> str:
    from Crypto.Hash import keccak

    return "0x" + keccak.new(digest_bits=256, data=signature.encode()).hexdigest()[:8]


def test_natspec_of_real_foundry_artifacts_becomes_the_hint() -> None:
    # Foundry's "metadata" object has no NatSpec for errors; its "rawMetadata" text does.
    folder = ABI / "aave_v3"
    docs = error_docs(folder)
    assert len(docs) > 30
    decoder = Decoder(paths=[folder])
    hinted = {signature for signature in docs
              if decoder.decode(zero_data(selector_of(signature), signature))["suggestion"] is not None}
    assert hinted == set(docs)


def test_a_user_copy_without_natspec_keeps_the_builtin_hint() -> None:
    # PlasmaVaultBase declares OpenZeppelin's ERC20InsufficientBalance, with no NatSpec for it.
    data = "0xe450d38c" + encode(["address", "uint256", "uint256"], ["0x" + "11" * 20, 1, 2]).hex()
    builtin = kestrix.decode_error(data)["suggestion"]
    assert builtin
    for decoder in (Decoder(paths=[ABI / "ipor" / "PlasmaVaultBase.json"]),
                    Decoder(signatures=["ERC20InsufficientBalance(address sender, uint256 balance, uint256 needed)"])):
        assert "ERC20InsufficientBalance(address,uint256,uint256)" in decoder.errors
        assert decoder.decode(data)["suggestion"] == builtin


def test_the_whole_package_folder_loads() -> None:
    # One of the files is a block explorer's ABI: "abi" holds JSON text.
    decoder = Decoder(paths=[ABI])
    assert len(decoder.errors) > 700
    wavax = Decoder(paths=[ABI / "WAVAX.json"])
    assert wavax.errors == ()  # an ABI without errors, read from its text


def project_with_strays(tmp_path: Path) -> Path:
    """A project folder: real artifacts beside the files a checkout also holds."""
    root = tmp_path / "project"
    shutil.copytree(ABI / "aave_v3", root / "out")
    (root / ".vscode").mkdir()
    (root / ".vscode" / "settings.json").write_text('{\n  // editor settings\n  "editor.tabSize": 4,\n}\n')
    index = root / "node_modules" / ".package-lock.json"
    index.parent.mkdir()
    index.write_text('{"name": "x", "lockfileVersion": 3, "packages": {}}')
    (root / "node_modules" / "broken.json").write_text("{not json")
    (root / "notes.json").write_text("{ this is not JSON")
    return root


def test_stray_json_is_skipped_with_one_warning(tmp_path: Path) -> None:
    root = project_with_strays(tmp_path)
    reference = Decoder(paths=[ABI / "aave_v3"])
    with pytest.warns(UserWarning) as caught:
        decoder = Decoder(paths=[root])
    assert decoder.errors == reference.errors
    assert len(caught) == 1
    message = str(caught[0].message)
    assert "1 file" in message and "notes.json" in message and "\n" not in message
    with pytest.raises(ValueError, match="notes.json: not valid JSON"):
        Decoder(paths=[root], strict=True)
    os.remove(root / "notes.json")
    with pytest.raises(ValueError, match="settings.json: not valid JSON"):
        Decoder(paths=[root / ".vscode"], strict=True)
