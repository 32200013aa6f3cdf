#!/usr/bin/env python3
"""Builds kestrix_tools' known-errors and reason-code data from pinned public sources.

Each source is a public repository at a pinned commit. The Solidity files are read straight
from a local git mirror's object store (no work tree, no network), every `error` declaration
is extracted and its parameter types resolved to canonical ABI types, and the revert strings
of the projects that still use them are turned into reason-code tables whose meanings come
from tools/known_meanings.py (our own words).

Usage: python3 tools/build_known.py MIRRORS [--check] [--out DIR]
MIRRORS holds one git directory per repository, as MIRRORS/<owner>+<name>/repo (or
MIRRORS/<owner>+<name> itself). --check rebuilds and compares with the committed files,
exiting 1 when they differ. Problems (a type that cannot be resolved, a missing mirror)
are printed on stderr; unresolved errors are left out, never guessed.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import re
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Any, Iterable

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import known_meanings  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "python" / "kestrix_tools" / "data"

# ---------------------------------------------------------------------------------------
# Keccak-256 (the original padding 0x01, not SHA3-256's 0x06)

_RC = [
    0x0000000000000001, 0x0000000000008082, 0x800000000000808A, 0x8000000080008000,
    0x000000000000808B, 0x0000000080000001, 0x8000000080008081, 0x8000000000008009,
    0x000000000000008A, 0x0000000000000088, 0x0000000080008009, 0x000000008000000A,
    0x000000008000808B, 0x800000000000008B, 0x8000000000008089, 0x8000000000008003,
    0x8000000000008002, 0x8000000000000080, 0x000000000000800A, 0x800000008000000A,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008,
]
_ROT = [
    [0, 36, 3, 41, 18], [1, 44, 10, 45, 2], [62, 6, 43, 15, 61],
    [28, 55, 25, 21, 56], [27, 20, 39, 8, 14],
]
_M = (1 << 64) - 1


def _keccak_f(a: list[int]) -> None:
    for rc in _RC:
        c = [a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20] for x in range(5)]
        d = [c[(x - 1) % 5] ^ (((c[(x + 1) % 5] << 1) | (c[(x + 1) % 5] >> 63)) & _M) for x in range(5)]
        for i in range(25):
            a[i] ^= d[i % 5]
        b = [0] * 25
        for x in range(5):
            for y in range(5):
                r = _ROT[x][y]
                v = a[x + 5 * y]
                b[y + 5 * ((2 * x + 3 * y) % 5)] = ((v << r) | (v >> (64 - r))) & _M if r else v
        for y in range(0, 25, 5):
            row = b[y:y + 5]
            for x in range(5):
                a[y + x] = row[x] ^ ((~row[(x + 1) % 5]) & row[(x + 2) % 5])
        a[0] ^= rc


def keccak256(data: bytes) -> bytes:
    rate = 136
    msg = bytearray(data)
    msg.append(0x01)
    while len(msg) % rate:
        msg.append(0)
    msg[-1] |= 0x80
    state = [0] * 25
    for off in range(0, len(msg), rate):
        for i in range(rate // 8):
            state[i] ^= int.from_bytes(msg[off + 8 * i:off + 8 * i + 8], "little")
        _keccak_f(state)
    return b"".join(state[i].to_bytes(8, "little") for i in range(4))


def selector(signature: str) -> str:
    return keccak256(signature.encode()).hex()[:8]


# ---------------------------------------------------------------------------------------
# Pinned sources. `paths` are the folders whose errors are kept (every .sol file of the
# commit is still read to resolve types); `kind` says what is taken from the source.


@dataclass(frozen=True)
class Source:
    id: str
    project: str
    repo: str
    ref: str
    commit: str
    paths: tuple[str, ...] = ("",)
    errors: bool = True
    strings: str | None = None  # name of the reason table built from its revert strings
    library: bool = False  # keep lib/ folders (the source is that library itself)


SOURCES: tuple[Source, ...] = (
    Source("oz-5.7.0", "OpenZeppelin Contracts", "OpenZeppelin/openzeppelin-contracts", "v5.7.0",
           "cab19933c33c2ad1d4c7a84864a3601dddfd16f3", ("contracts/",), library=True),
    Source("oz-4.9.6", "OpenZeppelin Contracts v4", "OpenZeppelin/openzeppelin-contracts", "v4.9.6",
           "dc44c9f1a4c3b10af99492eed84f83ed244203f6", ("contracts/",), errors=False, strings="oz4",
           library=True),
    Source("uniswap-v2-core-1.0.1", "Uniswap v2", "Uniswap/v2-core", "v1.0.1",
           "4dd59067c76dea4a0e8e4bfdda41877a6b16dedc", ("contracts/",), errors=False, strings="uniswap-v2"),
    Source("uniswap-v2-periphery", "Uniswap v2", "Uniswap/v2-periphery", "master",
           "0335e8f7e1bd1e8d8329fd300aea2ef2f36dd19f", ("contracts/",), errors=False, strings="uniswap-v2"),
    Source("uniswap-v3-core-1.0.0", "Uniswap v3", "Uniswap/v3-core", "v1.0.0",
           "e3589b192d0be27e100cd0daaf6c97204fdb1899", ("contracts/",), strings="uniswap-v3"),
    Source("uniswap-v3-periphery-1.0.0", "Uniswap v3", "Uniswap/v3-periphery", "v1.0.0",
           "464a8a49611272f7349c970e0fadb7ec1d3c1086", ("contracts/",), strings="uniswap-v3"),
    Source("uniswap-v4-core-4.0.0", "Uniswap v4", "Uniswap/v4-core", "v4.0.0",
           "e50237c43811bd9b526eff40f26772152a42daba", ("src/",)),
    Source("uniswap-v4-periphery", "Uniswap v4", "Uniswap/v4-periphery", "main",
           "dce236d4e2057422d0791d9a973a58765eb46f65", ("src/",)),
    Source("universal-router-2.0.0", "Uniswap Universal Router", "Uniswap/universal-router", "2.0.0",
           "3663f6db6e2fe121753cd2d899699c2dc75dca86", ("contracts/",)),
    Source("permit2", "Uniswap Permit2", "Uniswap/permit2", "0x000000000022D473030F116dDEE9F6B43aC78BA3",
           "cc306b601f172c51bc04334a109e98340456620b", ("src/",)),
    Source("solady-0.1.26", "Solady", "Vectorized/solady", "v0.1.26",
           "acd959aa4bd04720d640bf4e6a5c71037510cc4b", ("src/",)),
    Source("eth-infinitism-aa-0.7.0", "ERC-4337 EntryPoint v0.7", "eth-infinitism/account-abstraction",
           "v0.7.0", "7af70c8993a6f42973f520ae0752386a5032abe7", ("contracts/",), strings="erc4337"),
    Source("eth-infinitism-aa-0.6.0", "ERC-4337 EntryPoint v0.6", "eth-infinitism/account-abstraction",
           "v0.6.0", "abff2aca61a8f0934e533d0d352978055fddbd96", ("contracts/",), strings="erc4337"),
    Source("safe-1.4.1-3", "Safe", "safe-global/safe-smart-account", "v1.4.1-3",
           "21dc82410445637820f600c7399a804ad55841d5", ("contracts/",), strings="safe"),
    Source("safe-1.5.0", "Safe", "safe-global/safe-smart-account", "v1.5.0",
           "dc437e8fba8b4805d76bcbd1c668c9fd3d1e83be", ("contracts/",), strings="safe"),
    Source("safe-4337-0.3.0", "Safe 4337 module", "safe-global/safe-modules", "4337/v0.3.0-1",
           "75e56fd52b0ddbe01dc237eaae7edb9a102ffc5c", ("modules/4337/contracts/",)),
    Source("safe-passkey-0.2.1", "Safe passkey signer", "safe-global/safe-modules", "passkey/v0.2.1-1",
           "dfd3b05966e727dbb7a2fdeef52e4b230f63304e", ("modules/passkey/contracts/",)),
    Source("aave-v3.6.0", "Aave v3", "aave-dao/aave-v3-origin", "v3.6.0",
           "5a230ec82fcb10afc7fe7cffa8978752fb17aa2b", ("src/contracts/",)),
    Source("aave-v3.3.0", "Aave v3", "aave-dao/aave-v3-origin", "v3.3.0",
           "5431379f8beb4d7128c84a81ced3917d856efa84", ("src/contracts/protocol/libraries/helpers/",),
           errors=False, strings="aave"),
    Source("comet", "Compound v3", "compound-finance/comet", "main",
           "d5a30b0aaeff7755f1431e87f818990902237b03", ("contracts/",)),
    Source("balancer-v3", "Balancer v3", "balancer/balancer-v3-monorepo", "main",
           "0a5890a8c5d79865498d75cdc6ecdc75cf8d297d", ("pkg/",)),
    Source("balancer-v2", "Balancer v2", "balancer/balancer-v2-monorepo", "master",
           "316ded078ddc2f1b28da5804d25752af67453435", ("pkg/interfaces/contracts/solidity-utils/helpers/",),
           errors=False, strings="balancer"),
    Source("seaport-types-1.6.3", "Seaport", "ProjectOpenSea/seaport-types", "v1.6.3",
           "b72493221ee1d2f2fb30ed94a3cc535a9028d09f", ("src/",)),
    Source("seaport-core-1.6.5", "Seaport", "ProjectOpenSea/seaport-core", "1.6.5",
           "1a0a4758cced1d3de962817cd37c2387fb290eea", ("src/",)),
    Source("seaport-1.6", "Seaport", "ProjectOpenSea/seaport", "refs/tags/1.6",
           "e9c5a9f17cb5ee658ccc9cb1a8eeab02c1f5a4cd", ("contracts/", "src/")),
    Source("chainlink-ccip-1.5.5", "Chainlink", "smartcontractkit/ccip", "v2.14.0-ccip1.5.5",
           "909ecdfbc165ab17a32de2c106fb665429d43db0",
           ("contracts/src/v0.8/ccip/", "contracts/src/v0.8/vrf/", "contracts/src/v0.8/automation/",
            "contracts/src/v0.8/shared/")),
    Source("chainlink-ccip-2.0.0", "Chainlink CCIP", "smartcontractkit/chainlink-ccip", "contracts-ccip-v2.0.0",
           "c2c125c27f056db2e98d21501922b6eff5750f36", ("chains/evm/contracts/",)),
    Source("layerzero-v2", "LayerZero v2", "LayerZero-Labs/LayerZero-v2", "main",
           "9c741e7f9790639537b1710a203bcdfd73b0b9ac", ("packages/layerzero-v2/evm/",)),
    Source("morpho-blue-1.0.0", "Morpho Blue", "morpho-org/morpho-blue", "v1.0.0",
           "55d2d99304fb3fb930c688462ae2ccabb1d533ad", ("src/",), strings="morpho"),
    Source("metamorpho-1.0.0", "MetaMorpho", "morpho-org/metamorpho", "v1.0.0",
           "f5faa9c21b1396c291b471a6a5ad9407d23486a9", ("src/",)),
    Source("morpho-vault-v2", "Morpho Vault V2", "morpho-org/vault-v2", "2026-08-13",
           "2b139002feaf4631f1c63d880380ca2278df7aec", ("src/",)),
    Source("eigenlayer-1.12.0", "EigenLayer", "Layr-Labs/eigenlayer-contracts", "v1.12.0",
           "d302f65042164c8d8d0a983c1540d85a8710030b", ("src/contracts/",)),
    Source("lido-3.0.2", "Lido", "lidofinance/core", "v3.0.2",
           "2a2210baa3939f8079c47e8b45656b9d40e90650", ("contracts/",)),
    Source("1inch-lop-4.3.2", "1inch Limit Order Protocol", "1inch/limit-order-protocol", "4.3.2",
           "67c56aee3b6a9f4982bf487084bd8da1f6638da0", ("contracts/",)),
    Source("1inch-solidity-utils-6.9.10", "1inch", "1inch/solidity-utils", "6.9.10",
           "2d91bb67665467afc06907a69513b0fa66c46f0d", ("contracts/",)),
    Source("pendle-v2", "Pendle", "pendle-finance/pendle-core-v2-public", "main",
           "e8c2cca4c9b329ba8a383a27d7318e5f8b35c843", ("contracts/",)),
    Source("gmx-synthetics-2.2", "GMX v2", "gmx-io/gmx-synthetics", "v2.2",
           "ee721b7e2d1891312dde52964d774144208cd1a0", ("contracts/",)),
    Source("cow-composable", "CoW Protocol ComposableCoW", "cowprotocol/composable-cow", "main",
           "bf7f79ce96422279471f0b567e3ddef0892afd20", ("src/",)),
    Source("cow-ethflow-1.3.0", "CoW Protocol ETH-flow", "cowprotocol/ethflowcontract", "v1.3.0",
           "5135b8d68294552506a2d73c64532ebde537c8a4", ("src/",)),
    Source("cow-settlement-1.8.0", "CoW Protocol", "cowprotocol/contracts", "v1.8.0",
           "53729a79c20901cb3708515aa32c1fda82528fb6", ("src/contracts/",)),
    Source("uniswapx-2.1.0", "UniswapX", "Uniswap/UniswapX", "v2.1.0",
           "df1dbfe2439c3c648ab5e3089953780ab7fc40b7", ("src/",)),
    Source("arbitrum-nitro-3.2.0", "Arbitrum Nitro", "OffchainLabs/nitro-contracts", "v3.2.0",
           "2695e7b3e3f460531e2b77fed48a60561c54d90e", ("src/",)),
    Source("lifi", "LI.FI", "lifinance/contracts", "main",
           "ef00558fde6c02d4b285979e3f2b0b75ff1e573e", ("src/",)),
    Source("across-5.0.16", "Across", "across-protocol/contracts", "v5.0.16",
           "eabc73753c30bcd03fcb1b0902e0c4940724c09a", ("contracts/",)),
    Source("euler-vault-kit", "Euler v2", "euler-xyz/euler-vault-kit", "master",
           "5b98b42048ba11ae82fb62dfec06d1010c8e41e6", ("src/",)),
    Source("solmate", "Solmate", "transmissions11/solmate", "main",
           "89365b880c4f3c786bdd453d4b8e8fe410344a69", ("src/",)),
    Source("coinbase-smart-wallet-1.1.0", "Coinbase Smart Wallet", "coinbase/smart-wallet", "v1.1.0",
           "a8c6456f3a6d5d2dea08d6336b3be13395cacd42", ("src/",)),
    Source("kernel-3.1", "ZeroDev Kernel", "zerodevapp/kernel", "v3.1",
           "03f7f5cf5871cda0070e4223f196f5b577f6cde2", ("src/",)),
    Source("nexus-1.2.0", "Biconomy Nexus", "bcnmy/nexus", "v1.2.0",
           "8db1a6e41780dd0cc85298b0cbe6ab493adc6bb5", ("contracts/",)),
    Source("light-account", "Alchemy LightAccount", "alchemyplatform/light-account", "develop",
           "93f46a243c59611118d5bb99df08b42af14b34b2", ("src/",)),
    Source("erc6900-0.8.0-rc.5", "ERC-6900 reference implementation", "erc6900/reference-implementation",
           "v0.8.0-rc.5", "e5f55ab1c3ac2f78efa14967e90e95c3e4ace38c", ("src/",)),
    Source("modular-account", "Alchemy Modular Account", "alchemyplatform/modular-account", "develop",
           "14afcd84859cf468684634eb9a9f8cb787f60b16", ("src/",)),
    Source("morpho-bundler3", "Morpho Bundler3", "morpho-org/bundler3", "main",
           "4887f33299ba6e60b54a51237b16e7392dceeb97", ("src/",)),
    Source("pimlico-singleton-paymaster", "Pimlico singleton paymaster", "pimlicolabs/singleton-paymaster",
           "master", "b378acaf3ad7b9cafd65ca2cdc4f1df1ace64de1", ("src/",)),
    Source("ens-1.1.6", "ENS", "ensdomains/ens-contracts", "v1.1.6",
           "a6139f0381ce6bcc584cbce36933c5ea95837212", ("contracts/",)),
)


# ---------------------------------------------------------------------------------------
# Reading a commit straight from the object store


class Repo:
    def __init__(self, git_dir: pathlib.Path) -> None:
        self.git_dir = git_dir

    def _git(self, *args: str, data: bytes | None = None) -> bytes:
        return subprocess.run(["git", "--git-dir", str(self.git_dir), *args], input=data,
                              capture_output=True, check=True).stdout

    def resolve(self, ref: str) -> str:
        return self._git("rev-parse", "--verify", "--quiet", ref + "^{commit}").decode().strip()

    def solidity_files(self, commit: str) -> dict[str, str]:
        listing = self._git("ls-tree", "-r", "-z", commit)
        blobs: list[tuple[str, str]] = []
        for row in listing.split(b"\0"):
            if not row:
                continue
            meta, path = row.split(b"\t", 1)
            _mode, kind, sha = meta.split()
            name = path.decode("utf-8", "replace")
            if kind == b"blob" and name.endswith(".sol"):
                blobs.append((name, sha.decode()))
        out = self._git("cat-file", "--batch", data="".join(s + "\n" for _, s in blobs).encode())
        files: dict[str, str] = {}
        pos = 0
        for name, _sha in blobs:
            nl = out.index(b"\n", pos)
            header = out[pos:nl].split()
            size = int(header[2])
            files[name] = out[nl + 1:nl + 1 + size].decode("utf-8", "replace")
            pos = nl + 1 + size + 1
        return dict(sorted(files.items()))


def find_mirror(mirrors: pathlib.Path, repo: str) -> pathlib.Path | None:
    base = mirrors / repo.replace("/", "+")
    for cand in (base / "repo", base):
        if (cand / "objects").is_dir() or (cand / "HEAD").is_file():
            return cand
    return None


# ---------------------------------------------------------------------------------------
# Lexing

_TOKEN = re.compile(
    r"""\s+|//[^\n]*|/\*.*?\*/|(?P<str>(?:unicode|hex)?"(?:[^"\\\n]|\\.)*"|(?:unicode|hex)?'(?:[^'\\\n]|\\.)*')"""
    r"""|(?P<id>[A-Za-z_$][A-Za-z0-9_$]*)|(?P<num>0x[0-9a-fA-F_]+|[0-9][0-9_]*(?:\.[0-9]+)?(?:e[0-9]+)?)"""
    r"""|(?P<op>=>|==|!=|<=|>=|&&|\|\||\+\+|--|<<|>>|\*\*|[-+*/%=<>!~^&|?:;,.(){}\[\]])""",
    re.S,
)


