"""The column kernel against the row-by-row decode, on large generated mixes with many repeats."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import call, revert_mix

pa = pytest.importorskip("pyarrow")
native = pytest.importorskip("kestrix_tools._native")
from kestrix_tools.bulk import decode_arrow  # noqa: E402

USER_ERRORS = [
    ("Slippage", [("wanted", "uint256", None), ("route", "address[]", None)], "Raise the tolerance."),
    ("Expired", [("deadline", "uint64", None)], None),
]
DECODER = native.Decoder(USER_ERRORS)
POOL = revert_mix(300, seed=11) + [
    call("Slippage(uint256,address[])", ["uint256", "address[]"], [5, ["0x" + "11" * 20] * 2]),
    call("Expired(uint64)", ["uint64"], [7]),
    call("Expired(uint64)", ["uint64"], [7])[:-2],
    "0xzz", "0x0", "0X00", "0xé0", "", "0x",
]


def one_by_one(items: list[str | bytes | None]) -> list[dict[str, object] | None]:
    """What decode_arrow must give with error_column=True, from one decode call per row."""
    out: list[dict[str, object] | None] = []
    for item in items:
        if item is None:
            out.append(None)
            continue
        try:
            row: dict[str, object] = dict(DECODER.decode(item if isinstance(item, str) else item.hex()))
            row["error"] = None
        except ValueError as error:
            row = dict.fromkeys(["raw_data", "selector", "suggestion", "confidence", "kind", "message",
                                 "error_name", "inputs", "panic_code", "panic_meaning"])
            row["error"] = str(error)
        out.append(row)
    return out


rows = st.lists(st.one_of(st.none(), st.sampled_from(POOL), st.binary(max_size=70).map(lambda b: "0x" + b.hex()),
                          st.text(alphabet="0123456789abcdefABCDEFxg", max_size=12)),
                min_size=0, max_size=3000)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(items=rows, start=st.integers(0, 50), large=st.booleans())
def test_columns_equal_the_row_by_row_decode(items: list[str | None], start: int, large: bool) -> None:
    array = pa.array(items, pa.large_string() if large else pa.string())[start:]
    assert decode_arrow(array, DECODER, error_column=True).to_pylist() == one_by_one(items[start:])
    # Without the error column, a row that is not hexadecimal is a null row.
    plain = [None if row is not None and row["error"] else row for row in one_by_one(items[start:])]
    for row in plain:
        if row is not None:
            del row["error"]
    assert decode_arrow(array, DECODER).to_pylist() == plain
    # Nothing here is nested: the root columns repeat the outer ones, at depth 0.
    for row, want in zip(decode_arrow(array, DECODER, root_cause=True).to_pylist(), plain):
        assert row == (None if want is None else {**want, "root_kind": want["kind"], "root_error_name":
                                                  want["error_name"], "root_message": want["message"],
                                                  "root_selector": want["selector"], "depth": 0})


RESULT_KEYS = ["raw_data", "selector", "suggestion", "confidence", "kind", "message", "error_name", "inputs",
               "panic_code", "panic_meaning", "error"]
CANONICAL = [x for x in POOL if x[:2] == "0x" and len(x) % 2 == 0 and set(x[2:]) <= set("0123456789abcdef")]


@pytest.mark.parametrize("late", [None, "0x08C379A0", "08c379a0", "", "0X08c379a0"])
@pytest.mark.parametrize("repeats", [True, False])
def test_raw_data_taken_from_lowercase_input(late: str | None, repeats: bool) -> None:
    """Rows of lowercase "0x" text (among nulls and rows that are not hexadecimal) give raw_data
    as the input's own buffers; one row of other text late in the batch makes raw_data a column of
    its own. Either way every column equals the row-by-row decode."""
    head = (CANONICAL * 3 if repeats else list(dict.fromkeys(CANONICAL))) + [None, "0xzz", "0x0"]
    items = [*head, *([] if late is None else [late]), *CANONICAL[:5]]
    for start in (0, 3):
        array = pa.array(items)[start:]
        want = one_by_one(items[start:])
        plain = decode_arrow(array, DECODER, error_column=True)
        roots = decode_arrow(array, DECODER, error_column=True, root_cause=True)
        for got in (plain, roots):
            got.validate(full=True)
            assert [None if row is None else {key: row[key] for key in RESULT_KEYS} for row in got.to_pylist()] == want
            shared = got.field("raw_data").buffers()[2].address == array.buffers()[2].address
            assert shared == (late in (None, "0X08c379a0")), late  # "0X" is no hexadecimal text
    # Large offsets never share: raw_data is a 32-bit string column.
    assert decode_arrow(pa.array(CANONICAL, pa.large_string()), DECODER).field("raw_data").to_pylist() == CANONICAL


@settings(max_examples=20, deadline=None)
@given(items=st.lists(st.one_of(st.none(), st.sampled_from([bytes.fromhex(x.removeprefix("0x")) for x in POOL[:300]
                                                            if len(x.removeprefix("0x")) % 2 == 0]),
                                st.binary(max_size=40)), max_size=2000))
def test_binary_columns_equal_the_row_by_row_decode(items: list[bytes | None]) -> None:
    assert decode_arrow(pa.array(items, pa.binary()), DECODER, error_column=True).to_pylist() == one_by_one(items)


def test_root_cause_columns_follow_explain(encode_call) -> None:  # type: ignore[no-untyped-def]
    from kestrix_tools import Decoder

    decoder = Decoder([{"type": "error", "name": "Wrapped", "inputs": [{"name": "reason", "type": "bytes"}]}])
    inner = encode_call("Error(string)", ["string"], ["too late"])
    panic = encode_call("Panic(uint256)", ["uint256"], [0x11])
    once = encode_call("Wrapped(bytes)", ["bytes"], [bytes.fromhex(inner[2:])])
    twice = encode_call("Wrapped(bytes)", ["bytes"], [bytes.fromhex(once[2:])])
    items = [once, twice, inner, panic, encode_call("Wrapped(bytes)", ["bytes"], [b"\x01\x02"]), "0x", None, "0xzz",
             *POOL[:100]] * 3
    got = decode_arrow(pa.array(items), decoder, error_column=True, root_cause=True).to_pylist()
    # The first nested row after many that are not: the root columns of those come from the outer.
    late = [*POOL[:100], None, "0xzz", twice, *POOL[:20]]
    late_got = decode_arrow(pa.array(late), decoder, error_column=True, root_cause=True).to_pylist()
    for item, row in [*zip(items, got), *zip(late, late_got)]:
        if item is None:
            assert row is None
            continue
        try:
            explanation = decoder.explain(item)
        except ValueError:
            assert row is not None and row["error"] and row["depth"] is None and row["root_kind"] is None
            continue
        assert row is not None
        root = explanation.root
        assert (row["root_kind"], row["root_error_name"], row["root_message"], row["root_selector"], row["depth"]) == (
            root.kind, root.error_name, root.message, root.selector, explanation.depth), item
        assert {key: row[key] for key in explanation.to_dict()} == explanation.to_dict()
    assert [row["depth"] for row in got[:4]] == [1, 2, 0, 0]
    assert list(got[0])[10:] == ["root_kind", "root_error_name", "root_message", "root_selector", "depth", "error"]


def test_pandas_polars_and_arrow_interfaces() -> None:
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    items: list[str | None] = [*POOL[:40], None, "0xzz"]
    want = decode_arrow(pa.array(items), DECODER, error_column=True).to_pylist()
    sources = {
        "pandas object": pd.Series(items, dtype=object),
        "pandas string": pd.Series(items, dtype="string"),
        "pandas arrow": pd.Series(items, dtype=pd.ArrowDtype(pa.string())),
        "polars": pl.Series(items, dtype=pl.String),
        "polars chunked": pl.concat([pl.Series(items[:10]), pl.Series(items[10:])], rechunk=False),
    }
    for name, source in sources.items():
        got = decode_arrow(source, DECODER, error_column=True)
        assert got.to_pylist() == want, name
    # Only the interface itself: an object that exports nothing else.
    class Stream:
        def __arrow_c_stream__(self, requested_schema: object = None) -> object:
            return pa.chunked_array([pa.array(items[:5]), pa.array(items[5:])]).__arrow_c_stream__(requested_schema)

    class Array:
        def __arrow_c_array__(self, requested_schema: object = None) -> object:
            return pa.array(items, pa.large_string()).__arrow_c_array__(requested_schema)

    stream = decode_arrow(Stream(), DECODER, error_column=True)
    assert stream.num_chunks == 2 and stream.to_pylist() == want
    assert decode_arrow(Array(), DECODER, error_column=True).to_pylist() == want
    with pytest.raises(TypeError, match="string or binary"):
        decode_arrow(pd.Series([1, 2]), DECODER)
    with pytest.raises(TypeError, match="C stream or array interface"):
        decode_arrow(object(), DECODER)


def with_roots(row: dict[str, object] | None) -> dict[str, object] | None:
    """A row of one_by_one with the root columns of an unnested revert."""
    if row is None:
        return None
    failed = row["error"] is not None
    roots = {"root_kind": row["kind"], "root_error_name": row["error_name"], "root_message": row["message"],
             "root_selector": row["selector"], "depth": None if failed else 0}
    return {**{key: value for key, value in row.items() if key != "error"}, **roots, "error": row["error"]}


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(items=rows, cuts=st.lists(st.integers(0, 3000), max_size=6), root_cause=st.booleans())
def test_chunks_share_one_memo(items: list[str | None], cuts: list[int], root_cause: bool) -> None:
    """The chunks of a chunked column go through one memo of decoded rows, so later chunks take
    rows that earlier ones decoded: every chunk still equals the row-by-row decode, wherever the
    rows fall."""
    bounds = sorted({min(cut, len(items)) for cut in cuts} | {0, len(items)})
    chunks = [pa.array(items[a:b], pa.string()) for a, b in zip(bounds, bounds[1:])] or [pa.array([], pa.string())]
    got = decode_arrow(pa.chunked_array(chunks, pa.string()), DECODER, error_column=True, root_cause=root_cause)
    assert [len(chunk) for chunk in got.chunks] == [len(chunk) for chunk in chunks]
    want = one_by_one(items)
    assert got.to_pylist() == ([with_roots(row) for row in want] if root_cause else want)


def test_memo_follows_its_decoder_and_the_input() -> None:
    """One memo across string, large_string and binary arrays (raw_data repeating the input or
    not), and from several threads at once: every result equals the row-by-row decode. A memo made
    for another decoder is refused."""
    from concurrent.futures import ThreadPoolExecutor

    from kestrix_tools.bulk import decode_array, decode_memo

    memo = decode_memo(DECODER)
    texts = [*CANONICAL[:60], None, "0xzz", *CANONICAL[:60], "0x08C379A0"]
    binary = [bytes.fromhex(x[2:]) for x in CANONICAL[:60]]
    arrays = [pa.array(texts[:61]), pa.array(texts, pa.large_string()), pa.array(binary, pa.binary()),
              pa.array(texts), pa.array(texts[:61])]
    for array in arrays:
        items = array.to_pylist()
        got = decode_array(array, DECODER, error_column=True, root_cause=False, memo=memo)
        assert got.to_pylist() == one_by_one(items)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda a: decode_array(a, DECODER, error_column=True, root_cause=False, memo=memo),
                                arrays * 8))
    assert [r.to_pylist() for r in results] == [one_by_one(a.to_pylist()) for a in arrays * 8]
    with pytest.raises(ValueError, match="another decoder"):
        decode_array(arrays[0], native.Decoder([]), error_column=True, root_cause=False, memo=memo)
    with pytest.raises(TypeError):
        native.decode_memo(object())
