"""The module's Python surface: attributes, documentation, signatures, argument handling."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import kestrix
from kestrix import EvmErrorDecoder, decode_error, panic_meaning

DECODE_DOC = """Decode raw revert data (hex string, with or without 0x prefix).

Returns a dict with:
- `kind`: "revert_string" | "custom_error" | "panic" | "raw_revert" | "empty"
- `message` (str): present for "revert_string"
- `error_name` (str): present for "custom_error"
- `inputs` (dict): present for "custom_error" with decoded parameters
- `panic_code` (int): present for "panic"
- `panic_meaning` (str): present for "panic"
- `raw_data` (str): always present as 0x-prefixed hex
- `selector` (str | None): 4-byte selector as 0x hex
- `suggestion` (str | None): human-readable hint to fix the error
- `confidence` (float): 0.0-1.0 decode confidence"""


def test_module_attributes():
    assert kestrix.__all__ == ["EvmErrorDecoder", "decode_error", "panic_meaning"]
    assert kestrix.__doc__ == ""
    public = [name for name in vars(kestrix) if not name.startswith("__")]
    assert public == ["EvmErrorDecoder", "decode_error", "panic_meaning"]
    assert kestrix.__file__.endswith(".so")


def test_class_attributes():
    assert EvmErrorDecoder.__module__ == "builtins"
    assert EvmErrorDecoder.__name__ == "EvmErrorDecoder"
    assert EvmErrorDecoder.__qualname__ == "EvmErrorDecoder"
    assert EvmErrorDecoder.__text_signature__ == "()"
    assert EvmErrorDecoder.__doc__ == ""
    assert not EvmErrorDecoder.__flags__ & (1 << 14)  # not garbage-collected
    decoder = EvmErrorDecoder()
    assert not hasattr(decoder, "__dict__")
    with pytest.raises(AttributeError):
        decoder.extra = 1


@pytest.mark.parametrize(
    "function, text_signature, doc, signature",
    [
        (EvmErrorDecoder.decode, "($self, data)", DECODE_DOC, "(self, /, data)"),
        (
            EvmErrorDecoder.decode_with_context,
            "($self, data, context)",
            "Decode with context dict (optional contract_address, function_name, etc.)",
            "(self, /, data, context)",
        ),
        (
            decode_error,
            "(data)",
            "Convenience: decode revert data without instantiating a decoder object.",
            "(data)",
        ),
        (
            panic_meaning,
            "(code)",
            "Get the human-readable description for a Solidity panic code.",
            "(code)",
        ),
    ],
)
def test_callable_documentation(function, text_signature, doc, signature):
    assert function.__text_signature__ == text_signature
    assert function.__doc__ == doc
    assert str(inspect.signature(function)) == signature


def test_bound_signatures_and_module_functions():
    decoder = EvmErrorDecoder()
    assert str(inspect.signature(decoder.decode)) == "(data)"
    assert str(inspect.signature(decoder.decode_with_context)) == "(data, context)"
    assert str(inspect.signature(EvmErrorDecoder)) == "()"
    for function in (decode_error, panic_meaning):
        assert function.__module__ == "kestrix"
        assert function.__self__ is kestrix
        assert type(function).__name__ == "builtin_function_or_method"


def test_repr_and_independent_decoders():
    first, second = EvmErrorDecoder(), EvmErrorDecoder()
    assert repr(first) == str(first) == "EvmErrorDecoder()"
    assert first is not second
    expected = second.decode("0xdeadbeef")
    del first
    assert second.decode("0xdeadbeef") == expected


def test_subclassing_is_refused():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (EvmErrorDecoder,), {})


def test_reimport_returns_the_same_module():
    saved = sys.modules.pop("kestrix")
    try:
        again = importlib.import_module("kestrix")
        assert again is saved
        assert again.EvmErrorDecoder is EvmErrorDecoder
    finally:
        sys.modules["kestrix"] = saved


ARGUMENT_ERRORS = [
    # (callable, args, kwargs, message)
    (EvmErrorDecoder, (1,), {}, "EvmErrorDecoder.__new__() takes 0 positional arguments but 1 was given"),
    (EvmErrorDecoder, (1, 2), {}, "EvmErrorDecoder.__new__() takes 0 positional arguments but 2 were given"),
    (EvmErrorDecoder, (), {"x": 1}, "EvmErrorDecoder.__new__() got an unexpected keyword argument 'x'"),
    ("decode", (), {}, "EvmErrorDecoder.decode() missing 1 required positional argument: 'data'"),
    ("decode", ("0x", "0x"), {}, "EvmErrorDecoder.decode() takes 1 positional arguments but 2 were given"),
    ("decode", (), {"hex": "0x"}, "EvmErrorDecoder.decode() got an unexpected keyword argument 'hex'"),
    ("decode", ("0x",), {"data": "0x"}, "EvmErrorDecoder.decode() got multiple values for argument 'data'"),
    ("decode", (b"\x00",), {}, "argument 'data': 'bytes' object cannot be converted to 'PyString'"),
    ("decode", (None,), {}, "argument 'data': 'NoneType' object cannot be converted to 'PyString'"),
    ("decode_with_context", (), {},
     "EvmErrorDecoder.decode_with_context() missing 2 required positional arguments: 'data' and 'context'"),
    ("decode_with_context", ("0x",), {},
     "EvmErrorDecoder.decode_with_context() missing 1 required positional argument: 'context'"),
    ("decode_with_context", ("0x", {}, 3), {},
     "EvmErrorDecoder.decode_with_context() takes 2 positional arguments but 3 were given"),
    ("decode_with_context", ("0x",), {"context": {}, "data": "0x"},
     "EvmErrorDecoder.decode_with_context() got multiple values for argument 'data'"),
    ("decode_with_context", ("0x", []), {}, "argument 'context': 'list' object cannot be converted to 'PyDict'"),
    ("decode_with_context", (1, {}), {}, "argument 'data': 'int' object cannot be converted to 'PyString'"),
    # The context type is checked before the hexadecimal text.
    ("decode_with_context", ("0xzz", 5), {}, "argument 'context': 'int' object cannot be converted to 'PyDict'"),
    (decode_error, (), {}, "decode_error() missing 1 required positional argument: 'data'"),
    (decode_error, (), {"data": "0x", "extra": 1}, "decode_error() got an unexpected keyword argument 'extra'"),
    (panic_meaning, (1, 2), {}, "panic_meaning() takes 1 positional arguments but 2 were given"),
    (panic_meaning, (), {}, "panic_meaning() missing 1 required positional argument: 'code'"),
    (panic_meaning, ("1",), {}, "argument 'code': 'str' object cannot be interpreted as an integer"),
    (panic_meaning, (1.0,), {}, "argument 'code': 'float' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("target, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(target, args, kwargs, message):
    if isinstance(target, str):
        target = getattr(EvmErrorDecoder(), target)
    with pytest.raises(TypeError) as caught:
        target(*args, **kwargs)
    assert str(caught.value) == message
    assert type(caught.value) is TypeError


def test_keyword_arguments_and_str_subclasses_accepted():
    decoder = EvmErrorDecoder()

    class Hex(str):
        def __str__(self):  # the stored value is used, not str()
            return "zz"

    assert decoder.decode(data="0x") == decoder.decode(Hex("0x")) == decode_error(data="")
    assert decoder.decode_with_context(context={}, data="0x")["kind"] == "empty"


def test_code_conversion_wraps_index_type_error_keeping_its_cause():
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as error:
                raise TypeError("no index here") from error

    with pytest.raises(TypeError) as caught:
        panic_meaning(BadIndex())
    assert str(caught.value) == "argument 'code': no index here"
    assert isinstance(caught.value.__cause__, KeyError)

    class RaisesOther:
        def __index__(self):
            raise ValueError("passes unchanged")

    with pytest.raises(ValueError, match="^passes unchanged$"):
        panic_meaning(RaisesOther())


@pytest.mark.parametrize(
    "code, meaning",
    [
        (True, "assert() called with false condition"),
        (0x11, "arithmetic overflow or underflow"),
        (0x02, "unknown panic code"),
        (2**64 - 1, "unknown panic code"),
    ],
)
def test_panic_meaning(code, meaning):
    assert panic_meaning(code) == meaning
    assert panic_meaning(code=code) == meaning


def test_panic_meaning_accepts_index_objects_and_rejects_out_of_range():
    class Index:
        def __index__(self):
            return 0x32

    assert panic_meaning(Index()) == "out-of-bounds array access"
    for code in (-1, 2**64, -(2**70)):
        with pytest.raises(OverflowError):
            panic_meaning(code)


def run_isolated(code):
    """Runs `code` in a fresh interpreter and returns its completed process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


def test_sub_interpreters_are_refused():
    import _xxsubinterpreters as interpreters

    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError, 
                           match="ImportError.*: kestrix does not support sub-interpreters"):
            interpreters.run_string(interpreter, "import kestrix")
    finally:
        interpreters.destroy(interpreter)
    # The main interpreter keeps its module.
    assert importlib.import_module("kestrix") is kestrix


def test_first_importer_owns_the_module():
    process = run_isolated("""
        import _xxsubinterpreters as interpreters
        interpreter = interpreters.create()
        interpreters.run_string(interpreter, "import kestrix; assert kestrix.panic_meaning(1)")
        try:
            import kestrix
        except ImportError as error:
            print("refused:", error)
    """)
    assert process.returncode == 0, process.stderr
    assert process.stdout.startswith("refused: kestrix does not support sub-interpreters")


def test_only_the_init_function_is_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", kestrix.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_kestrix"]