def tokenize(text: str) -> list[str]:
    toks: list[str] = []
    pos, n = 0, len(text)
    while pos < n:
        m = _TOKEN.match(text, pos)
        if m is None:
            pos += 1  # stray character (e.g. a unicode symbol in an unterminated comment)
            continue
        pos = m.end()
        if m.lastgroup:
            toks.append(m.group(m.lastgroup))
    return toks


def unquote(tok: str) -> str | None:
    if tok[:1] not in "\"'":
        return None
    body = tok[1:-1]
    return re.sub(r"\\(x[0-9a-fA-F]{2}|u[0-9a-fA-F]{4}|.)", _unescape, body)


def _unescape(m: re.Match[str]) -> str:
    e = m.group(1)
    if e[0] in "xu":
        return chr(int(e[1:], 16))
    return {"n": "\n", "t": "\t", "r": "\r", "0": "\0"}.get(e, e)


# ---------------------------------------------------------------------------------------
# Parsing: just enough of Solidity to find errors and the types they name


@dataclass
class Param:
    type: list[str]  # type tokens, e.g. ["IPoolManager", ".", "SwapParams", "[", "]"]
    name: str


@dataclass
class ErrorDecl:
    name: str
    params: list[Param]
    path: str
    scope: "Scope"


@dataclass
class Scope:
    name: str  # contract name, or "" for a file
    path: str
    parent: "Scope | None"
    bases: list[list[str]] = field(default_factory=list)
    structs: dict[str, list[Param]] = field(default_factory=dict)
    enums: set[str] = field(default_factory=set)
    udvts: dict[str, list[str]] = field(default_factory=dict)
    contracts: dict[str, "Scope"] = field(default_factory=dict)
    constants: dict[str, list[str]] = field(default_factory=dict)
    imports: list[tuple[str, dict[str, str] | None, str | None]] = field(default_factory=list)
    kind: str = ""  # contract, interface or library
    functions: list[ErrorDecl] = field(default_factory=list)  # external and public ones


