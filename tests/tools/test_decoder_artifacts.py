"""Decoder over build output: a Foundry ``out/`` folder and a Hardhat ``artifacts/`` folder laid
out as those tools write them, NatSpec as the compiler writes it (userdoc ``notice``, devdoc
``details`` and ``params``), the hint rule, and the files a walk reads, passes over or refuses."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest
from Crypto.Hash import keccak
from eth_abi import encode

from kestrix_tools import Decoder

INSUFFICIENT = "InsufficientBalance(uint256,uint256)"
UNAUTHORIZED = "Unauthorized(address)"
PAUSED = "Paused()"
LIMIT = "OverLimit(uint256,(address,uint96))"

VAULT_ABI: list[dict[str, Any]] = [
    {"type": "function", "name": "withdraw", "stateMutability": "nonpayable",
     "inputs": [{"name": "amount", "type": "uint256", "internalType": "uint256"}], "outputs": []},
    {"type": "error", "name": "InsufficientBalance", "inputs": [
        {"name": "available", "type": "uint256", "internalType": "uint256"},
        {"name": "required", "type": "uint256", "internalType": "uint256"}]},
    {"type": "error", "name": "Unauthorized", "inputs": [{"name": "caller", "type": "address", "internalType": "address"}]},
    {"type": "error", "name": "Paused", "inputs": []},
    {"type": "error", "name": "OverLimit", "inputs": [
        {"name": "amount", "type": "uint256", "internalType": "uint256"},
        {"name": "limit", "type": "tuple", "internalType": "struct Vault.Limit", "components": [
            {"name": "owner", "type": "address", "internalType": "address"},
            {"name": "cap", "type": "uint96", "internalType": "uint96"}]}]},
]
USERDOC = {"kind": "user", "methods": {}, "version": 1, "errors": {
    INSUFFICIENT: [{"notice": "Insufficient balance for transfer. Needed `required` but only\n `available` available."}],
    PAUSED: [{"notice": "Deposits are paused; try again later."}],
}}
DEVDOC = {"kind": "dev", "methods": {}, "version": 1, "errors": {
    INSUFFICIENT: [{"params": {"available": "balance available.", "required": "requested amount to transfer."}}],
    UNAUTHORIZED: [{"details": "Only the owner may call; `caller` was not the owner.",
                    "params": {"caller": "the address that called"}}],
    PAUSED: [{"details": "Raised while the pause flag is set."}],
    LIMIT: [{"details": "The `amount` exceeds `limit` (see `owner`).",
             "params": {"amount": "what was asked", "limit": "the caller's limit"}}],
}}
HINTS = {
    INSUFFICIENT: "Insufficient balance for transfer. Needed `required` (requested amount to transfer) but only "
                  "`available` (balance available) available.",
    UNAUTHORIZED: "Only the owner may call; `caller` (the address that called) was not the owner.",
    PAUSED: "Deposits are paused; try again later.",
    LIMIT: "The `amount` (what was asked) exceeds `limit` (the caller's limit) (see `owner`).",
}


def selector(signature: str) -> bytes:
    return keccak.new(digest_bits=256, data=signature.encode()).digest()[:4]


def write(path: Path, document: Any) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(document, indent=2))
    return path


def metadata(abi: list[dict[str, Any]], userdoc: Any, devdoc: Any) -> dict[str, Any]:
    return {"language": "Solidity", "output": {"abi": abi, "devdoc": devdoc, "userdoc": userdoc}, "version": 1}


def foundry_artifact(abi: list[dict[str, Any]], userdoc: Any, devdoc: Any) -> dict[str, Any]:
    meta = metadata(abi, userdoc, devdoc)
    return {"abi": abi, "bytecode": {"object": "0x6080"}, "rawMetadata": json.dumps(meta), "metadata": meta}


def foundry_out(root: Path) -> Path:
    """out/ as forge writes it: one folder per source file, one artifact per contract."""
    out = root / "out"
    write(out / "Vault.sol" / "Vault.json", foundry_artifact(VAULT_ABI, USERDOC, DEVDOC))
    # The interface declares the same errors without NatSpec; they must not be added twice.
    write(out / "IVault.sol" / "IVault.json", foundry_artifact(VAULT_ABI[1:3], {}, {}))
    write(out / "Vault.sol" / "Vault.abi.json", VAULT_ABI)  # extra_output_files = ["abi"]
    (out / "Vault.sol" / "Vault.metadata.txt").write_text("not JSON, not read")
    write(out / "build-info" / "4f2a.json", {"id": "4f2a", "source_id_to_path": {"0": "src/Vault.sol"},
                                             "language": "Solidity"})
    return out


def hardhat_artifacts(root: Path) -> Path:
    """artifacts/ as Hardhat writes it: artifact and .dbg.json link per contract, and a
    build-info file whose output carries the NatSpec inside each contract's metadata text."""
    artifacts = root / "artifacts"
    folder = artifacts / "contracts" / "Vault.sol"
    write(folder / "Vault.json", {"_format": "hh-sol-artifact-1", "contractName": "Vault",
                                  "sourceName": "contracts/Vault.sol", "abi": VAULT_ABI, "bytecode": "0x6080"})
    write(folder / "Vault.dbg.json", {"_format": "hh-sol-dbg-1", "buildInfo": "../../build-info/9c1e.json"})
    contract = {"abi": VAULT_ABI, "metadata": json.dumps(metadata(VAULT_ABI, USERDOC, DEVDOC))}
    write(artifacts / "build-info" / "9c1e.json", {
        "id": "9c1e", "_format": "hh-sol-build-info-1", "input": {"language": "Solidity", "sources": {}},
        "output": {"contracts": {"contracts/Vault.sol": {"Vault": contract}}}})
    write(root / "package.json", {"name": "vault", "devDependencies": {"hardhat": "^2.22.0"}})
    return artifacts


