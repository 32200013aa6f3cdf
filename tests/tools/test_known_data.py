"""The shipped known-errors and reason-code data, and the script that builds it."""

from __future__ import annotations

import importlib.util
import json
import os
import pathlib
import re
import subprocess
import sys
from types import ModuleType
from typing import Any

import pytest
from Crypto.Hash import keccak
from eth_abi import encode
from eth_abi.grammar import parse
from hypothesis import given, settings
from hypothesis import strategies as st

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = ROOT / "python" / "kestrix_tools" / "data"
SCRIPT = ROOT / "tools" / "build_known.py"
MIRRORS = pathlib.Path(os.environ.get("KESTRIX_MIRRORS", "/work/.mirror"))


def _script() -> ModuleType:
    found = importlib.util.spec_from_file_location("build_known", SCRIPT)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    sys.modules["build_known"] = module
    found.loader.exec_module(module)
    return module


build_known = _script()


def _oracle(text: str) -> str:
    return keccak.new(digest_bits=256, data=text.encode()).hexdigest()


@pytest.fixture(scope="module")
def known() -> dict[str, Any]:
    return json.loads((DATA / "known_errors.json").read_text(encoding="utf-8"))


@pytest.fixture(scope="module")
def reasons() -> dict[str, Any]:
    return json.loads((DATA / "reason_codes.json").read_text(encoding="utf-8"))


def _canonical(param: dict[str, Any]) -> str:
    if "components" in param:
        return "(" + ",".join(_canonical(c) for c in param["components"]) + ")" + param["type"][len("tuple"):]
    return str(param["type"])


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=600))
def test_keccak_matches_pycryptodome(data: bytes) -> None:
    # sizes straddle the 136-byte rate so multi-block padding is exercised
    assert build_known.keccak256(data).hex() == keccak.new(digest_bits=256, data=data).hexdigest()


def test_every_selector_is_the_keccak_of_its_signature(known: dict[str, Any]) -> None:
    bad = [e["signature"] for e in known["errors"] if e["selector"] != _oracle(e["signature"])[:8]]
    assert bad == []


def test_params_rebuild_the_signature_and_encode(known: dict[str, Any]) -> None:
    for e in known["errors"]:
        types = [_canonical(p) for p in e["params"]]
        assert e["signature"] == e["name"] + "(" + ",".join(types) + ")"
        assert re.fullmatch(r"[A-Za-z_$][A-Za-z0-9_$]*", e["name"]), e["name"]
        for t in types:
            parse(t).validate()  # eth-abi's grammar accepts every type
    # eth-abi can encode a value of each kind of type that occurs
    assert encode(["(address,uint24,int24)[]", "bytes32", "bool"],
                  [[("0x" + "11" * 20, 3000, -60)], b"\x01" * 32, True])


def test_layout_order_and_provenance(known: dict[str, Any]) -> None:
    assert known["format"] == 1
    ids = [s["id"] for s in known["sources"]]
    assert len(ids) == len(set(ids))
    for s in known["sources"]:
        assert re.fullmatch(r"[0-9a-f]{40}", s["commit"]) and s["repo"].count("/") == 1
    keys = [(e["selector"], e["signature"]) for e in known["errors"]]
    assert keys == sorted(keys) and len({k[1] for k in keys}) == len(keys)
    for e in known["errors"]:
        assert e["hint"] is None or (isinstance(e["hint"], str) and e["hint"])
        assert e["found"] and all(f["source"] in ids and f["path"].endswith(".sol") for f in e["found"])


def test_wrappers_and_widely_met_errors_are_known(known: dict[str, Any]) -> None:
    by_sig = {e["signature"]: e for e in known["errors"]}
    expected = {
        "WrappedError(address,bytes4,bytes,bytes)": ["target", "selector", "reason", "details"],
        "ExecutionFailed(uint256,bytes)": ["commandIndex", "message"],
        "FailedOpWithRevert(uint256,string,bytes)": ["opIndex", "reason", "inner"],
        "UnexpectedRevertBytes(bytes)": ["revertData"],
        "CallFailed(uint256,bytes)": None,
        "FailedOp(uint256,string)": ["opIndex", "reason"],
        "CurrencyNotSettled()": [],
        "AllowanceExpired(uint256)": ["deadline"],
        "ERC20InsufficientBalance(address,uint256,uint256)": ["sender", "balance", "needed"],
    }
    for sig, names in expected.items():
        assert sig in by_sig, sig
        if names is not None:
            assert [p["name"] for p in by_sig[sig]["params"]] == names
        assert by_sig[sig]["hint"] is not None or sig.startswith("ERC20")
    projects = {s["project"] for s in known["sources"]}
    assert len(projects) >= 25 and len(known["errors"]) >= 3000


def test_function_signatures_match_their_selectors() -> None:
    doc = json.loads((DATA / "known_functions.json").read_text(encoding="utf-8"))
    ids = {s["id"] for s in doc["sources"]}
    keys = [(f["selector"], f["signature"]) for f in doc["functions"]]
    assert keys == sorted(keys) and len({k[1] for k in keys}) == len(keys)
    for f in doc["functions"]:
        assert f["selector"] == _oracle(f["signature"])[:8]
        assert f["signature"].endswith("(" + ",".join(_canonical(p) for p in f["params"]) + ")")
        assert f["sources"] and set(f["sources"]) <= ids
    by_sig = {f["signature"]: f for f in doc["functions"]}
    assert by_sig["execute(bytes,bytes[],uint256)"]["selector"] == "3593564c"
    assert "transferFrom(address,address,uint256)" in by_sig