@dataclass
class FileInfo:
    path: str
    scope: Scope
    errors: list[ErrorDecl]
    strings: list[str]  # revert strings in require/revert calls
    constants: list[tuple[str, str, str]]  # (library, name, literal)
    functions: list[ErrorDecl] = field(default_factory=list)


def _match(toks: list[str], i: int, open_: str, close: str) -> int:
    """Index just past the bracket that closes toks[i] (== open_)."""
    depth = 0
    n = len(toks)
    while i < n:
        t = toks[i]
        if t == open_:
            depth += 1
        elif t == close:
            depth -= 1
            if depth == 0:
                return i + 1
        i += 1
    return n


def _skip_statement(toks: list[str], i: int) -> int:
    """Skips to just past the `;` or the `{...}` body that ends the item at i."""
    n = len(toks)
    while i < n:
        t = toks[i]
        if t == ";":
            return i + 1
        if t == "{":
            return _match(toks, i, "{", "}")
        if t == "(":
            i = _match(toks, i, "(", ")")
            continue
        i += 1
    return n


_LOCATIONS = {"memory", "calldata", "storage", "indexed", "payable"}


def parse_params(toks: list[str]) -> list[Param]:
    params: list[Param] = []
    cur: list[str] = []
    depth = 0
    for t in toks + [","]:
        if t in "([":
            depth += 1
        elif t in ")]":
            depth -= 1
        if t == "," and depth == 0:
            if cur:
                params.append(_split_param(cur))
            cur = []
        else:
            cur.append(t)
    return params