def check_vault(decoder: Decoder) -> None:
    assert sorted(decoder.errors) == sorted([INSUFFICIENT, UNAUTHORIZED, PAUSED, LIMIT])
    owner = "0x" + "5b" * 20
    cases: dict[str, tuple[list[str], list[Any]]] = {INSUFFICIENT: (["uint256", "uint256"], [10, 20]), UNAUTHORIZED: (["address"], [owner]),
             PAUSED: ([], []), LIMIT: (["uint256", "(address,uint96)"], [3, (owner, 2**96 - 1)])}
    for signature, (types, args) in cases.items():
        got = decoder.decode(selector(signature) + encode(types, args))
        assert (got["kind"], got["error_name"]) == ("custom_error", signature[: signature.index("(")])
        assert got["suggestion"] == HINTS[signature], signature
    got = decoder.decode(selector(LIMIT) + encode(*cases[LIMIT]))
    assert got["inputs"] is not None and json.loads(got["inputs"])[1] == ["limit", {"type": "tuple", "value": [
        ["owner", {"type": "address", "value": owner}], ["cap", {"type": "uint", "value": 2**96 - 1}]]}]


def test_foundry_out_folder(tmp_path: Path) -> None:
    out = foundry_out(tmp_path)
    check_vault(Decoder(paths=[out]))
    check_vault(Decoder(paths=str(out / "Vault.sol" / "Vault.json")))


def test_foundry_artifact_with_top_level_natspec_and_raw_metadata_only(tmp_path: Path) -> None:
    artifact = foundry_artifact(VAULT_ABI, {}, {})
    artifact.update(userdoc=USERDOC, devdoc=DEVDOC)  # extra_output = ["userdoc", "devdoc"]
    check_vault(Decoder(paths=[write(tmp_path / "Top.json", artifact)]))
    raw_only = foundry_artifact(VAULT_ABI, USERDOC, DEVDOC)
    del raw_only["metadata"]
    check_vault(Decoder(paths=[write(tmp_path / "Raw.json", raw_only)]))


def test_hardhat_artifacts_folder(tmp_path: Path) -> None:
    artifacts = hardhat_artifacts(tmp_path)
    check_vault(Decoder(paths=[artifacts]))
    check_vault(Decoder(paths=[artifacts / "build-info" / "9c1e.json"]))
    check_vault(Decoder(paths=[tmp_path]))  # the project root: package.json is passed over
    # An artifact named on its own finds its NatSpec through its .dbg.json link.
    artifact = artifacts / "contracts" / "Vault.sol" / "Vault.json"
    check_vault(Decoder(paths=[artifact]))
    (artifacts / "build-info" / "9c1e.json").unlink()
    assert Decoder(paths=[artifact]).decode(selector(PAUSED))["suggestion"] is None


def test_hardhat_3_artifact_finds_its_build_info_output(tmp_path: Path) -> None:
    """Hardhat 3: artifacts name their build by id; its output sits in build-info/<id>.output.json."""
    build = "solc-0_8_28-2f9a"
    artifacts = tmp_path / "artifacts"
    artifact = write(artifacts / "contracts" / "Vault.sol" / "Vault.json", {
        "_format": "hh3-artifact-1", "contractName": "Vault", "sourceName": "contracts/Vault.sol",
        "abi": VAULT_ABI, "inputSourceName": "project/contracts/Vault.sol", "buildInfoId": build})
    write(artifacts / "build-info" / f"{build}.json", {
        "_format": "hh3-sol-build-info-1", "id": build, "input": {"language": "Solidity", "sources": {}}})
    contract = {"abi": VAULT_ABI, "metadata": json.dumps(metadata(VAULT_ABI, USERDOC, DEVDOC))}
    write(artifacts / "build-info" / f"{build}.output.json", {
        "_format": "hh3-sol-build-info-output-1", "id": build,
        "output": {"contracts": {"project/contracts/Vault.sol": {"Vault": contract}}}})
    check_vault(Decoder(paths=[artifact]))
    check_vault(Decoder(paths=[artifacts]))