def test_reason_entries_are_unique_and_well_formed(reasons: dict[str, Any]) -> None:
    ids = {s["id"] for s in reasons["sources"]}
    seen = set()
    for e in reasons["entries"]:
        assert set(e) == {"match", "text", "meaning", "protocol", "source", "applies_to"}
        assert e["match"] in ("exact", "prefix") and e["applies_to"] in ("revert_string", "FailedOp")
        assert e["text"] and e["meaning"].endswith(".") and e["source"] in ids
        key = (e["applies_to"], e["match"], e["text"])
        assert key not in seen
        seen.add(key)
        if e["applies_to"] == "FailedOp":
            assert e["match"] == "prefix" and re.fullmatch(r"AA\d\d ", e["text"])


@pytest.mark.parametrize("text,match,applies_to,protocol", [
    ("STF", "exact", "revert_string", "Uniswap v3"),
    ("LOK", "exact", "revert_string", "Uniswap v3"),
    ("UniswapV2: K", "exact", "revert_string", "Uniswap v2"),
    ("UniswapV2Router: EXPIRED", "exact", "revert_string", "Uniswap v2"),
    ("26", "exact", "revert_string", "Aave v3"),
    ("BAL#401", "exact", "revert_string", "Balancer v2"),
    ("GS013", "exact", "revert_string", "Safe"),
    ("AA21 ", "prefix", "FailedOp", "ERC-4337"),
    ("Pausable: not paused", "exact", "revert_string", "OpenZeppelin Contracts v4"),
    ("AccessControl: account ", "prefix", "revert_string", "OpenZeppelin Contracts v4"),
    ("market not created", "exact", "revert_string", "Morpho Blue"),
])
def test_reason_tables_hold_the_codes_users_meet(reasons: dict[str, Any], text: str, match: str,
                                                 applies_to: str, protocol: str) -> None:
    hits = [e for e in reasons["entries"] if e["text"] == text and e["applies_to"] == applies_to]
    assert len(hits) == 1 and hits[0]["match"] == match and hits[0]["protocol"] == protocol


def test_pausable_not_paused_is_not_read_as_paused(reasons: dict[str, Any]) -> None:
    meaning = next(e["meaning"] for e in reasons["entries"] if e["text"] == "Pausable: not paused")
    assert "is not" in meaning or "not paused" in meaning


SOLIDITY = {
    "src/types/Currency.sol": "type Currency is address; enum Side { Bid, Ask }",
    "src/interfaces/IPool.sol": """
        import {Currency} from "../types/Currency.sol";
        interface IPool {
            struct Key { Currency c0; Currency c1; uint24 fee; }
            struct Swap { bool zeroForOne; int amount; Key[] keys; }
            error Bad(Key key, uint amount, Swap[2] swaps);
        }""",
    "src/keys/Key.sol": "struct Key { address a; bool b; }",
    "src/other/Key.sol": "struct Key { uint8 a; }",
    "src/Pair.sol": """
        import {Key as K} from "./keys/Key.sol";
        import {Key} from "./other/Key.sol";
        library Pair { error Both(K k, Key key); }""",
    "src/Router.sol": """
        import "./interfaces/IPool.sol";
        import * as T from "./types/Currency.sol";
        abstract contract Base { struct Local { byte b; address payable to; } }
        contract Router is Base, IPool {
            error Wrapped(IPool pool, IPool.Swap swap, T.Side side, Local[] locals, bytes reason);
            error Alias(uint[] a, int8 b, bytes32 c, string s);
            error Unknown(Missing m);
            function f() external { require(x > 0, "TOO LOW"); revert("GONE"); }
        }""",
}


def test_types_resolve_through_scopes_imports_and_aliases() -> None:
    files = {p: build_known.parse_file(p, t) for p, t in SOLIDITY.items()}
    project = build_known.Project(files, [])
    got: dict[str, str] = {}
    problems: list[str] = []
    for info in files.values():
        for decl in info.errors:
            try:
                params = [build_known._param_json(p.name, project.resolve(decl.scope, p.type)) for p in decl.params]
            except build_known.Unresolved as exc:
                problems.append(f"{decl.name}: {exc}")
                continue
            got[decl.name] = decl.name + "(" + ",".join(_canonical(p) for p in params) + ")"
    key = "(address,address,uint24)"
    assert got == {
        "Bad": f"Bad({key},uint256,(bool,int256,{key}[])[2])",
        "Wrapped": f"Wrapped(address,(bool,int256,{key}[]),uint8,(bytes1,address)[],bytes)",
        "Alias": "Alias(uint256[],int8,bytes32,string)",
        "Both": "Both((address,bool),(uint8))",
    }
    assert problems == ["Unknown: unknown type Missing"]
    assert files["src/Router.sol"].strings == ["TOO LOW", "GONE"]


def test_vendored_test_and_mock_files_are_skipped() -> None:
    src = build_known.Source("x", "X", "o/x", "v1", "0" * 40, ("src/", "contracts/"))
    kept = {"src/Pool.sol": True, "src/test/Pool.sol": False, "src/mocks/M.sol": False,
            "lib/forge-std/src/Test.sol": False, "src/Pool.t.sol": False, "script/Deploy.s.sol": False,
            "contracts/lib/Math.sol": True, "src/PoolMock.sol": False, "docs/A.sol": False}
    assert {p: build_known.keeps(src, p) for p in kept} == kept


def test_data_rebuilds_identically_from_the_recorded_sources(known: dict[str, Any]) -> None:
    missing = [s["repo"] for s in known["sources"] if build_known.find_mirror(MIRRORS, s["repo"]) is None]
    if missing:
        pytest.skip(f"no local mirrors of {', '.join(sorted(set(missing)))} under {MIRRORS} "
                    "(fetching them needs the network)")
    done = subprocess.run([sys.executable, str(SCRIPT), str(MIRRORS), "--check"],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr[-2000:]