def _split_param(toks: list[str]) -> Param:
    toks = [t for t in toks if t not in _LOCATIONS]
    name = ""
    if len(toks) >= 2 and re.fullmatch(r"[A-Za-z_$][A-Za-z0-9_$]*", toks[-1]) and toks[-2] not in (".",):
        name = toks[-1]
        toks = toks[:-1]
    return Param(toks, name)


def parse_file(path: str, text: str) -> FileInfo:
    toks = tokenize(text)
    fscope = Scope("", path, None)
    errors: list[ErrorDecl] = []
    strings: list[str] = []
    constants: list[tuple[str, str, str]] = []
    _parse_body(toks, 0, len(toks), fscope, errors, constants)
    # revert strings: require(..., "text") and revert("text")
    n = len(toks)
    for i, t in enumerate(toks):
        if t in ("require", "_require", "revert") and i + 1 < n and toks[i + 1] == "(":
            end = _match(toks, i + 1, "(", ")")
            last = toks[end - 2] if end - 2 > i + 1 else ""
            s = unquote(last) if last else None
            if s is None:
                continue
            if t == "revert" and end - 2 != i + 2:
                continue
            if t != "revert" and toks[end - 3] != ",":
                continue
            strings.append(s)
    # ERC-4337 codes are passed to FailedOp/FailedOpWithRevert rather than require
    for t in toks:
        s = unquote(t)
        if s is not None and re.match(r"AA\d\d ", s):
            strings.append(s)
    functions: list[ErrorDecl] = []
    pending = list(fscope.contracts.values())
    while pending:
        sc = pending.pop(0)
        functions.extend(sc.functions)
        pending.extend(sc.contracts.values())
    return FileInfo(path, fscope, errors, strings, constants, functions)


