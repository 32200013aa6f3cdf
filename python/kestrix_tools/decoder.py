"""``Decoder``: kestrix's decoding plus the errors of the user's own contracts; the package's
shared default decoder; and the arguments that build a decoder elsewhere (a worker process).

The rest of the package imports this module, never the other way round."""

from __future__ import annotations

import functools
import os
import threading
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Final, Protocol, Union

from kestrix_tools import _known_compact, _native
from kestrix_tools._abi_json import Found, errors_in_abi
from kestrix_tools._artifacts import abis_in_document, abis_in_path
from kestrix_tools._definitions import Definition, shorten
from kestrix_tools._explanation import Explanation
from kestrix_tools._json_text import parse_json
from kestrix_tools._hints import NatSpec
from kestrix_tools._signature_text import parse_signature
from kestrix_tools._wrappers import native_arguments

if TYPE_CHECKING:
    from kestrix import DecodeResult

__all__ = ["Decoder", "DecoderSources", "SkippedFilesWarning", "SupportsDecode", "build_decoder", "default_decoder"]

#: What ``abi`` accepts: JSON text, a parsed JSON ABI, or a parsed artifact object.
AbiInput = Union[str, bytes, bytearray, Sequence[Mapping[str, object]], Mapping[str, object]]
PathInput = Union[str, "os.PathLike[str]"]


class SkippedFilesWarning(UserWarning):
    """Files in a folder given to ``Decoder(paths=...)`` that were passed over because they could
    not be read as JSON; one warning per Decoder, on one line."""


def _skipped_message(skipped: list[str]) -> str:
    first = skipped[0].replace("\n", " ")
    more = f" (and {len(skipped) - 1} more)" if len(skipped) > 1 else ""
    noun = "file" if len(skipped) == 1 else "files"
    return f"skipped {len(skipped)} {noun} that could not be read as JSON: {first}{more}; strict=True refuses them"


class _Collection:
    """Errors in the order first found, one per canonical signature. A later copy of an error
    only supplies the hint when the first copy had none."""

    __slots__ = ("by_signature",)

    def __init__(self) -> None:
        self.by_signature: dict[str, Definition] = {}

    def add(self, found: list[Found], natspec: NatSpec | None) -> None:
        for name, params, signature in found:
            known = self.by_signature.get(signature)
            if known is not None and (known[2] is not None or natspec is None):
                continue
            hint = natspec.hint(signature, [p.param[0] for p in params]) if natspec else None
            if known is None:
                self.by_signature[signature] = (name, tuple(p.param for p in params), hint)
            elif hint is not None:
                self.by_signature[signature] = (known[0], known[1], hint)

    def add_abi(self, abi: object, label: str, natspec: NatSpec | None) -> None:
        try:
            found = errors_in_abi(abi)
        except ValueError as error:
            raise ValueError(f"{label}: {error}") from None
        self.add(found, natspec)

    def definitions(self) -> list[Definition]:
        return list(self.by_signature.values())


def _abi_argument(abi: object, collection: _Collection) -> None:
    if isinstance(abi, (str, bytes, bytearray)):
        text = bytes(abi) if isinstance(abi, bytearray) else abi
        try:
            abi = parse_json(text, "abi")
        except ValueError as error:
            start = text.lstrip()[:1]
            if start and start not in ("[", "{", b"[", b"{"):  # a file name, most likely
                raise ValueError(f"{error}; abi= takes the ABI itself: name files and folders with paths=[...]") from None
            raise
    elif not isinstance(abi, (Sequence, Mapping)):
        raise TypeError(f"abi must be JSON text, a list of ABI entries or an artifact dict, not {type(abi).__name__}")
    for label, entries, natspec in abis_in_document(abi, "abi", required=True):
        collection.add_abi(entries, label, natspec)


def _signatures_argument(signatures: object, collection: _Collection) -> None:
    if isinstance(signatures, str):
        signatures = [signatures]
    if not isinstance(signatures, Iterable):
        raise TypeError(f"signatures must be a list of str, not {type(signatures).__name__}")
    for text in signatures:
        if not isinstance(text, str):
            raise TypeError(f"a signature must be a str, not {type(text).__name__}")
        try:
            found = parse_signature(text)
        except ValueError as error:
            raise ValueError(f"signature {shorten(text)!r}: {error}") from None
        collection.add([found], None)


