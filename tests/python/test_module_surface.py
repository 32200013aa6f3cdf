"""The module's Python surface: attributes, documentation, signatures, argument handling."""

import importlib
import inspect
import re
import subprocess
import sys

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


def test_attributes_repr_and_subclass_refusal():
    names = ["EvmErrorDecoder", "decode_error", "panic_meaning"]
    assert kestrix.__all__ == [name for name in vars(kestrix) if not name.startswith("__")] == names
    assert kestrix.__doc__ == EvmErrorDecoder.__doc__ == ""
    assert (EvmErrorDecoder.__module__, EvmErrorDecoder.__qualname__) == ("builtins", "EvmErrorDecoder")
    assert EvmErrorDecoder.__text_signature__ == str(inspect.signature(EvmErrorDecoder)) == "()"
    assert not EvmErrorDecoder.__flags__ & (1 << 14)  # holds no references, so not garbage-collected
    for function in (decode_error, panic_meaning):
        assert (function.__module__, function.__self__) == ("kestrix", kestrix)
    decoder = EvmErrorDecoder()
    assert repr(decoder) == str(decoder) == "EvmErrorDecoder()" and not hasattr(decoder, "__dict__")
    with pytest.raises(AttributeError):
        decoder.extra = 1
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (EvmErrorDecoder,), {})


@pytest.mark.parametrize("function, text_signature, doc", [
    (EvmErrorDecoder.decode, "($self, data)", DECODE_DOC),
    (EvmErrorDecoder.decode_with_context, "($self, data, context)",
     "Decode with context dict (optional contract_address, function_name, etc.)"),
    (decode_error, "(data)", "Convenience: decode revert data without instantiating a decoder object."),
    (panic_meaning, "(code)", "Get the human-readable description for a Solidity panic code."),
])
def test_documentation_and_signatures(function, text_signature, doc):
    assert (function.__text_signature__, function.__doc__) == (text_signature, doc)
    assert str(inspect.signature(function)) == text_signature.replace("$self,", "self, /,")


# "{}" stands for the qualified name of the callable with "()".
@pytest.mark.parametrize("target, args, kwargs, message", [
    (EvmErrorDecoder, (1,), {}, "{} takes 0 positional arguments but 1 was given"),
    (EvmErrorDecoder, (1, 2), {}, "{} takes 0 positional arguments but 2 were given"),
    (EvmErrorDecoder, (), {"x": 1}, "{} got an unexpected keyword argument 'x'"),
    ("decode", (), {}, "{} missing 1 required positional argument: 'data'"),
    ("decode", ("0x", "0x"), {}, "{} takes 1 positional arguments but 2 were given"),
    ("decode", (), {"hex": "0x"}, "{} got an unexpected keyword argument 'hex'"),
    ("decode", ("0x",), {"data": "0x"}, "{} got multiple values for argument 'data'"),
    ("decode", (b"\x00",), {}, "argument 'data': 'bytes' object cannot be converted to 'PyString'"),
    ("decode", (None,), {}, "argument 'data': 'NoneType' object cannot be converted to 'PyString'"),
    ("decode_with_context", (), {}, "{} missing 2 required positional arguments: 'data' and 'context'"),
    ("decode_with_context", ("0x",), {}, "{} missing 1 required positional argument: 'context'"),
    ("decode_with_context", ("0x", {}, 3), {}, "{} takes 2 positional arguments but 3 were given"),
    ("decode_with_context", ("0x",), {"context": {}, "data": "0x"}, "{} got multiple values for argument 'data'"),
    ("decode_with_context", ("0x", []), {}, "argument 'context': 'list' object cannot be converted to 'PyDict'"),
    ("decode_with_context", (1, {}), {}, "argument 'data': 'int' object cannot be converted to 'PyString'"),
    # The context type is checked before the hexadecimal text.
    ("decode_with_context", ("0xzz", 5), {}, "argument 'context': 'int' object cannot be converted to 'PyDict'"),
    (decode_error, (), {}, "{} missing 1 required positional argument: 'data'"),
    (decode_error, (), {"data": "0x", "extra": 1}, "{} got an unexpected keyword argument 'extra'"),
    (panic_meaning, (1, 2), {}, "{} takes 1 positional arguments but 2 were given"),
    (panic_meaning, (), {}, "{} missing 1 required positional argument: 'code'"),
    (panic_meaning, ("1",), {}, "argument 'code': 'str' object cannot be interpreted as an integer"),
    (panic_meaning, (1.0,), {}, "argument 'code': 'float' object cannot be interpreted as an integer"),
])
def test_argument_errors(target, args, kwargs, message):
    name = f"EvmErrorDecoder.{target}()" if isinstance(target, str) else "EvmErrorDecoder.__new__()" \
        if target is EvmErrorDecoder else target.__name__ + "()"
    call = getattr(EvmErrorDecoder(), target) if isinstance(target, str) else target
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is TypeError and str(caught.value) == message.format(name)