def _parse_body(toks: list[str], i: int, end: int, scope: Scope, errors: list[ErrorDecl],
                constants: list[tuple[str, str, str]]) -> None:
    while i < end:
        t = toks[i]
        if t == "import" and scope.parent is None:
            j = i
            while j < end and toks[j] != ";":  # `import {A} from "p";` holds braces, not a body
                j += 1
            _parse_import(toks[i + 1:j], scope)
            i = j + 1
        elif t in ("contract", "interface", "library") and i + 1 < end and toks[i - 1:i] != ["."]:
            name = toks[i + 1]
            j = i + 2
            bases: list[list[str]] = []
            if j < end and toks[j] == "is":
                j += 1
                cur: list[str] = []
                while j < end and toks[j] != "{":
                    if toks[j] == "(":
                        j = _match(toks, j, "(", ")")
                        continue
                    if toks[j] == ",":
                        bases.append(cur)
                        cur = []
                    else:
                        cur.append(toks[j])
                    j += 1
                if cur:
                    bases.append(cur)
            while j < end and toks[j] != "{":
                j += 1
            close = _match(toks, j, "{", "}")
            sub = Scope(name, scope.path, scope, bases, kind=t)
            scope.contracts[name] = sub
            _parse_body(toks, j + 1, close - 1, sub, errors, constants)
            i = close
        elif t == "struct" and i + 2 < end and toks[i + 2] == "{":
            close = _match(toks, i + 2, "{", "}")
            members: list[Param] = []
            cur = []
            for tok in toks[i + 3:close - 1]:
                if tok == ";":
                    if cur:
                        members.append(_split_param(cur))
                    cur = []
                else:
                    cur.append(tok)
            scope.structs[toks[i + 1]] = members
            i = close
        elif t == "enum" and i + 2 < end and toks[i + 2] == "{":
            scope.enums.add(toks[i + 1])
            i = _match(toks, i + 2, "{", "}")
        elif t == "type" and i + 3 < end and toks[i + 2] == "is":
            j = _skip_statement(toks, i)
            scope.udvts[toks[i + 1]] = toks[i + 3:j - 1]
            i = j
        elif t == "error" and i + 2 < end and toks[i + 2] == "(":
            close = _match(toks, i + 2, "(", ")")
            errors.append(ErrorDecl(toks[i + 1], parse_params(toks[i + 3:close - 1]), scope.path, scope))
            i = _skip_statement(toks, close)
        elif t == "function" and scope.kind in ("contract", "interface") and i + 2 < end and toks[i + 2] == "(":
            close = _match(toks, i + 2, "(", ")")
            j = close
            visible = scope.kind == "interface"
            while j < end and toks[j] not in ("{", ";"):
                if toks[j] == "(":
                    j = _match(toks, j, "(", ")")
                    continue
                visible = visible or toks[j] in ("external", "public")
                j += 1
            raw = toks[i + 3:close - 1]
            if visible and "storage" not in raw:
                scope.functions.append(ErrorDecl(toks[i + 1], parse_params(raw), scope.path, scope))
            i = _skip_statement(toks, close)
        elif t in ("function", "modifier", "event", "constructor", "fallback", "receive", "using", "pragma"):
            i = _skip_statement(toks, i)
        elif t == "{":
            i = _match(toks, i, "{", "}")
        elif t == "abstract":
            i += 1
        else:
            j = _skip_statement(toks, i)
            decl = toks[i:j - 1]
            if "constant" in decl and "=" in decl:
                eq = decl.index("=")
                cname = decl[eq - 1]
                value = decl[eq + 1:]
                scope.constants[cname] = value
                if len(value) == 1:
                    constants.append((scope.name, cname, value[0]))
            i = j


def _parse_import(toks: list[str], scope: Scope) -> None:
    # import "p"; import "p" as X; import * as X from "p"; import {A, B as C} from "p";
    path = next((unquote(t) for t in toks if unquote(t) is not None), None)
    if path is None:
        return
    if toks and toks[0] == "{":
        names: dict[str, str] = {}
        close = toks.index("}")
        items = toks[1:close]
        k = 0
        while k < len(items):
            if items[k] == ",":
                k += 1
                continue
            orig = items[k]
            alias = orig
            if k + 2 < len(items) and items[k + 1] == "as":
                alias = items[k + 2]
                k += 3
            else:
                k += 1
            names[alias] = orig
        scope.imports.append((path, names, None))
    elif toks and toks[0] == "*":
        scope.imports.append((path, None, toks[2]))
    elif "as" in toks:
        scope.imports.append((path, None, toks[toks.index("as") + 1]))
    else:
        scope.imports.append((path, None, None))


