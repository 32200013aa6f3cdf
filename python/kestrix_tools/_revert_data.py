"""Finds the revert data inside the errors that web3.py, eth-tester and JSON-RPC nodes raise.

Nothing here imports web3 or eth-tester: every shape is recognised by duck typing, so the
package keeps no runtime dependency beyond CPython. Odd shapes give ``None``, never an
exception.
"""

from __future__ import annotations

import ast
import re
from collections.abc import Mapping

__all__ = ["revert_data"]

# Revert data is "0x" followed by whole bytes of ASCII hex digits; nothing else counts. The
# digits are matched by a single-character repetition, which keeps no state per character (a
# repeated group would keep some for every byte: 67 bytes of memory per hex digit).
_HEX_DIGITS = re.compile(r"[0-9a-fA-F]*")
# Text some nodes put under "data" instead of plain hex: OpenEthereum and Nethermind send
# "Reverted 0x...", newer Nethermind "err: 0x... (supplied gas N)".
_WRAPPED_HEX = (
    re.compile(r"Reverted (0[xX][0-9a-fA-F]*)"),
    re.compile(r"err: (0[xX][0-9a-fA-F]*) \(supplied gas \d+\)"),
)
# geth's message for a revert: alone for an empty revert, which it sends without data.
_REVERTED = "execution reverted"
# web3's stand-in for an error object's missing "data".
_WEB3_NO_DATA = "no data"
# A Ganache 6 error keys its details by transaction hash.
_TX_HASH = re.compile(r"0x[0-9a-fA-F]{64}")
# The prefix web3's eth-tester provider puts before the message of eth-tester's failure.
_WEB3_PREFIX = "execution reverted: "
# Messages py-evm gives for failures that are not a REVERT; eth-tester reports them in the
# same text slot as a decoded revert reason, so they must not be mistaken for one.
_VM_FAULTS = re.compile(
    r"Invalid opcode 0x[0-9a-f]+ @ \d+"
    r"|Jump resulted in invalid instruction"
    r"|Invalid Jump Destination"
    r"|Out of gas: .*"
    r"|Stack limit reached"
    r"|Stack depth limit reached"
    r"|Wanted \d+ stack items?, .*"
    r"|Insufficient stack items for (?:SWAP|DUP)\d+"
    r"|Insufficient funds: \d+ < \d+"
    r"|Cannot modify state while inside of a STATICCALL context"
    r"|Return data length is not sufficient to satisfy request\..*"
    r"|Contract code begins with EIP3541 reserved byte .*"
    r"|Contract code size exceeds .*"
    r"|\('Net-metered SSTORE .*",
    re.DOTALL,
)
# Error(string): selector, then the offset of the string (always 0x20 when encoded normally).
_ERROR_STRING_HEAD = "08c379a0" + f"{0x20:064x}"
# Bounds on walking user-supplied structures: nesting of mappings and length of a cause chain.
_MAX_DEPTH = 8
_MAX_CHAIN = 16


def revert_data(error: object) -> str | None:
    """The revert data an error carries, as ``"0x"`` followed by lowercase hex digits.

    Understands web3.py's ``ContractLogicError`` family (``data`` as hex text, bytes,
    ``HexBytes``, a dict holding the hex under ``"data"``, possibly nested, or text such as
    ``"Reverted 0x..."``), web3's ``Web3RPCError`` (its ``rpc_response``), eth-tester's
    ``TransactionFailed`` and the exceptions chained to it, a JSON-RPC error object or whole
    response as geth, erigon, anvil, Hardhat, Ganache, Nethermind and OpenEthereum send them,
    and plain hex text or bytes.

    Returns ``None`` when the error carries no revert data, including every shape it does
    not recognise; it never raises.
    """
    try:
        if isinstance(error, BaseException):
            return _from_exception(error)
        if isinstance(error, Mapping):
            return _from_error_object(error, 0)
        return _from_payload(error, 0, bare_hex=False)
    except Exception:  # a hostile object (a raising property or __eq__) is not revert data
        return None


