"""decode_many and decode_arrow: the same results as kestrix, row for row, whatever the layout."""

from __future__ import annotations

import kestrix
import pytest

import kestrix_tools

pa = pytest.importorskip("pyarrow")

FIELDS = ["raw_data", "selector", "suggestion", "confidence", "kind", "message", "error_name", "inputs",
          "panic_code", "panic_meaning"]
BAD = ["0xzz", "0x0", "0X00", " 0x00", "0xé0", "0x\x00\x00"]


def expected(items: list[str | bytes | None]) -> list[dict[str, object] | None]:
    """What a plain loop over the default decoder gives: None for a missing or non-hexadecimal item."""
    decoder = kestrix_tools.Decoder()
    out: list[dict[str, object] | None] = []
    for item in items:
        if item is None:
            out.append(None)
            continue
        try:
            out.append(decoder.decode(item if isinstance(item, str) else item.hex()))
        except ValueError:
            out.append(None)
    return out


def test_decode_many_matches_kestrix_and_is_lazy(mix: list[str]) -> None:
    assert list(kestrix_tools.decode_many(mix)) == expected(list(mix))
    items = iter(["0x", "0xzz"])
    results = kestrix_tools.decode_many(items)
    assert next(results)["kind"] == "empty"  # type: ignore[index]
    assert list(items) == ["0xzz"]  # the second item is not read before it is asked for


def test_decode_many_bytes_none_and_errors() -> None:
    raw = bytes.fromhex("4e487b71" + "00" * 31 + "12")
    got = list(kestrix_tools.decode_many([raw, bytearray(raw), memoryview(raw), None, "0xzz"], errors="null"))
    assert got[:3] == expected(["0x" + raw.hex()]) * 3
    assert got[3:] == [None, None]
    with pytest.raises(ValueError, match="Invalid character 'z' at position 0") as info:
        list(kestrix_tools.decode_many(["0x", "0xzz"]))
    assert info.value.__notes__ == ["while decoding item 1"]
    with pytest.raises(ValueError, match="errors must be"):
        list(kestrix_tools.decode_many([], errors="skip"))  # type: ignore[arg-type]


def rows_of(struct: object) -> list[dict[str, object] | None]:
    return struct.to_pylist()  # type: ignore[attr-defined, no-any-return]


@pytest.mark.parametrize("arrow_type", ["string", "large_string", "string_view", "binary", "large_binary"])
def test_text_and_binary_arrays(mix: list[str], arrow_type: str) -> None:
    items: list[str | bytes | None] = [*mix, None, "", "0x", *BAD]
    if "binary" in arrow_type:  # binary arrays hold the raw bytes
        items = [bytes.fromhex(text.removeprefix("0x")) for text in mix] + [None, b""]
    got = kestrix_tools.decode_arrow(pa.array(items, type=getattr(pa, arrow_type)()))
    assert got.type == pa.struct([(name, got.type.field(name).type) for name in FIELDS])
    assert got.type.field("confidence").type == pa.float64()
    assert got.type.field("panic_code").type == pa.uint64()
    assert rows_of(got) == expected(list(items))


def test_sliced_and_chunked_arrays(mix: list[str]) -> None:
    items: list[str | None] = [None if i % 17 == 0 else text for i, text in enumerate(mix)]
    array = pa.array(items)
    for start, stop in [(1, 5), (3, 300), (8, 9), (9, 9), (0, len(items))]:
        assert rows_of(kestrix_tools.decode_arrow(array[start:stop])) == expected(items[start:stop])
    chunked = pa.chunked_array([array[:100], array[100:101], array[101:250].cast(pa.large_string()).cast(pa.string()),
                                array[250:]])
    got = kestrix_tools.decode_arrow(chunked)
    assert isinstance(got, pa.ChunkedArray)
    assert [len(chunk) for chunk in got.chunks] == [100, 1, 149, len(items) - 250]
    assert got.to_pylist() == expected(items)


def test_error_column_carries_the_message() -> None:
    items = ["0x", "0xzz", None, "0x0", "0xé0"]
    got = kestrix_tools.decode_arrow(pa.array(items), error_column=True)
    assert got.type.names == [*FIELDS, "error"]
    rows = rows_of(got)
    assert rows[0] == {**expected(["0x"])[0], "error": None}  # type: ignore[dict-item]
    assert rows[2] is None
    for index in (1, 3, 4):
        with pytest.raises(ValueError) as info:
            kestrix.EvmErrorDecoder().decode(items[index])
        assert rows[index] == {**dict.fromkeys(FIELDS), "error": str(info.value)}


def test_rejects_other_types() -> None:
    with pytest.raises(TypeError, match="string or binary"):
        kestrix_tools.decode_arrow(pa.array([1, 2]))
    with pytest.raises(TypeError, match="pyarrow Array"):
        kestrix_tools.decode_arrow(["0x"])