# ---------------------------------------------------------------------------------------
# Resolving types


class Unresolved(Exception):
    pass


_INT = re.compile(r"(u?int)(\d*)")
_BYTES = re.compile(r"bytes(\d+)")


def _elementary(name: str) -> str | None:
    if name in ("address", "bool", "string", "bytes"):
        return name
    if name == "byte":
        return "bytes1"
    m = _INT.fullmatch(name)
    if m:
        bits = m.group(2) or "256"
        if int(bits) % 8 == 0 and 8 <= int(bits) <= 256:
            return m.group(1) + bits
        return None
    m = _BYTES.fullmatch(name)
    if m and 1 <= int(m.group(1)) <= 32:
        return name
    if name in ("fixed", "ufixed"):
        return name + "128x18"
    return None


@dataclass
class Resolved:
    type: str  # JSON-ABI type: "uint256", "tuple", "tuple[]", ...
    components: list[dict[str, Any]] | None = None

    def canonical(self) -> str:
        if self.components is None:
            return self.type
        inner = ",".join(_canon_param(c) for c in self.components)
        return "(" + inner + ")" + self.type[len("tuple"):]


def _canon_param(p: dict[str, Any]) -> str:
    if "components" in p:
        inner = ",".join(_canon_param(c) for c in p["components"])
        return "(" + inner + ")" + str(p["type"])[len("tuple"):]
    return str(p["type"])


class Project:
    """Every Solidity file of one source (or of several, for lookups across sources)."""

    def __init__(self, files: dict[str, FileInfo], fallback: "list[Project]") -> None:
        self.files = files
        self.fallback = fallback
        self.by_name: dict[str, list[tuple[str, Scope]]] = {}
        for info in files.values():
            self._index(info.scope)
        self._suffix_cache: dict[str, str | None] = {}

    def _index(self, scope: Scope) -> None:
        for name in scope.structs:
            self.by_name.setdefault(name, []).append(("struct", scope))
        for name in scope.enums:
            self.by_name.setdefault(name, []).append(("enum", scope))
        for name in scope.udvts:
            self.by_name.setdefault(name, []).append(("udvt", scope))
        for name, sub in scope.contracts.items():
            self.by_name.setdefault(name, []).append(("contract", scope))
            self._index(sub)

    # -- import paths ------------------------------------------------------------------
    def import_target(self, from_path: str, imported: str) -> str | None:
        if imported.startswith("."):
            parts = from_path.split("/")[:-1]
            for piece in imported.split("/"):
                if piece == "..":
                    if parts:
                        parts.pop()
                elif piece != ".":
                    parts.append(piece)
            cand = "/".join(parts)
            if cand in self.files:
                return cand
        if imported in self.files:
            return imported
        if imported in self._suffix_cache:
            return self._suffix_cache[imported]
        pieces = imported.split("/")
        found = None
        for k in range(len(pieces)):
            suffix = "/".join(pieces[k:])
            hits = [p for p in self.files if p == suffix or p.endswith("/" + suffix)]
            if len(hits) == 1:
                found = hits[0]
                break
            if len(hits) > 1:
                found = min(hits, key=lambda p: (("/lib/" in "/" + p) or ("test" in p), len(p), p))
                break
        self._suffix_cache[imported] = found
        return found

    # -- lookup ------------------------------------------------------------------------
    def lookup(self, scope: Scope, name: str, seen: set[int] | None = None) -> tuple[str, Scope, str] | None:
        """Where `name` is defined, as seen from `scope`: (kind, defining scope, name there)."""
        seen = seen if seen is not None else set()
        if id(scope) in seen:
            return None
        seen.add(id(scope))
        s: Scope | None = scope
        while s is not None:
            hit = self._own(s, name)
            if hit:
                return hit
            for base in s.bases:
                bs = self._scope_of(s, base, seen)
                if bs is not None:
                    hit = self.lookup(bs, name, seen)
                    if hit:
                        return hit
            if s.parent is None:
                hit = self._imported(s, name, seen)
                if hit:
                    return hit
            s = s.parent
        return None

    @staticmethod
    def _own(s: Scope, name: str) -> tuple[str, Scope, str] | None:
        if name in s.structs:
            return ("struct", s, name)
        if name in s.enums:
            return ("enum", s, name)
        if name in s.udvts:
            return ("udvt", s, name)
        if name in s.contracts:
            return ("contract", s, name)
        return None

    def _imported(self, fscope: Scope, name: str, seen: set[int]) -> tuple[str, Scope, str] | None:
        for imported, names, alias in fscope.imports:
            if alias is not None or (names is not None and name not in names):
                continue
            target = self.import_target(fscope.path, imported)
            if target is None:
                continue
            tscope = self.files[target].scope
            orig = names[name] if names is not None else name
            hit = self.lookup(tscope, orig, seen)
            if hit:
                return hit
        return None

    def _file_alias(self, fscope: Scope, alias: str) -> Scope | None:
        for imported, names, al in fscope.imports:
            if al == alias:
                target = self.import_target(fscope.path, imported)
                if target is not None:
                    return self.files[target].scope
        return None

    def _scope_of(self, scope: Scope, qual: list[str], seen: set[int]) -> Scope | None:
        """The contract scope named by a (possibly qualified) name, seen from `scope`."""
        qual = [q for q in qual if q != "."]
        if not qual:
            return None
        cur: Scope | None = None
        first = qual[0]
        fs = scope
        while fs.parent is not None:
            fs = fs.parent
        al = self._file_alias(fs, first)
        if al is not None:
            cur = al
        else:
            hit = self.lookup(scope, first, set(seen))
            if hit and hit[0] == "contract":
                cur = hit[1].contracts[hit[2]]
            else:
                cands = [s.contracts[first] for k, s in self.by_name.get(first, []) if k == "contract"]
                if not cands:
                    for other in self.fallback:
                        cands = [s.contracts[first] for k, s in other.by_name.get(first, []) if k == "contract"]
                        if cands:
                            break
                if not cands:
                    return None
                cur = cands[0]
        for q in qual[1:]:
            if cur is None or q not in cur.contracts:
                return None
            cur = cur.contracts[q]
        return cur

    def resolve(self, scope: Scope, toks: list[str], depth: int = 0) -> Resolved:
        if depth > 24:
            raise Unresolved("recursive type")
        # split off array suffixes
        suffix = ""
        while toks and toks[-1] == "]":
            open_ = len(toks) - 1 - toks[::-1].index("[")
            size = toks[open_ + 1:-1]
            if not size:
                dim = ""
            elif len(size) == 1 and re.fullmatch(r"\d+", size[0]):
                dim = size[0]
            else:
                dim = self._constant(scope, size)
            suffix = "[" + dim + "]" + suffix
            toks = toks[:open_]
        if not toks:
            raise Unresolved("empty type")
        if toks[0] == "function":
            return Resolved("function" + suffix)
        if toks[0] == "mapping":
            raise Unresolved("mapping in an error")
        names = [t for t in toks if t != "."]
        if len(names) == 1:
            el = _elementary(names[0])
            if el is not None:
                return Resolved(el + suffix)
        kind, defscope, last = self._find(scope, names)
        if kind == "contract":
            return Resolved("address" + suffix)
        if kind == "enum":
            return Resolved("uint8" + suffix)
        if kind == "udvt":
            under = self.resolve(defscope, defscope.udvts[last], depth + 1)
            return Resolved(under.type + suffix, under.components)
        members = defscope.structs[last]
        comps: list[dict[str, Any]] = []
        for m in members:
            r = self.resolve(defscope, m.type, depth + 1)
            comps.append(_param_json(m.name, r))
        return Resolved("tuple" + suffix, comps)

    def _find(self, scope: Scope, names: list[str]) -> tuple[str, Scope, str]:
        last = names[-1]
        if len(names) > 1:
            owner = self._scope_of(scope, names[:-1], set())
            if owner is not None:
                hit = self._own(owner, last)
                if hit is None:
                    hit = self.lookup(owner, last)
                if hit:
                    return hit
        else:
            hit = self.lookup(scope, last)
            if hit:
                return hit
        for proj in [self] + self.fallback:
            cands = proj.by_name.get(last, [])
            if len(names) > 1:
                narrowed = [c for c in cands if c[1].name == names[-2]]
                cands = narrowed or cands
            if not cands:
                continue
            shapes: set[str | None] = set()
            for kind, s in cands:
                try:
                    shapes.add(self._shape(kind, s, last))
                except Unresolved:
                    shapes.add(None)
            if len(shapes) == 1 and None not in shapes:
                return cands[0][0], cands[0][1], last
            raise Unresolved(f"ambiguous type {'.'.join(names)}")
        raise Unresolved(f"unknown type {'.'.join(names)}")

    def _shape(self, kind: str, s: Scope, name: str) -> str:
        if kind == "contract":
            return "address"
        if kind == "enum":
            return "uint8"
        if kind == "udvt":
            return self.resolve(s, s.udvts[name], 1).canonical()
        return Resolved("tuple", [_param_json(m.name, self.resolve(s, m.type, 1))
                                  for m in s.structs[name]]).canonical()

    def _constant(self, scope: Scope, toks: list[str]) -> str:
        name = toks[-1]
        s: Scope | None = scope
        while s is not None:
            if name in s.constants and len(s.constants[name]) == 1 and s.constants[name][0].isdigit():
                return s.constants[name][0]
            s = s.parent
        raise Unresolved("array length " + " ".join(toks))


