"""Run by allocation_failure_driver, an interpreter with kestrix and the companion's native module
built in whose C++ operator new fails on request: every C++ allocation point of every entry point
of both is failed in turn.
Each failure must end the call with exactly one MemoryError (nothing chained to it), release
every C++ block the call made, and leave the next call giving the normal outcome; over a second
full sweep Python's own allocated blocks must stay flat."""

import gc
import itertools
import sys

import _native
import failing_new
from kestrix import EvmErrorDecoder, decode_error, panic_meaning


def word(value):
    return value.to_bytes(32, "big").hex()


class Unprintable:
    def __str__(self):
        raise ZeroDivisionError


sys.unraisablehook = lambda report: None
decoder = EvmErrorDecoder()
REASON = "08c379a0" + word(32) + word(5) + b"hello".hex().ljust(64, "0")
DEFINITIONS = [
    ("Unauthorized", [("who", "address", None), ("roles", "uint8[]", None)], "Ask an admin."),
    ("Order", [("o", "tuple", [("id", "uint256", None), ("tags", "string[2]", None)])], None),
]
user = _native.Decoder(DEFINITIONS)
assert user.errors == ("Unauthorized(address,uint8[])", "Order((uint256,string[2]))")
# Selectors from pycryptodome's Keccak-256; the order's arguments encoded by eth-abi.
UNAUTHORIZED = "0x4dcfbe0c" + word(0x1234) + word(0x40) + word(2) + word(1) + word(2)
ORDER = bytes.fromhex("e8bdcabf" + word(0x20) + word(7) + word(0x40) + word(0x40) + word(0x80)
                      + word(1) + "61".ljust(64, "0") + word(1) + "62".ljust(64, "0"))
CALLS = [  # (callable, positional arguments, keyword arguments); the later ones raise anyway
    (EvmErrorDecoder, (), {}),
    (decoder.decode, ("0x",), {}),
    (decoder.decode, (REASON,), {}),
    (decoder.decode, ("4e487b71" + word(0x11),), {}),
    (decoder.decode, ("0xe450d38c" + word(0x1234) + word(1000) + word(2**200),), {}),
    (decoder.decode, ("0x3ee5aeb5",), {}),
    (decoder.decode, ("0xdeadbeef00",), {}),
    (decoder.decode, (), {"data": "0x01"}),
    (decode_error, ("0x01020304",), {}),
    (decode_error, (REASON,), {}),
    (panic_meaning, (0x11,), {}),
    (panic_meaning, (0x99,), {}),
    (decoder.decode_with_context,
     ("0x01", {"chain": "c", "block_number": 5, "u": Unprintable(), "tx_hash": "0xab"}), {}),
    (decoder.decode_with_context, (REASON, {"block_number": "17000000", "other": [1]}), {}),
    (decoder.decode, ("0xzz",), {}),
    (decoder.decode, ("0x0",), {}),
    (decoder.decode, (b"",), {}),
    (decode_error, (), {"data": "0x", "x": 1}),
    (panic_meaning, (-1,), {}),
    (decoder.decode_with_context, ("0x", {"block_number": "z"}), {}),
    (decoder.decode_with_context, ("0x", []), {}),
    (EvmErrorDecoder, (1,), {}),
    (_native.Decoder, (DEFINITIONS,), {}),
    (_native.Decoder, ([("Bad", [("x", "uint7", None)], None)],), {}),
    (_native.Decoder, ([("NoComponents", [("t", "tuple", None)], None)],), {}),
    (user.decode, (UNAUTHORIZED,), {}),
    (user.decode, (ORDER,), {}),
    (user.decode, (bytearray(ORDER[:40]),), {}),
    (user.decode, (REASON,), {}),
    (user.decode, ("0xe450d38c" + word(1) + word(2) + word(3),), {}),
    (user.decode, ("0xzz",), {}),
]


def outcome(result, error):
    if error is not None:
        return ("raised", type(error), str(error))
    if isinstance(result, _native.Decoder):
        return ("returned", result.errors)
    return ("returned", repr(result) if isinstance(result, EvmErrorDecoder) else result)


def attempt(call, args, kwargs, n=None):
    """Runs the call, failing its nth C++ allocation when n is given."""
    if n is not None:
        failing_new.fail_at(n)
    try:
        result, error = call(*args, **kwargs), None
    except BaseException as caught:  # noqa: B902 - the internal failure type is a BaseException
        result, error = None, caught
    failed = failing_new.stop()[1] if n is not None else False
    return result, error, failed


def sweep(index, call, args, kwargs):
    name = f"{index}:{getattr(call, '__qualname__', call)}{args}"
    expected = outcome(*attempt(call, args, kwargs)[:2])
    for n in itertools.count():
        # The collector runs only here: run during a call, it would free the garbage of earlier
        # calls (decoders in reference cycles with tracebacks) and skew the count.
        gc.collect()
        before = failing_new.live()
        result, error, failed = attempt(call, args, kwargs, n)
        if not failed:
            assert outcome(result, error) == expected, (name, n, error)
            return n
        if error is not None:
            assert type(error) is MemoryError, (name, n, error)
            assert error.__context__ is None and error.__cause__ is None, (name, n, error.__context__)
        else:  # the failure was absorbed: then the outcome must be the normal one
            assert outcome(result, error) == expected, (name, n, result)
        del result, error
        gc.collect()
        assert failing_new.live() == before, (name, n, "C++ blocks leaked")
        assert outcome(*attempt(call, args, kwargs)[:2]) == expected, (name, n, "next call")


def sweep_all():
    return sum(sweep(index, *entry) for index, entry in enumerate(CALLS))


gc.disable()
points = sweep_all()
gc.collect()
blocks = sys.getallocatedblocks()
assert sweep_all() == points
gc.collect()
growth = sys.getallocatedblocks() - blocks
assert growth < 100, f"Python blocks grew by {growth} over a second sweep"
print(f"allocation points swept: {points} over {len(CALLS)} calls; Python blocks grew by {growth}")
