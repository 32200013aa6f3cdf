"""A small JSON-RPC client over the standard library, or over a web3 ``Web3`` the user already has.

RPC URLs often carry an API key in their path or query, so no message, log line or exception
text this module makes holds more of a URL than its host and port, and no exception of the
transport is chained (its text could hold the whole URL).
"""

from __future__ import annotations

import http.client
import itertools
import json
import re
import socket
import ssl
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Mapping
from typing import Any, Final
from urllib.parse import urlsplit

from kestrix_tools._revert_data import revert_data
from kestrix_tools._trace import TraceError, parse_json_deep

__all__ = ["MethodMissing", "NodeError", "RpcClient", "RpcError", "client_for", "redact"]

#: Bytes read of one reply: a large trace is tens of megabytes; beyond this the node is refused.
MAX_REPLY_BYTES: Final = 256 * 1024 * 1024
_RETRY_STATUSES: Final = frozenset({429, 500, 502, 503, 504})
#: A whole reply may take this many timeouts to arrive (large traces are tens of megabytes).
_BODY_TIMEOUTS: Final = 10

# How nodes and providers say a method is not there beside -32601: geth, Erigon, Nethermind,
# reth, Infura, Alchemy and hosted gateways word it differently.
_MISSING_WORDS = re.compile(
    r"method[^.]*?(?:not found|not supported|does not exist|not available|is unsupported|not allowed|"
    r"not whitelisted|disabled|not enabled|has not been implemented)"
    r"|unsupported method|unknown method|no such method|endpoint has not been implemented"
    r"|namespace[^.]*(?:disabled|not enabled|not available)|not implemented",
    re.IGNORECASE,
)


class NodeError(Exception):
    """The node could not be asked: no connection, a TLS failure, a timeout, an HTTP error or a
    reply that is not JSON-RPC. The text names the host, never the whole URL."""


class RpcError(NodeError):
    """The node answered with a JSON-RPC error."""

    def __init__(self, method: str, code: object, message: str, data: object = None) -> None:
        self.method, self.code, self.message, self.data = method, code, message, data
        super().__init__(f"{method}: JSON-RPC error {code}: {message}")


class MethodMissing(RpcError):
    """The node does not have the method (or has its namespace switched off)."""


def redact(url: str) -> str:
    """The host and port of a URL: all that messages may show of it."""
    try:
        parts = urlsplit(url)
        host = parts.hostname or "?"
        port = f":{parts.port}" if parts.port else ""
    except ValueError:
        return "the node"
    return f"{host}{port}"


def _rpc_error(method: str, error: object) -> RpcError:
    if isinstance(error, Mapping):
        code, message, data = error.get("code"), error.get("message"), error.get("data")
    else:
        code, message, data = None, error, None
    text = str(message)[:500] if message is not None else "(no message)"
    missing = code == -32601 or _MISSING_WORDS.search(text) is not None
    return (MethodMissing if missing else RpcError)(method, code, text, data)


class RpcClient:
    """Calls JSON-RPC methods; ``call`` returns the result or raises NodeError / RpcError."""

    def __init__(self, send: Callable[[str, list[Any]], Any], label: str) -> None:
        self._send = send
        self.label = label

    def call(self, method: str, params: list[Any]) -> Any:
        return self._send(method, params)


class _HttpTransport:
    def __init__(self, url: str, timeout: float, retries: int, backoff: float) -> None:
        scheme = urlsplit(url).scheme.lower()
        if scheme not in ("http", "https"):
            raise ValueError(f"an RPC URL starts with http:// or https://, not {scheme + '://' if scheme else 'nothing'}")
        self.url, self.host = url, redact(url)
        self.timeout, self.retries, self.backoff = timeout, retries, backoff
        self._ids = itertools.count(1)

    def __call__(self, method: str, params: list[Any]) -> Any:
        body = json.dumps({"jsonrpc": "2.0", "id": next(self._ids), "method": method, "params": params}).encode()
        reply = self._post(method, body)
        try:
            # Traces nest as deep as calls do: read without recursion.
            document = parse_json_deep(reply.decode("utf-8"), method)
        except (UnicodeDecodeError, TraceError):
            raise NodeError(f"{self.host} answered {method} with something that is not JSON: "
                            f"{reply[:80].decode('utf-8', 'replace')!r}") from None
        if not isinstance(document, dict):
            raise NodeError(f"{self.host} answered {method} with JSON that is not a JSON-RPC reply")
        if document.get("error") is not None:
            raise _rpc_error(method, document["error"])
        if "result" not in document:
            raise NodeError(f"{self.host} answered {method} with neither a result nor an error")
        return document["result"]

    def _post(self, method: str, body: bytes) -> bytes:
        request = urllib.request.Request(self.url, data=body, method="POST",
                                         headers={"Content-Type": "application/json",
                                                  "User-Agent": "kestrix-evm"})
        for attempt in range(self.retries + 1):
            problem, delay = self._attempt(request, method, self.backoff * 2**attempt)
            if isinstance(problem, bytes):
                return problem
            if attempt == self.retries or delay is None:
                raise NodeError(problem)
            time.sleep(min(delay, 30.0))
        raise AssertionError("unreachable")

    def _attempt(self, request: urllib.request.Request, method: str, wait: float) -> tuple[bytes | str, float | None]:
        """The reply's bytes, or (what went wrong, how long to wait before retrying or None)."""
        try:
            with urllib.request.urlopen(request, timeout=self.timeout) as response:
                reply = self._read(response, method)
        except urllib.error.HTTPError as error:
            status = error.code
            text = f"{self.host} answered {method} with HTTP {status} {error.reason}"
            if status in _RETRY_STATUSES:
                return text, _retry_after(error.headers.get("Retry-After"), wait)
            # Some providers put a JSON-RPC error in a 4xx reply.
            body = error.read(65536)
            try:
                document = json.loads(body)
            except (ValueError, RecursionError):
                return text, None
            if isinstance(document, dict) and document.get("error") is not None:
                raise _rpc_error(method, document["error"]) from None
            return text, None
        except urllib.error.URLError as error:
            return self._reason(error.reason, method), None
        except (TimeoutError, socket.timeout):
            return f"{self.host} did not answer {method} within {self.timeout:g} s", None
        except (http.client.HTTPException, ConnectionError, OSError) as error:
            return self._reason(error, method), wait if isinstance(error, ConnectionResetError) else None
        return reply, None

    def _read(self, response: http.client.HTTPResponse, method: str) -> bytes | str:
        """The body, or what went wrong: too large, or trickling in for too long (each read
        waits at most the timeout; the whole body at most ten times it)."""
        limit = self.timeout * _BODY_TIMEOUTS
        deadline = time.monotonic() + limit
        chunks: list[bytes] = []
        size = 0
        while chunk := response.read1(1 << 20):
            size += len(chunk)
            if size > MAX_REPLY_BYTES:
                return f"{self.host} answered {method} with more than {MAX_REPLY_BYTES // 2**20} MiB"
            if time.monotonic() > deadline:
                return f"{self.host} took longer than {limit:g} s to send its reply to {method}"
            chunks.append(chunk)
        return b"".join(chunks)

    def _reason(self, reason: object, method: str) -> str:
        if isinstance(reason, ssl.SSLError):
            return f"TLS failure talking to {self.host}: {getattr(reason, 'reason', None) or type(reason).__name__}"
        if isinstance(reason, ConnectionRefusedError):
            return f"connection to {self.host} refused (is the node running?)"
        if isinstance(reason, (TimeoutError, socket.timeout)):
            return f"{self.host} did not answer {method} within {self.timeout:g} s"
        if isinstance(reason, socket.gaierror):
            return f"cannot resolve {self.host}"
        if isinstance(reason, http.client.HTTPException):
            return f"{self.host} broke off the reply to {method} ({type(reason).__name__})"
        if isinstance(reason, OSError) and reason.strerror:
            return f"cannot reach {self.host}: {reason.strerror}"
        return f"cannot reach {self.host} ({type(reason).__name__})"