def _param_json(name: str, r: Resolved) -> dict[str, Any]:
    out: dict[str, Any] = {"name": name, "type": r.type}
    if r.components is not None:
        out["components"] = r.components
    return out


# ---------------------------------------------------------------------------------------
# Which files count

_SKIP_DIR = re.compile(
    r"(tests?|.*[-_.]tests?|tests?[-_.].*|mocks?|.*[-_]mocks?|scripts?|node_modules|certora|echidna"
    r"|harness(es)?|fuzz(ing)?|invariants?|simulations?|deprecated|examples?|testing|foundry|hardhat|"
    r"audits?|specs?)",
    re.I,
)


def keeps(src: Source, path: str) -> bool:
    if not any(path.startswith(p) for p in src.paths):
        return False
    parts = path.split("/")
    if parts[0] == "lib" and not src.library:
        return False  # vendored dependencies live in the top-level lib/
    for part in parts[:-1]:
        if _SKIP_DIR.fullmatch(part):
            return False
    base = parts[-1]
    if re.search(r"\.(t|s)\.sol$", base) or re.search(r"(Mock|Test|Harness)[A-Z_.]", base):
        return False
    return True


# ---------------------------------------------------------------------------------------
# Building


@dataclass
class Built:
    sources: list[dict[str, str]]
    errors: dict[str, dict[str, Any]]
    functions: dict[str, dict[str, Any]]
    strings: dict[str, list[tuple[str, str, str]]]  # table -> (text, source id, path)
    constants: dict[str, list[tuple[str, str, str, str]]]  # source id -> (library, name, value, path)
    problems: list[str]