def _from_exception(error: BaseException) -> str | None:
    """Searches the error and the exceptions chained to it, most exact source first."""
    chain = _exception_chain(error)
    for link in chain:
        found = _exact_from_exception(link)
        if found is not None:
            return found
    messages = [text for link in chain if (text := _eth_tester_text(link)) is not None]
    for text in messages:
        if (found := _from_bytes_literal(text.removeprefix(_WEB3_PREFIX))) is not None:
            return found
    if messages:
        return _from_eth_tester_reason(chain, messages)
    for link in chain:
        if _is_web3_logic_error(link) and getattr(link, "data", None) in (None, _WEB3_NO_DATA) \
                and link.args and isinstance(link.args[0], str):
            return _from_message(link.args[0])
    return None


def _is_web3_logic_error(error: BaseException) -> bool:
    """web3's ContractLogicError itself (its subclasses carry their data)."""
    kind = type(error)
    return kind.__name__ == "ContractLogicError" and kind.__module__.startswith("web3")


def _from_message(message: str) -> str | None:
    """The revert a node's message implies when it sent no data: geth's bare "execution
    reverted" is an empty revert; "execution reverted: REASON" carries an Error(string) reason,
    rebuilt as Solidity encodes it (not a custom error's or panic's description, nor hex, which
    is data that went astray rather than a reason)."""
    if message == _REVERTED:
        return "0x"
    reason = message.removeprefix(_WEB3_PREFIX)
    if reason == message or not reason or reason.startswith(("custom error", "panic:")) or _is_hex(reason):
        return None
    return "0x" + _encode_error_string(reason)


def _exception_chain(error: BaseException) -> list[BaseException]:
    """The error, the exceptions it was raised from or during, and exceptions held as its
    first argument (eth-tester wraps py-evm's Revert this way), outermost first."""
    chain: list[BaseException] = []
    seen: set[int] = set()
    pending: list[BaseException] = [error]
    while pending and len(chain) < _MAX_CHAIN:
        link = pending.pop(0)
        if id(link) in seen:
            continue
        seen.add(id(link))
        chain.append(link)
        if link.args and isinstance(link.args[0], BaseException):
            pending.append(link.args[0])
        cause = link.__cause__ if link.__cause__ is not None else link.__context__
        if cause is not None:
            pending.append(cause)
    return chain


def _exact_from_exception(error: BaseException) -> str | None:
    """Revert data an exception holds as data rather than as text meant for people."""
    data = getattr(error, "data", None)
    if data is not None and (found := _from_payload(data, 0)) is not None:
        return found
    response = getattr(error, "rpc_response", None)
    if isinstance(response, Mapping) and (found := _from_error_object(response, 0)) is not None:
        return found
    if not error.args:
        return None
    first = error.args[0]
    if isinstance(first, (bytes, bytearray, memoryview)):
        return _hex_of_bytes(first)
    if isinstance(first, Mapping):  # older web3 raised ValueError(response["error"])
        return _from_error_object(first, 0)
    return None


def _from_error_object(error: Mapping[object, object], depth: int) -> str | None:
    """A JSON-RPC response (``{"error": {...}}``) or error object (``{"code", "message",
    "data"}``): the revert data sits under ``"data"``."""
    if depth > _MAX_DEPTH:
        return None
    inner = error.get("error")
    if isinstance(inner, Mapping):
        return _from_error_object(inner, depth + 1)
    if error.get("data") is not None:
        return _from_payload(error["data"], depth + 1)
    message = error.get("message")
    return _from_message(message) if isinstance(message, str) else None


