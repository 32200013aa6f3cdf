"""Hostile sizes and shapes for the companion: thousands of errors, types nested past the depth
limit, a very long signature, an artifact folder full of what is not JSON, a Parquet column with
a huge cell. Each is handled with memory linear in its size or refused with a clear ValueError,
never a crash or a hang. Each case runs in a fresh interpreter that reports its peak memory.

CI runs reduced sizes; KESTRIX_HOSTILE_FULL=1 runs the full ones (10^5 errors, a signature of
a million characters, a 1 GB folder, a 100 MB Parquet cell) and prints what each took."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import kestrix_tools
from kestrix_tools import _native

FULL = os.environ.get("KESTRIX_HOSTILE_FULL") == "1"
MB = 1 << 20
# Under AddressSanitizer (the sanitized run preloads it) every block carries redzones and freed
# memory waits in quarantine: the bounds stay linear, with a larger factor.
SLACK = 8 if "asan" in os.environ.get("LD_PRELOAD", "") else 1
needs_loaders = pytest.mark.skipif(not hasattr(kestrix_tools, "Decoder"),
                                   reason="this build has no kestrix_tools.Decoder")

# Runs the case in a fresh interpreter. `grew` is how far the peak resident memory rose past the
# memory resident just before the case, in bytes (the kernel's peak mark is reset there); the
# case's findings come back through `report`.
HARNESS = """
import json, sys, time
import kestrix_tools
from kestrix_tools import _native
def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field + ":"))
def start_measuring():
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    return status("VmRSS")
def peak():
    return status("VmHWM")
found = {}
def report(**values):
    found.update(values)