def test_user_errors_decode_natively_as_one_by_one(encode_call) -> None:  # type: ignore[no-untyped-def]
    native = pytest.importorskip("kestrix_tools._native")
    decoder = native.Decoder([
        ("Slippage", [("wanted", "uint256", None), ("route", "address[]", None)], "Raise the tolerance."),
        ("Order", [("order", "tuple", [("maker", "address", None), ("salt", "bytes32", None)])], None),
    ])
    items = [
        encode_call("Slippage(uint256,address[])", ["uint256", "address[]"], [5, ["0x" + "11" * 20] * 3]),
        encode_call("Order((address,bytes32))", ["(address,bytes32)"], [("0x" + "22" * 20, b"\x07" * 32)]),
        encode_call("Slippage(uint256,address[])", ["uint256"], [5]),  # too short: falls through
        encode_call("Error(string)", ["string"], ["plain"]),
        None, "0xzz",
    ]
    want = list(kestrix_tools.decode_many(items, decoder, errors="null"))
    assert want[0]["error_name"] == "Slippage" and want[1]["error_name"] == "Order"  # type: ignore[index]
    assert rows_of(kestrix_tools.decode_arrow(pa.array(items), decoder)) == want
    binary = [bytes.fromhex(item[2:]) if item and item != "0xzz" else None for item in items]
    assert rows_of(kestrix_tools.decode_arrow(pa.array(binary, pa.binary()), decoder)) == want[:4] + [None, None]


@pytest.mark.parametrize(("length", "offset", "large"), [
    (2**62, 2**62, False),       # their sum overflows
    (2**63 - 1, 1, True),
    (1, 2**63 - 1, False),
    (-1, 0, False),
    (0, -1, False),
    (2**62, 0, True),            # offsets * 8 overflows
    (2**61, 2**61, True),
])
def test_huge_and_negative_lengths_are_refused(length: int, offset: int, large: bool) -> None:
    native = pytest.importorskip("kestrix_tools._native")
    for validity in (None, b"\xff"):
        with pytest.raises(ValueError, match="shorter than its length|negative"):
            native.decode_arrow(None, length, offset, validity, b"\0" * 16, b"", False, large, False)


@pytest.mark.parametrize(("offsets", "row"), [
    ([0, 2**62, 4], 0),                 # past the data
    ([2**63 - 1, 2, 4], 0),
    ([0, 4, -2**63], 1),                # negative
    ([0, 4, 2], 1),                     # decreasing
])
def test_hostile_large_offsets_are_refused(offsets: list[int], row: int) -> None:
    native = pytest.importorskip("kestrix_tools._native")
    packed = pa.array(offsets, pa.int64()).buffers()[1]
    with pytest.raises(ValueError, match=f"row {row}: offsets outside the data"):
        native.decode_arrow(None, 2, 0, None, packed, b"0x" * 10, False, True, False)


@pytest.mark.parametrize(("length", "offset", "validity", "offsets", "message"), [
    (3, 0, None, [0, 2, 4], "shorter than its length"),          # one offset missing
    (2, 1, None, [0, 2, 4], "shorter than its length"),          # the slice runs past the offsets
    (2, 0, None, [0, 2, 99], "row 1: offsets outside the data"),
    (2, 0, None, [0, 3, 2], "row 1: offsets outside the data"),  # decreasing
    (2, 0, None, [-4, 2, 4], "row 0: offsets outside the data"),
    (9, 0, b"\xff", list(range(0, 20, 2)), "shorter than its length"),  # bitmap of 8 rows for 9
])
def test_malformed_buffers_are_refused(length: int, offset: int, validity: bytes | None, offsets: list[int],
                                       message: str) -> None:
    native = pytest.importorskip("kestrix_tools._native")
    data = b"0x" * 10
    packed = pa.array(offsets, pa.int32()).buffers()[1]
    with pytest.raises(ValueError, match=message):
        native.decode_arrow(None, length, offset, validity, packed, data, False, False, False)


def test_results_stay_intact_while_later_decodes_reuse_memory(mix: list[str]) -> None:
    """Columns of a dropped result are recycled; a live result is never written over."""
    long_items: list[str | None] = [*mix, *mix]
    short_items: list[str | None] = [None, "0xzz", *mix[:50], None]
    kept = kestrix_tools.decode_arrow(pa.array(long_items), error_column=True)
    for _ in range(6):  # more rounds than spare sets, alternating lengths and null patterns
        for items in (short_items, long_items[::3], short_items[::-1]):
            assert rows_of(kestrix_tools.decode_arrow(pa.array(items))) == expected(list(items))
    assert [row and row["raw_data"] for row in rows_of(kept)] == [row and row["raw_data"]
                                                                   for row in expected(list(long_items))]