def _path_list(paths: object) -> list[str | os.PathLike[str]]:
    """``paths`` as Decoder takes it (one path, or an iterable of them) as a list, checked."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    if not isinstance(paths, Iterable):
        raise TypeError(f"paths must be a list of paths, not {type(paths).__name__}")
    listed = list(paths)
    for path in listed:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"a path must be a str or os.PathLike, not {type(path).__name__}")
    return listed


def _paths_argument(paths: object, collection: _Collection, skipped: list[str] | None) -> None:
    for path in _path_list(paths):
        for label, entries, natspec in abis_in_path(path, skipped):
            collection.add_abi(entries, label, natspec)


#: Where the known errors and reason tables ship: the JSON data and the compact texts the build
#: makes from it.
_DATA_DIR = Path(__file__).resolve().parent / "data"


@functools.lru_cache(maxsize=4)
def _known_texts(data_dir: Path) -> tuple[bytes, bytes]:
    """The compact known-errors and reasons texts, read once per process. Where the build did not
    write them (a source checkout), they are made from the JSON data."""
    errors = data_dir / _known_compact.ERRORS_TEXT
    reasons = data_dir / _known_compact.REASONS_TEXT
    if errors.is_file() and reasons.is_file():
        return errors.read_bytes(), reasons.read_bytes()
    return _known_compact.compact_files(data_dir)


class Decoder:
    """Decodes revert data like ``kestrix``, and also the custom errors of your own contracts.

    ``abi`` is a JSON ABI (a list of entries, or its JSON text) or a parsed artifact;
    ``signatures`` are texts such as ``"error InsufficientFunds(uint256 available, uint256 required)"``;
    ``paths`` are files or folders of JSON ABIs, Foundry or Hardhat artifacts and build-info
    files. Errors are tried in that order (``abi``, then ``signatures``, then ``paths``); the
    same error found again is added once. Bad input raises ValueError naming its source. A
    ``*.json`` file in a folder that cannot be read as JSON is skipped, with one
    ``SkippedFilesWarning`` for them all; with ``strict=True`` it raises ValueError instead.
    ``explain`` follows wrapped reverts down to their root cause.

    After your errors, the 45 built-ins and the known wrappers come the errors of well-known
    protocols (confidence 0.9) with the tables that explain their revert texts, unless
    ``known=False``; then the signature database at ``signature_db`` (a text file of one
    signature per line, or a folder of one file per selector as ethereum-lists/4bytes lays it
    out; confidence 0.5). Where several of those share a selector, the first whose data decode
    exactly wins and the others that fit are its layer's ``alternatives`` in ``explain``.
    """

    __slots__ = ("decode", "errors", "explain")

    #: Decodes revert data (hex text, "0x" optional, or bytes) into kestrix's ten-key dict.
    decode: Final[Callable[[str | bytes | bytearray | memoryview], DecodeResult]]
    #: The canonical signatures of the errors added, in the order they are tried.
    errors: Final[tuple[str, ...]]
    #: The revert in ``data`` (as ``decode`` takes it) and every revert it carries, as an
    #: ``Explanation``: ``chain`` outermost first (``chain[0].to_dict() == decode(data)``), down
    #: to ``root``, the cause. A carried revert is a ``bytes`` argument of a decoded error, or
    #: the end of an ``Error(string)`` text, that decodes to a reason, a panic or a known error;
    #: the known wrappers (ERC-7751 ``WrappedError``, ``ExecutionFailed``,
    #: ``FailedOpWithRevert``, ``UnexpectedRevertBytes``, ``CallFailed``) name which argument is
    #: the cause. At most 16 layers.
    explain: Final[Callable[[str | bytes | bytearray | memoryview], Explanation]]

    def __init__(
        self,
        abi: AbiInput | None = None,
        signatures: str | Iterable[str] | None = None,
        paths: PathInput | Iterable[PathInput] | None = None,
        *,
        strict: bool = False,
        known: bool = True,
        signature_db: PathInput | None = None,
    ) -> None:
        collection = _Collection()
        skipped: list[str] | None = None if strict else []
        if abi is not None:
            _abi_argument(abi, collection)
        if signatures is not None:
            _signatures_argument(signatures, collection)
        if paths is not None:
            _paths_argument(paths, collection, skipped)
        if skipped:
            warnings.warn(_skipped_message(skipped), SkippedFilesWarning, stacklevel=2)
        if not isinstance(known, bool):
            raise TypeError(f"known must be True or False, not {type(known).__name__}")
        if signature_db is not None and not isinstance(signature_db, (str, os.PathLike)):
            raise TypeError(f"signature_db must be a path, not {type(signature_db).__name__}")
        # The known wrappers are tried after the user's errors and the built-ins, then the known
        # errors, then the signature database.
        native = _native.Decoder(
            collection.definitions(),
            explanation=Explanation,
            **native_arguments(),
            known=_known_texts(_DATA_DIR) if known else None,
            signature_db=os.fspath(signature_db) if signature_db is not None else None,
        )
        # The native bound method itself: a decode runs no Python code.
        self.decode = native.decode
        self.errors = native.errors
        self.explain = native.explain

    def __repr__(self) -> str:
        return f"<kestrix_tools.Decoder with {len(self.errors)} errors>"


class SupportsDecode(Protocol):
    """Anything that decodes revert data text, such as ``kestrix.EvmErrorDecoder``."""

    def decode(self, data: str, /) -> DecodeResult: ...


_default: Decoder | None = None
_default_lock = threading.Lock()


def default_decoder() -> Decoder:
    """The package's own ``Decoder()``, built on first use and then shared (a decode keeps no
    state, so threads may share it)."""
    global _default
    with _default_lock:
        if _default is None:
            _default = Decoder()
        return _default


def _sequence_of_str(value: object, name: str) -> tuple[str, ...]:
    if isinstance(value, (str, bytes)) or not isinstance(value, (tuple, list)):
        raise TypeError(f"{name} must be a tuple or list of str, not a {type(value).__name__}")
    for item in value:
        if not isinstance(item, str):
            raise TypeError(f"an item of {name} must be a str, not {type(item).__name__}")
    return tuple(value)


@dataclass(frozen=True)
class DecoderSources:
    """``Decoder``'s arguments, kept so that the same decoder can be built elsewhere (a worker
    process, a Dask worker): ``abi`` as ``Decoder`` takes it, ``signatures`` and ``paths`` as
    tuples of str. ``of`` takes them exactly as ``Decoder`` does."""

    abi: object = None
    signatures: tuple[str, ...] = ()
    paths: tuple[str, ...] = ()
    strict: bool = False
    #: Whether the well-known protocols' errors and reason tables are used (``--no-known``).
    known: bool = True
    #: A signature database: a text file or a 4bytes-style folder (``--signature-db``).
    signature_db: str | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "signatures", _sequence_of_str(self.signatures, "signatures"))
        object.__setattr__(self, "paths", _sequence_of_str(self.paths, "paths"))

    @classmethod
    def of(
        cls,
        abi: AbiInput | None = None,
        signatures: str | Iterable[str] | None = None,
        paths: PathInput | Iterable[PathInput] | None = None,
        *,
        strict: bool = False,
        known: bool = True,
        signature_db: PathInput | None = None,
    ) -> DecoderSources:
        """The sources of ``Decoder(abi, signatures, paths, strict=strict, known=known,
        signature_db=signature_db)``: one str is one signature or one path, as there."""
        if isinstance(signatures, str):
            signatures = [signatures]
        if signatures is not None and not isinstance(signatures, Iterable):
            raise TypeError(f"signatures must be a list of str, not {type(signatures).__name__}")
        listed = _path_list(paths) if paths is not None else []
        return cls(abi, tuple(signatures or ()), tuple(os.fspath(p) for p in listed), strict, known,
                   os.fspath(signature_db) if signature_db is not None else None)


def build_decoder(sources: DecoderSources) -> Decoder:
    """The decoder ``sources`` describe; the shared default decoder when they name nothing."""
    if sources.abi is None and not sources.signatures and not sources.paths and sources.known \
            and sources.signature_db is None:
        return default_decoder()
    return Decoder(sources.abi, sources.signatures or None, sources.paths or None,  # type: ignore[arg-type]
                   strict=sources.strict, known=sources.known, signature_db=sources.signature_db)