"""
FINISH = """
print(json.dumps({"grew": peak() - _before, "seconds": time.perf_counter() - _start, **found}))
"""


def measure(setup, body, timeout=600):
    code = HARNESS + textwrap.dedent(setup) + "\n_before = start_measuring(); _start = time.perf_counter()\n" + \
        textwrap.dedent(body) + FINISH
    process = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
    assert process.returncode == 0, process.stdout + process.stderr
    result = json.loads(process.stdout.splitlines()[-1])
    print(f"\n  peak memory grew {result['grew'] / MB:.1f} MB in {result['seconds']:.2f} s: {result}")
    return result


def error_entry(index):
    return {"type": "error", "name": f"Error{index}",
            "inputs": [{"name": "who", "type": "address"}, {"name": "amount", "type": "uint256"}]}


@pytest.mark.parametrize("count", [100_000 if FULL else 10_000])
def test_many_errors_build_in_linear_memory(count):
    result = measure(f"""
        definitions = [(f"Error{{i}}", [("who", "address", None), ("amount", "uint256", None)], None)
                       for i in range({count})]
    """, """
        decoder = _native.Decoder(definitions)
        from Crypto.Hash import keccak
        last = decoder.errors[-1]
        selector = keccak.new(digest_bits=256, data=last.encode()).hexdigest()[:8]
        result = decoder.decode(selector + "00" * 12 + "11" * 20 + "00" * 31 + "05")
        report(errors=len(decoder.errors), name=result["error_name"], inputs=result["inputs"])
    """)
    assert result["errors"] == count and result["name"] == f"Error{count - 1}"
    assert json.loads(result["inputs"])[1] == ["amount", {"type": "uint", "value": 5}]
    assert result["grew"] < SLACK * (count * 4096 + 64 * MB)


@needs_loaders
@pytest.mark.parametrize("count", [100_000 if FULL else 10_000])
def test_a_json_abi_of_many_errors_loads_in_linear_memory(count, tmp_path):
    abi = tmp_path / "abi.json"
    abi.write_text(json.dumps([error_entry(i) for i in range(count)]))
    result = measure(f"text = open({str(abi)!r}).read()", """
        decoder = kestrix_tools.Decoder(abi=text)
        report(errors=len(decoder.errors))
    """)
    assert result["errors"] == count
    assert result["grew"] < SLACK * (count * 8192 + 64 * MB)


def nested_components(depth):
    param = {"name": "leaf", "type": "uint8"}
    for level in range(depth):
        param = {"name": f"n{level}", "type": "tuple", "components": [param]}
    return param


@pytest.mark.parametrize("definition", [
    ("Deep", [nested_components(81)], "nested too deeply"),
    ("Suffixes", [{"name": "x", "type": "uint256" + "[]" * 100_000}], "invalid type"),
    ("Wide", [{"name": "x", "type": "uint256[" + "9" * 100_000 + "]"}], "invalid type"),
], ids=["components", "suffixes", "length"])
def test_types_past_the_limits_are_refused(definition):
    name, params, reason = definition

    def native(param):
        components = param.get("components")
        return (param["name"], param["type"],
                None if components is None else [native(c) for c in components])

    with pytest.raises(ValueError) as refused:
        _native.Decoder([(name, [native(p) for p in params], None)])
    print(f"\n  {len(str(refused.value))} characters: {str(refused.value)[-120:]!r}")
    assert reason in str(refused.value) and len(str(refused.value)) < 2000


@needs_loaders
@pytest.mark.parametrize("text, what", [
    ("error E(" + "(" * 100_000 + "uint8" + ")" * 100_000 + ")", "nested"),
    ("error E(uint8" + "[]" * 100_000 + ")", "suffixes"),
], ids=["nested", "suffixes"])
def test_signatures_past_the_limits_are_refused(text, what):
    with pytest.raises(ValueError) as refused:
        kestrix_tools.Decoder(signatures=[text])
    assert len(str(refused.value)) < 1000, what


@needs_loaders
def test_a_million_character_signature():
    size = 1_000_000 if FULL else 100_000
    params = size // len("uint256 a,")
    result = measure(f"""
        text = "error Long(" + ",".join(f"uint256 p{{i}}" for i in range({params})) + ")"
        assert len(text) >= {size} * 0.9
    """, f"""
        decoder = kestrix_tools.Decoder(signatures=[text])
        name = "N" * {size}
        decoder_2 = kestrix_tools.Decoder(signatures=[f"error {{name}}(uint256)"])
        report(length=len(decoder.errors[0]), long_name=len(decoder_2.errors[0]))
    """)
    assert result["length"] > params * len("uint256,") - 1 and result["long_name"] == size + 9
    assert result["grew"] < SLACK * (size * 512 + 64 * MB)


@needs_loaders
def test_a_folder_mostly_not_json(tmp_path):
    # Sparse files cost no disk: a folder that claims 1 GB of build caches and binaries.
    folder = tmp_path / "project"
    (folder / "out" / "Token.sol").mkdir(parents=True)
    (folder / "cache").mkdir()
    for index in range(8):
        with open(folder / "cache" / f"blob{index}.bin", "wb") as blob:
            blob.truncate(128 * MB)
    for index in range(2000):
        (folder / "cache" / f"file{index}.txt").write_text("not json\n")
    (folder / "out" / "Token.sol" / "Token.json").write_text(json.dumps({"abi": [error_entry(1)]}))
    (folder / "package.json").write_text(json.dumps({"name": "project"}))
    result = measure(f"folder = {str(folder)!r}", """
        decoder = kestrix_tools.Decoder(paths=[folder])
        report(errors=list(decoder.errors))
    """)
    assert result["errors"] == ["Error1(address,uint256)"]
    assert result["grew"] < SLACK * (64 * MB)


@needs_loaders
def test_a_json_file_that_is_not_json_is_refused_naming_it(tmp_path):
    size = 256 * MB if FULL else 8 * MB
    folder = tmp_path / "project"
    folder.mkdir()
    with open(folder / "huge.json", "wb") as blob:
        blob.truncate(size)
    result = measure(f"folder = {str(folder)!r}", """
        try:
            kestrix_tools.Decoder(paths=[folder])
        except ValueError as error:
            report(error=str(error))
    """)
    assert "huge.json" in result["error"] and len(result["error"]) < 1000
    # The file is read whole before it fails to parse: memory follows its size.
    assert result["grew"] < SLACK * (3 * size + 64 * MB)


def test_a_parquet_cell_of_many_megabytes(tmp_path):
    pytest.importorskip("pyarrow")
    size = 100 * MB if FULL else 4 * MB
    source, target = tmp_path / "in.parquet", tmp_path / "out.parquet"
    result = measure(f"""
        import pyarrow as pa, pyarrow.parquet as pq
        from kestrix_tools import files
        big = "0xdeadbeef" + "00" * ({size} // 2 - 5)
        pq.write_table(pa.table({{"data": ["0x", big, "0x4e487b71" + "00" * 31 + "11"]}}), {str(source)!r})
        del big
    """, f"""
        summary = files.decode_file({str(source)!r}, {str(target)!r}, column="data", jobs=1)
        table = pq.read_table({str(target)!r}, columns=["kind", "selector"])
        report(kinds=table.column("kind").to_pylist(), selectors=table.column("selector").to_pylist())
    """)
    assert result["kinds"] == ["empty", "raw_revert", "panic"]
    assert result["selectors"][1] == "0xdeadbeef"
    assert result["grew"] < SLACK * (12 * size + 64 * MB)


@pytest.mark.parametrize("size", [32 * MB if FULL else 4 * MB])
def test_deep_chain_of_large_layers_explains_in_linear_memory(size):
    """Twenty wrappers around one large reason: the chain stops at its byte bound, so explaining
    costs a few times what decoding the outer layer costs, not sixteen."""
    setup = f"""
        from eth_abi import encode
        data = bytes.fromhex("08c379a0") + encode(["string"], ["x" * {size}])
        for _ in range(20):
            data = bytes.fromhex("6190b2b0") + encode(["bytes"], [data])  # UnexpectedRevertBytes
        decoder = kestrix_tools.Decoder()
    """
    decoded = measure(setup, "result = decoder.decode(data); report(kind=result['kind'])")
    explained = measure(setup, """
        explanation = decoder.explain(data)
        report(depth=explanation.depth, kind=explanation.root.kind)
    """)
    # Near-equal layers: three fit below the outer one within four times its bytes.
    assert decoded["kind"] == "custom_error" and explained["depth"] == 3
    assert explained["grew"] <= 4 * decoded["grew"] * SLACK + 16 * MB