def build(mirrors: pathlib.Path, sources: Iterable[Source] = SOURCES) -> Built:
    built = Built([], {}, {}, {}, {}, [])
    parsed: list[tuple[Source, Project]] = []
    projects: list[Project] = []
    for src in sources:
        git_dir = find_mirror(mirrors, src.repo)
        if git_dir is None:
            built.problems.append(f"{src.id}: no mirror of {src.repo} under {mirrors}")
            continue
        repo = Repo(git_dir)
        commit = src.commit or repo.resolve(src.ref)
        if src.commit:
            try:
                repo._git("cat-file", "-e", src.commit + "^{commit}")
            except subprocess.CalledProcessError:
                built.problems.append(f"{src.id}: commit {src.commit} missing from the mirror")
                continue
            named = repo.resolve(src.ref) if not re.fullmatch(r"[0-9a-f]{40}", src.ref) else src.commit
            if named and named != src.commit:
                built.problems.append(f"{src.id}: {src.ref} now points at {named}; built {src.commit}")
        files = {p: parse_file(p, t) for p, t in repo.solidity_files(commit).items()}
        project = Project(files, projects)
        projects.append(project)
        parsed.append((src, project))
        built.sources.append({"id": src.id, "project": src.project, "repo": src.repo, "ref": src.ref,
                              "commit": commit})
    for src, project in parsed:
        for path, info in project.files.items():
            if not keeps(src, path):
                continue
            if src.strings:
                for s in info.strings:
                    built.strings.setdefault(src.strings, []).append((s, src.id, path))
                for lib, name, value in info.constants:
                    built.constants.setdefault(src.id, []).append((lib, name, value, path))
            if not src.errors:
                continue
            for decl in info.functions:
                try:
                    params = [_param_json(p.name, project.resolve(decl.scope, p.type)) for p in decl.params]
                except Unresolved:
                    continue  # functions are a convenience: an unresolvable one is simply left out
                if any(p["type"].startswith("function") for p in params):
                    continue
                sig = decl.name + "(" + ",".join(_canon_param(p) for p in params) + ")"
                fentry = built.functions.setdefault(sig, {"selector": selector(sig), "signature": sig,
                                                          "params": params, "sources": []})
                if src.id not in fentry["sources"]:
                    fentry["sources"].append(src.id)
            for decl in info.errors:
                try:
                    params = [_param_json(p.name, project.resolve(decl.scope, p.type)) for p in decl.params]
                except Unresolved as exc:
                    built.problems.append(f"{src.id}: {path}: error {decl.name}: {exc}")
                    continue
                if any(p["type"].startswith("function") for p in params):
                    built.problems.append(f"{src.id}: {path}: error {decl.name}: function-typed parameter")
                    continue
                sig = decl.name + "(" + ",".join(_canon_param(p) for p in params) + ")"
                entry = built.errors.get(sig)
                if entry is None:
                    built.errors[sig] = {
                        "selector": selector(sig), "signature": sig, "name": decl.name,
                        "params": params, "hint": known_meanings.HINTS.get(sig),
                        "found": [{"source": src.id, "path": path}],
                    }
                else:
                    if not any(p["name"] for p in entry["params"]) and any(p["name"] for p in params):
                        entry["params"] = params
                    where = {"source": src.id, "path": path}
                    if where not in entry["found"]:
                        entry["found"].append(where)
    return built


def known_errors_document(built: Built) -> dict[str, Any]:
    errors = sorted(built.errors.values(), key=lambda e: (e["selector"], e["signature"]))
    return {"format": 1, "sources": built.sources, "errors": errors}


def known_functions_document(built: Built) -> dict[str, Any]:
    functions = sorted(built.functions.values(), key=lambda e: (e["selector"], e["signature"]))
    return {"format": 1, "sources": built.sources, "functions": functions}


def reason_codes_document(built: Built) -> dict[str, Any]:
    entries, problems = known_meanings.reason_entries(built.strings, built.constants,
                                                      {s["id"] for s in built.sources})
    built.problems.extend(problems)
    entries.sort(key=lambda e: (e["applies_to"], e["match"], e["text"]))
    return {"format": 1, "sources": built.sources, "entries": entries}


def dumps(doc: dict[str, Any], list_key: str) -> str:
    """One entry per line: stable, diff-friendly and still compact."""
    head = {k: v for k, v in doc.items() if k != list_key}
    lines = ["{"]
    for k, v in head.items():
        if isinstance(v, list):
            lines.append(f' "{k}": [')
            lines.append(",\n".join("  " + json.dumps(x, ensure_ascii=False, separators=(", ", ": "))
                                    for x in v))
            lines.append(" ],")
        else:
            lines.append(f' "{k}": {json.dumps(v)},')
    lines.append(f' "{list_key}": [')
    lines.append(",\n".join("  " + json.dumps(x, ensure_ascii=False, separators=(",", ":"))
                            for x in doc[list_key]))
    lines.append(" ]")
    lines.append("}")
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("mirrors", type=pathlib.Path)
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--out", type=pathlib.Path, default=DATA)
    args = ap.parse_args(argv)
    built = build(args.mirrors)
    outputs = {
        "known_errors.json": dumps(known_errors_document(built), "errors"),
        "reason_codes.json": dumps(reason_codes_document(built), "entries"),
        "known_functions.json": dumps(known_functions_document(built), "functions"),
    }
    for p in built.problems:
        print("build_known:", p, file=sys.stderr)
    stale = []
    for name, text in outputs.items():
        target = args.out / name
        if args.check:
            if not target.is_file() or target.read_text(encoding="utf-8") != text:
                stale.append(name)
        else:
            args.out.mkdir(parents=True, exist_ok=True)
            target.write_text(text, encoding="utf-8")
    errs = len(built.errors)
    sels = len({e["selector"] for e in built.errors.values()})
    print(f"build_known: {len(built.sources)} sources, {errs} signatures, {sels} selectors", file=sys.stderr)
    if stale:
        print("build_known: stale:", ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