def _from_payload(value: object, depth: int, bare_hex: bool = True) -> str | None:
    """What a node put under an error's ``"data"``: hex text (there "0x" may be missing),
    bytes, or a dict around them."""
    if depth > _MAX_DEPTH:
        return None
    if isinstance(value, str):
        return _from_text(value, bare_hex)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return _hex_of_bytes(value)
    if not isinstance(value, Mapping):
        return None
    # Hardhat nests {"message", "data"}; Ganache 7 reports a transaction's {"result"}.
    for key in ("data", "result", "return"):
        if key in value and (found := _from_payload(value[key], depth + 1)) is not None:
            return found
    # Ganache 6: {"0x<transaction hash>": {"error": "revert", "return": "0x..."}, "stack": ...}
    for key, details in value.items():
        if isinstance(key, str) and _TX_HASH.fullmatch(key) and isinstance(details, Mapping):
            if details.get("error", "revert") != "revert":
                return None  # an invalid opcode or out of gas carries no revert data
            if (found := _from_payload(details, depth + 1)) is not None:
                return found
    return None


def _is_hex(text: str) -> bool:
    """"0x" and whole bytes of hex digits."""
    return text.startswith(("0x", "0X")) and len(text) % 2 == 0 and _HEX_DIGITS.fullmatch(text, 2) is not None


def _from_text(text: str, bare_hex: bool) -> str | None:
    """Strict hex text, or hex wrapped in one of the known node phrases; with ``bare_hex``
    also whole bytes of hex digits without "0x". A node may send any amount of it, so at most
    one copy of the hex is made (none when it is already canonical)."""
    if bare_hex and text and not text.startswith(("0x", "0X")) and len(text) % 2 == 0 \
            and _HEX_DIGITS.fullmatch(text) is not None:
        return "0x" + text.lower()
    start, end = 0, len(text)
    for wrapped in _WRAPPED_HEX:
        if match := wrapped.fullmatch(text):
            start, end = match.span(1)
            break
    if (end - start) % 2 or not text.startswith(("0x", "0X"), start, end):
        return None
    if _HEX_DIGITS.fullmatch(text, start + 2, end) is None:
        return None
    hex_text = text if end - start == len(text) else text[start:end]
    # "0x" followed by digits and lowercase letters is lowercase; "0X" or any "A-F" is not.
    return hex_text if hex_text.islower() else hex_text.lower()


def _hex_of_bytes(value: bytes | bytearray | memoryview) -> str:
    return "0x" + bytes(value).hex()


def _is_eth_tester_failure(error: BaseException) -> bool:
    kind = type(error)
    return kind.__name__ == "TransactionFailed" and kind.__module__.startswith("eth_tester")


def _eth_tester_text(error: BaseException) -> str | None:
    """The message of an eth-tester failure."""
    if not _is_eth_tester_failure(error) or not error.args or not isinstance(error.args[0], str):
        return None
    text: str = error.args[0]
    return text


def _from_bytes_literal(text: str) -> str | None:
    """eth-tester reports non-string reverts as Python's repr of the bytes, ``b'...'``."""
    if not (text.startswith(("b'", 'b"')) and len(text) >= 3 and text[-1] == text[1]):
        return None
    try:
        value = ast.literal_eval(text)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return None
    return _hex_of_bytes(value) if isinstance(value, bytes) else None


def _from_eth_tester_reason(chain: list[BaseException], messages: list[str]) -> str | None:
    """eth-tester's ``call`` decodes an ``Error(string)`` revert to its reason and drops the
    bytes; the reason is all that is left, so the payload is rebuilt from it (canonically
    encoded, as Solidity's ``require`` and ``revert`` produce it)."""
    if not messages or any(_is_vm_fault(link) for link in chain):
        return None
    # The innermost message is eth-tester's own; web3 rewraps it with a prefix, and when
    # only the rewrapped one is left the prefix has to go.
    reason = messages[-1] if len(messages) > 1 else messages[0].removeprefix(_WEB3_PREFIX)
    if _VM_FAULTS.fullmatch(reason):
        return None
    return "0x" + _encode_error_string(reason)


def _is_vm_fault(error: BaseException) -> bool:
    """py-evm's own failure classes other than Revert, reached through eth-tester."""
    kind = type(error)
    return kind.__module__ == "eth.exceptions" and kind.__name__ != "Revert"


def _encode_error_string(reason: str) -> str:
    encoded = reason.encode()
    padding = -len(encoded) % 32
    return _ERROR_STRING_HEAD + f"{len(encoded):064x}" + (encoded + b"\0" * padding).hex()