def _retry_after(header: str | None, fallback: float) -> float:
    if header is not None and header.strip().isdigit():
        return float(header.strip())
    return fallback


def _web3_transport(w3: Any) -> Callable[[str, list[Any]], Any]:
    # The manager applies web3's result formatters, so every provider (eth-tester's included,
    # whose raw answers are not JSON-RPC's) gives the same shapes; errors come as exceptions.
    manager = getattr(w3, "manager", None)
    request_blocking = getattr(manager, "request_blocking", None)
    make_request = getattr(getattr(w3, "provider", None), "make_request", None)
    if request_blocking is None or make_request is None:
        raise TypeError("source must be an RPC URL or a web3 Web3 instance")

    def send(method: str, params: list[Any]) -> Any:
        try:
            document = {"result": request_blocking(method, params)}
        except Exception as error:  # the provider's own failure, whatever it is
            found = _error_in(error) or _failed_call(error)
            if found is not None:
                raise _rpc_error(method, found) from None
            raise NodeError(f"the web3 provider failed on {method}: {type(error).__name__}: {str(error)[:300]}") from None
        if not isinstance(document, Mapping):
            raise NodeError(f"the web3 provider answered {method} with {type(document).__name__}")
        if document.get("error") is not None:
            raise _rpc_error(method, document["error"])
        return _plain(document.get("result"))

    return send


def _error_in(error: BaseException) -> object | None:
    """A JSON-RPC error object carried by a web3 exception, if any."""
    response = getattr(error, "rpc_response", None)
    found: object = response.get("error") if isinstance(response, Mapping) else None
    return found


def _failed_call(error: BaseException) -> dict[str, object] | None:
    """A call's failure that web3 or eth-tester raise instead of answering with an error object."""
    names = {kind.__name__ for kind in type(error).__mro__}
    if not names & {"ContractLogicError", "TransactionFailed"}:
        return None
    data = revert_data(error)
    message = "execution reverted" if data is not None else str(error)[:500]
    return {"code": 3, "message": message, "data": data}


def _plain(value: Any) -> Any:
    """web3 results (AttributeDict, HexBytes) as plain JSON values, without recursion."""
    if isinstance(value, (bytes, bytearray)):
        return "0x" + bytes(value).hex()
    if not isinstance(value, (Mapping, list, tuple)):
        return value
    root: list[Any] = [None]
    stack: list[tuple[Any, Any, Any]] = [(value, root, 0)]
    while stack:
        item, holder, key = stack.pop()
        if isinstance(item, Mapping):
            copy: Any = {}
            for k, v in item.items():
                stack.append((v, copy, k))
        elif isinstance(item, (list, tuple)):
            copy = [None] * len(item)
            for i, v in enumerate(item):
                stack.append((v, copy, i))
        elif isinstance(item, (bytes, bytearray)):
            copy = "0x" + bytes(item).hex()
        else:
            copy = item
        holder[key] = copy
    return root[0]


def client_for(source: object, *, timeout: float = 30.0, retries: int = 3, backoff: float = 0.5) -> RpcClient:
    """A client for an HTTP(S) URL or a web3 ``Web3`` instance."""
    if isinstance(source, str):
        transport = _HttpTransport(source, timeout, retries, backoff)
        return RpcClient(transport, transport.host)
    return RpcClient(_web3_transport(source), "the web3 provider")