def test_keyword_arguments_and_str_subclasses_accepted():
    decoder, hex_text = EvmErrorDecoder(), type("Hex", (str,), {"__str__": lambda self: "zz"})("0x")
    assert decoder.decode(data="0x") == decoder.decode(hex_text) == decode_error(data="") == \
        decoder.decode_with_context(context={}, data="0x")  # the text itself is used, not its str()


class Index:
    def __init__(self, outcome):
        self.outcome = outcome

    def __index__(self):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


def index_type_error():
    error = TypeError("no index here")
    error.__cause__ = KeyError("inner")
    return error


@pytest.mark.parametrize("code, expected", [
    (True, "assert() called with false condition"), (0x11, "arithmetic overflow or underflow"),
    (0x02, "unknown panic code"), (2**64 - 1, "unknown panic code"), (Index(0x32), "out-of-bounds array access"),
    (-1, OverflowError("can't convert negative int to unsigned")), (2**64, OverflowError("int too big to convert")),
    (Index(ValueError("passes unchanged")), ValueError("passes unchanged")),
    # A TypeError from __index__ gains the argument's name and keeps its cause.
    (Index(index_type_error()), TypeError("argument 'code': no index here")),
])
def test_panic_meaning(code, expected):
    if isinstance(expected, str):
        assert panic_meaning(code) == panic_meaning(code=code) == expected
        return
    with pytest.raises(type(expected)) as caught:
        panic_meaning(code)
    assert str(caught.value) == str(expected) and type(caught.value) is type(expected)
    assert type(caught.value.__cause__) is (KeyError if "argument" in str(expected) else type(None))


def test_reimport_returns_the_same_module():
    saved = sys.modules.pop("kestrix")
    try:
        assert importlib.import_module("kestrix") is saved
    finally:
        sys.modules["kestrix"] = saved


# Runs in a fresh process: `in_sub_interpreter(code)` runs `code` in a new sub-interpreter and
# returns the text of the exception it ended with ("" when none). CPython 3.12 and later refuse
# a single-phase module in an isolated sub-interpreter themselves; a legacy one (the only kind
# 3.11 has) runs the module's own initialisation.
SUB_INTERPRETERS = """
import sys
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    import _interpreters as interpreters

def in_sub_interpreter(code, isolated=False):
    if sys.version_info >= (3, 13):
        interpreter = interpreters.create("isolated" if isolated else "legacy")
    elif sys.version_info >= (3, 12):
        interpreter = interpreters.create(isolated=isolated)
    else:
        interpreter = interpreters.create()
    try:
        if sys.version_info >= (3, 13):
            failure = interpreters.run_string(interpreter, code)
            return "" if failure is None else failure.formatted
        try:
            interpreters.run_string(interpreter, code)
        except interpreters.RunFailedError as error:
            return str(error)
        return ""
    finally:
        interpreters.destroy(interpreter)

def main_decodes():
    import kestrix
    return kestrix.EvmErrorDecoder().decode("0x")["kind"]
"""
REFUSED = ("ImportError'?>?: kestrix does not support sub-interpreters: "
           "it can only be imported in the interpreter that imported it first$")


@pytest.mark.parametrize("order, expected", [
    # The sub-interpreter is refused and claims nothing: the main interpreter imports after it.
    ("print(in_sub_interpreter('import kestrix'))\nprint(main_decodes())\n"
     "print(in_sub_interpreter('import kestrix'))\nprint(main_decodes())",
     [REFUSED, "^empty$", REFUSED, "^empty$"]),
    ("print(main_decodes())\nprint(in_sub_interpreter('import kestrix'))\nprint(main_decodes())",
     ["^empty$", REFUSED, "^empty$"]),
    # An isolated sub-interpreter (3.12+): 3.12 runs the module's initialisation before its own
    # check, so the module's refusal shows; 3.13 refuses single-phase modules before that.
    pytest.param("print(in_sub_interpreter('import kestrix', isolated=True))\nprint(main_decodes())",
                 [REFUSED if sys.version_info < (3, 13) else
                  "ImportError: module kestrix does not support loading in subinterpreters$", "^empty$"],
                 marks=pytest.mark.skipif(sys.version_info < (3, 12),
                                          reason="CPython 3.11 has no isolated sub-interpreters")),
], ids=["sub-interpreter first", "main first", "isolated sub-interpreter first"])
def test_sub_interpreters_are_refused_without_locking_out_the_main_one(order, expected):
    process = subprocess.run([sys.executable, "-c", SUB_INTERPRETERS + order],
                             capture_output=True, text=True, timeout=120)
    lines = [line for line in process.stdout.splitlines() if line.strip()]
    assert process.returncode == 0 and len(lines) == len(expected), process.stdout + process.stderr
    for line, pattern in zip(lines, expected):
        assert re.search(pattern, line), process.stdout + process.stderr


def test_only_the_init_function_is_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", kestrix.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    assert [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()] == ["PyInit_kestrix"]