def test_a_later_copy_supplies_a_missing_hint(tmp_path: Path) -> None:
    decoder = Decoder(abi=VAULT_ABI, paths=[foundry_out(tmp_path)])
    assert decoder.errors == (INSUFFICIENT, UNAUTHORIZED, PAUSED, LIMIT)
    assert decoder.decode(selector(PAUSED))["suggestion"] == HINTS[PAUSED]


def natspec_hint(notice: Any = None, details: Any = None, params: Any = None,
                 inputs: tuple[str, ...] = ("amount", "to")) -> str | None:
    abi = [{"type": "error", "name": "Fail", "inputs": [{"name": n, "type": "uint256"} for n in inputs]}]
    signature = f"Fail({','.join('uint256' for _ in inputs)})"
    userdoc = {"errors": {signature: [{"notice": notice}]}} if notice is not None else {}
    dev: dict[str, Any] = {}
    if details is not None:
        dev["details"] = details
    if params is not None:
        dev["params"] = params
    decoder = Decoder(abi={"abi": abi, "userdoc": userdoc, "devdoc": {"errors": {signature: [dev]}}})
    return decoder.decode(selector(signature) + bytes(32 * len(inputs)))["suggestion"]


@pytest.mark.parametrize(("kwargs", "hint"), [
    ({}, None),
    ({"params": {"amount": "how much"}}, None),
    ({"notice": "Too much.", "details": "Checked in _spend."}, "Too much."),
    ({"notice": "  ", "details": "Checked in\n   _spend."}, "Checked in _spend."),
    ({"notice": "Sent `amount` to `to`; `amount` too big.", "params": {"amount": "how much.", "to": "whom"}},
     "Sent `amount` (how much) to `to` (whom); `amount` too big."),
    ({"notice": "Sent `amount` to `other`.", "params": {"amount": "", "other": "not a parameter"}},
     "Sent `amount` to `other`."),
    ({"notice": "`amount` twice.", "params": {"amount": "how much"}, "inputs": ("amount", "amount")},
     "`amount` twice."),
    ({"notice": "Bare amount is prose.", "params": {"amount": "how much"}}, "Bare amount is prose."),
    ({"notice": 5, "details": "Fallback."}, "Fallback."),
])
def test_hint_rule(kwargs: dict[str, Any], hint: str | None) -> None:
    assert natspec_hint(**kwargs) == hint


def test_unreadable_files_name_themselves(tmp_path: Path) -> None:
    out = foundry_out(tmp_path)
    broken = out / "Broken.sol" / "Broken.json"
    broken.parent.mkdir()
    for content, message in ((b'{"abi": [', "not valid JSON: "), (b'{"abi": "\xff"}', "not UTF-8 text")):
        broken.write_bytes(content)
        with pytest.raises(ValueError, match=f"^{broken}: {message}"):
            Decoder(paths=[out], strict=True)
        with pytest.warns(UserWarning, match=f"skipped 1 file .*: {broken}: {message}"):
            assert len(Decoder(paths=[out]).errors) == 4
    broken.write_text(json.dumps({"abi": [{"type": "error", "name": "X", "inputs": [{"type": "uint7"}]}]}))
    with pytest.raises(ValueError, match=rf"^{broken}: ABI entry 0 \(error X\) input 0: invalid size"):
        Decoder(paths=[out])
    broken.write_text(json.dumps({"abi": {"type": "error"}}))
    with pytest.raises(ValueError, match=f"^{broken}: a JSON ABI is a list of entries, not dict"):
        Decoder(paths=[out])


@pytest.mark.parametrize(("document", "message"), [
    ({"name": "vault"}, "neither a JSON ABI nor a Foundry or Hardhat artifact or build-info file"),
    ({"abi": VAULT_ABI, "metadata": "{oops"}, "\"metadata\": not valid JSON"),
    ("text", "neither a JSON ABI nor"),
])
def test_a_file_named_on_its_own_must_hold_an_abi(tmp_path: Path, document: Any, message: str) -> None:
    path = write(tmp_path / "x.json", document)
    with pytest.raises(ValueError) as caught:
        Decoder(paths=[path])
    assert str(caught.value).startswith(str(path)) and message in str(caught.value)


def test_missing_paths_and_non_json_files(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="no such file or folder"):
        Decoder(paths=[tmp_path / "missing"])
    (tmp_path / "notes.txt").write_text("{")
    (tmp_path / "Vault.dbg.json").write_text("{")  # Hardhat link files are not read
    assert Decoder(paths=[tmp_path]).errors == ()
