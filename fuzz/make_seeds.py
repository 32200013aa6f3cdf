"""Writes the seed corpora in fuzz/corpus/<target>/ from eth-abi encodings and real shapes.

Run from anywhere: python3 fuzz/make_seeds.py (needs eth-abi and pycryptodome). Each seed is
named by its content's digest, so rerunning adds nothing twice.
"""

import hashlib
import json
import re
from pathlib import Path

from Crypto.Hash import keccak
from eth_abi import encode

FUZZ = Path(__file__).resolve().parent
ROOT = FUZZ.parent
ADDRESS = "0x5b38da6a701c568545dcfcb03fcb875f56beddc4"
SAMPLES = {"address": ADDRESS, "uint256": 1000, "bytes32": b"\x11" * 32}


def selector(signature: str) -> bytes:
    return keccak.new(digest_bits=256, data=signature.encode()).digest()[:4]


def write(target: str, seeds: list[bytes]) -> None:
    folder = FUZZ / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for seed in seeds:
        (folder / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


def builtin_signatures() -> list[str]:
    text = (ROOT / "src/core/builtin_signatures.cpp").read_text()
    return re.findall(r'"([A-Za-z0-9_]+\([a-z0-9,]*\))"', text)


REASONS = ["Ownable: caller is not the owner", "ERC20: insufficient balance", "Pausable: paused",
           "ERC20: insufficient allowance", "Initializable: contract is already initialized",
           "İNSUFFICIENT BALANCE", "ΣΑΣ", "", "x" * 100, "bad \udcff".encode("utf-8", "surrogateescape")]


def revert_payloads() -> list[bytes]:
    seeds = [b"", b"\x08\xc3\x79", b"\xde\xad\xbe\xef"]
    for reason in REASONS:
        raw = reason if isinstance(reason, bytes) else reason.encode()
        seeds.append(selector("Error(string)") + encode(["bytes"], [raw]))
    for code in [0x00, 0x01, 0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x51, 0x99, 2**64 - 1, 2**64]:
        seeds.append(selector("Panic(uint256)") + encode(["uint256"], [code]))
    for signature in builtin_signatures():
        types = signature[signature.index("(") + 1:-1].split(",") if "()" not in signature else []
        seeds.append(selector(signature) + encode(types, [SAMPLES[t] for t in types]))
        seeds.append(selector(signature) + encode(types, [2**256 - 1 if t == "uint256" else SAMPLES[t]
                                                          for t in types])[:-1])
    return seeds


TYPE_LISTS = {
    "uint256": [2**256 - 1], "int8,int256": [-1, -(2**255)], "bool,address": [True, ADDRESS],
    "bytes,string": [b"\x00\xff", "héllo"], "bytes1,bytes32": [b"\x01", b"\x02" * 32],
    "uint256[]": [[1, 2, 3]], "string[2]": [["a", "b"]], "(uint256,string)": [(5, "x")],
    "(address,bytes)[]": [[(ADDRESS, b"ab"), (ADDRESS, b"")]], "uint8[][2]": [[[1], [2, 3]]],
    "((uint256,bool)[],string)[1]": [[([(1, True)], "s")]], "string,string": ["\u00ff", "日本"],
}


def type_seeds() -> list[bytes]:
    texts = ["uint", "int", "uint8", "int256", "bytes1", "bytes32", "bytes", "string", "address",
             "bool", "function", "tuple(uint256,bool)", "(uint256,(address,bytes32)[])[2]",
             "uint256[][3][]", "()", "(,)", "( uint256 , bool , )", "Lib.Enum", "Lib.Enum[]",
             "uint7", "bytes33", "foo", "uint256[", "(((((uint8)))))", "string[0]"]
    return [text.encode() for text in texts + list(TYPE_LISTS)]


def decoder_seeds() -> list[bytes]:
    seeds = []
    for types, values in TYPE_LISTS.items():
        encoded = encode(re.findall(r"[^,()]+|\(.*?\)(?:\[\d*\])*", types) if "(" not in types
                         else [types], values)
        seeds.append(types.encode() + b"\n" + encoded)
    return seeds


def context_seeds() -> list[bytes]:
    contexts = [{}, {"chain": "ethereum", "tx_hash": "0x" + "ab" * 32, "block_number": 17000000},
                {"contract_address": ADDRESS, "call_selector": "0xa9059cbb", "block_number": "42"},
                {"chain": None, "other": [1, {"x": [True, None]}], "block_number": 2**64 - 1},
                {"chain": "é\u2028\ud83d\ude00".encode("utf-16", "surrogatepass").decode("utf-16")},
                {"block_number": -1}, {"block_number": 1.5}]
    seeds = [json.dumps(c, ensure_ascii=False).encode() for c in contexts]
    seeds += [b'{"chain":"\\ud83d\\ude00"}', b'{"chain":"\\ud800"}', b" [] ", b"{", b'{"a":1,}']
    return seeds


def hex_seeds() -> list[bytes]:
    seeds = [b"", b"0x", b"0x0", b"0X12", b"0xDEADbeef", b"0x0x12", b"zz", b"0x\xc3\xa9a", b"12 4"]
    return seeds + [b"0x" + seed.hex().encode() for seed in revert_payloads()[:8]]


def text_seeds() -> list[bytes]:
    texts = ["ΣΑΣ ΟΔΟΣ", "İstanbul", "ÀÉÎ", "ẞ", "Ω", "ǅ", "ABC xyz", "\U0001d400", "ﬀ"]
    return [t.encode() for t in texts] + [b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
                                          b"\xe2\x82", b"a\xffb", b"\xf0\x9f\x98"]


USER_ERRORS = [  # (definition line, types, values) in the user_registry target's line format
    ("Unauthorized;Only the owner may call this.;account:address,needed:uint256",
     ["address", "uint256"], [ADDRESS, 5]),
    ("Custom;-;p:tuple[]{a:uint256,b:bytes},s:string,f:bytes4[2]",
     ["(uint256,bytes)[]", "string", "bytes4[2]"], [[(1, b"x")], "s", [b"abcd", b"efgh"]]),
    ("Nested;-;d:tuple{e:tuple[2]{f:int8,g:bool},h:function}",
     ["((int8,bool)[2],bytes24)"], [([(-1, True), (2, False)], b"\x01" * 24)]),
    ("Empty;-;", [], []),
    ("ERC20InsufficientBalance;shadowed;sender:address,balance:uint256,needed:uint256",
     ["address", "uint256", "uint256"], [ADDRESS, 1, 2]),
]


def user_registry_seeds() -> list[bytes]:
    lines = b"\n".join(line.encode() for line, _, _ in USER_ERRORS)
    seeds = [b"Bad;-;x:uint7\0", b"NoComponents;-;t:tuple\0", b"Odd;-;t:uint8{a:bool}\0"]
    for index, (_, types, values) in enumerate(USER_ERRORS):
        pick = next(b for b in range(0x80, 0x100) if b % len(USER_ERRORS) == index)
        seeds.append(lines + b"\0" + bytes([pick]) + encode(types, values))
    return seeds


# fuzz_definitions_reader's program: operations that push objects, read as a list at the end.
TYPE_TABLE = ["uint256", "uint", "tuple", "tuple[]", "tuple[2][]", "bool[2]", "string", "bytes"]


def text_op(text: str) -> bytes:
    """Text of ASCII characters (kind 0) and, for a code point of 0xD800 or more, a lone
    surrogate (kind 1)."""
    out = bytes([0, len(text)])
    for char in text:
        code = ord(char)
        out += bytes([(code - 0xD800) // 8, 1]) if code >= 0xD800 else bytes([code - 0x20, 0])
    return out


def type_op(name: str) -> bytes:
    return bytes([1, TYPE_TABLE.index(name)])


NONE, TUPLE, LIST = b"\x03", b"\x06", b"\x08"


def definition(name: str, params: list[bytes], hint: bytes = NONE) -> bytes:
    """(name, [params], hint): the params are programs that push one triple each."""
    return text_op(name) + b"".join(params) + LIST + bytes([len(params)]) + hint + TUPLE + b"\x03"


def param(name: str, type_name: str, components: list[bytes] | None = None) -> bytes:
    pushed = NONE if components is None else b"".join(components) + TUPLE + bytes([len(components)])
    return text_op(name) + type_op(type_name) + pushed + TUPLE + b"\x03"


def definitions_reader_seeds() -> list[bytes]:
    pair = [param("code", "uint256"), param("why", "string")]
    return [
        definition("Foo", [param("a", "uint256")]),
        definition("Bar", [param("p", "tuple[]", pair), param("q", "bool[2]")], text_op("hint")),
        definition("Foo", [param("a\ud800", "uint")]) + definition("Baz", []),
        definition("Hint", [], text_op("x\udc00")),
        definition("Deep", [param("t", "tuple", [param("u", "tuple[2][]", [param("v", "bytes")])])]),
        definition("Empty", [param("t", "tuple", [])]),
    ]


def unwrap_seeds() -> list[bytes]:
    """Chains through the fuzz target's wrappers and through reason texts that end in a revert."""
    reason = selector("Error(string)") + encode(["string"], ["Pausable: paused"])
    panic = selector("Panic(uint256)") + encode(["uint256"], [0x11])
    seeds = [selector("Wrap(bytes)") + encode(["bytes"], [reason]),
             selector("Pair(bytes,uint256,bytes)") + encode(["bytes", "uint256", "bytes"], [panic, 1, reason]),
             selector("Error(string)") + encode(["bytes"], [b"caught: " + panic])]
    inner = panic
    for _ in range(18):
        inner = selector("Wrap(bytes)") + encode(["bytes"], [inner])
    return [*seeds, inner]


def snappy_seeds() -> list[bytes]:
    # Revert data as the bulk writers store it: hex text, one payload a line (past one 64 KiB
    # block when repeated), and the raw bytes.
    payloads = revert_payloads()
    lines = b"".join(b"0x" + payload.hex().encode() + b"\n" for payload in payloads)
    return [lines, lines * 8, b"".join(payloads), b"\0" * 300, bytes(range(256)) * 2]


def filler(name: str, size: int) -> bytes:
    """Deterministic bytes that look random."""
    out = b""
    while len(out) < size:
        out += hashlib.sha256(f"{name}{len(out)}".encode()).digest()
    return out[:size]


def parquet_writer_seeds() -> list[bytes]:
    # Byte layout of fuzz_parquet_writer: mode, fields (kind, flags), options, then batches.
    seeds = []
    for kind in range(13):  # every ParquetKind, once nullable with statistics, once neither
        for flags, batch in ((0x03, 0x02), (0x00, 0x00)):
            head = bytes([1, 0, kind, flags, 7, 5]) + (300).to_bytes(2, "little") \
                + (120).to_bytes(2, "little") + bytes([0x01, 1])
            rows = bytes([50, 1, 1, batch, 0x00, 3])
            seeds.append(head + rows + filler(f"pq{kind}{flags}", 900))
    # Two columns of one kind, the second the very array of the first (dictionary text).
    seeds.append(bytes([1, 1, 11, 0x03, 11, 0x03, 30, 9]) + (64).to_bytes(2, "little")
                 + (48).to_bytes(2, "little") + bytes([0x02, 2, 90, 1, 1, 0x00, 0x00, 0])
                 + bytes([2] * 90) + bytes([4]) + filler("alias", 400))
    # The hybrid: 32-bit values, levels and single runs at several widths.
    for width in (0, 4, 12, 31):
        seeds.append(bytes([0, width, 0, 6]) + filler(f"rle{width}", 600))
        seeds.append(bytes([0, width, 2]) + filler(f"run{width}", 16))
    seeds.append(bytes([0, 0, 1, 8]) + filler("levels", 600))
    return seeds


if __name__ == "__main__":
    write("unwrap", unwrap_seeds())
    write("pipeline", revert_payloads())
    write("hex_reader", hex_seeds())
    write("abi_type", type_seeds())
    write("abi_decoder", decoder_seeds())
    write("context_reader", context_seeds())
    write("utf8_text", text_seeds())
    write("user_registry", user_registry_seeds())
    write("definitions_reader", definitions_reader_seeds())
    write("snappy", snappy_seeds())
    write("parquet_writer", parquet_writer_seeds())
