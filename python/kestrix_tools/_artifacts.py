"""JSON ABIs, Foundry and Hardhat artifacts and build-info files, from files and folders.

What a JSON document holds is told by its shape, not its file name:

- a list is a JSON ABI;
- an object with ``"abi"`` is a contract artifact (Foundry ``out/X.sol/X.json``, Hardhat
  ``artifacts/.../X.json``, Truffle), with NatSpec from ``userdoc``/``devdoc`` or ``metadata``;
- an object with ``"contracts"`` (compiler output) or ``"output": {"contracts": ...}``
  (Hardhat and Foundry build-info files) holds one artifact per ``contracts[file][name]``;
- anything else holds no ABI.

An ``"abi"`` given as JSON text (as block explorers return it) is read as that text.

A file named on its own must hold an ABI; a Hardhat artifact named on its own takes its NatSpec
from its build-info file. In a folder, walked recursively in sorted order without following
symbolic links to folders and without entering hidden folders or ``node_modules``, every
``*.json`` file except Hardhat's ``*.dbg.json`` link files is read, and a JSON document that holds
no ABI (``package.json``, a cache file, a build-info input) is passed over. A ``*.json`` file in
a folder that cannot be read as JSON (not a regular file, larger than ``MAX_FILE_BYTES``, not
UTF-8, not valid JSON) is skipped and reported to the caller, or raises ValueError naming it
when the load is strict.

Only regular files are read, never more than ``MAX_FILE_BYTES`` of one, and opening one never
waits: a FIFO or a device named ``x.json`` is refused, not read.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path

from kestrix_tools._json_text import parse_json
from kestrix_tools._hints import NatSpec

#: The largest file read: larger than any compiler output, small enough to parse in memory.
MAX_FILE_BYTES = 256 << 20

#: Folders a walk does not enter: hidden ones (``.git``, ``.vscode``) and npm's packages.
_SKIPPED_FOLDERS = ("node_modules",)

#: One ABI found in a document: where it came from, the ABI itself, and its contract's NatSpec.
AbiSource = tuple[str, object, "NatSpec | None"]


def abis_in_document(document: object, label: str, required: bool) -> list[AbiSource]:
    """The ABIs a parsed JSON document holds; ValueError when ``required`` and there are none
    to look for (a document of another kind)."""
    if isinstance(document, list):
        return [(label, document, None)]
    if isinstance(document, Mapping):
        if "abi" in document:
            return [(label, _abi_value(document["abi"], label), NatSpec(document, label))]
        output = document.get("output")
        contracts = output.get("contracts") if isinstance(output, Mapping) else document.get("contracts")
        if isinstance(contracts, Mapping):
            found: list[AbiSource] = []
            for file_name, by_name in contracts.items():
                if not isinstance(by_name, Mapping):
                    continue
                for contract_name, contract in by_name.items():
                    if isinstance(contract, Mapping) and "abi" in contract:
                        where = f"{label}: {file_name}:{contract_name}"
                        found.append((where, _abi_value(contract["abi"], where), NatSpec(contract, where)))
            return found
    if required:
        raise ValueError(f"{label}: neither a JSON ABI nor a Foundry or Hardhat artifact or build-info file")
    return []


def _abi_value(abi: object, label: str) -> object:
    """An artifact's ``"abi"``: the list itself, or the list its JSON text holds."""
    return parse_json(abi, f"{label}: \"abi\"") if isinstance(abi, str) else abi


def read_file_bounded(path: Path, limit: int = MAX_FILE_BYTES) -> bytes:
    """The bytes of the regular file ``path``; ValueError naming it for any other kind of file
    (opened without waiting, so a FIFO cannot block), for one larger than ``limit`` bytes, or
    when it cannot be read."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise ValueError(f"{path}: cannot be read ({error.strerror or error})") from None
    with os.fdopen(descriptor, "rb", buffering=0) as stream:
        try:
            mode = os.fstat(descriptor).st_mode
            if not stat.S_ISREG(mode):
                raise ValueError(f"{path}: not a regular file")
            if os.fstat(descriptor).st_size > limit:
                raise ValueError(f"{path}: larger than the {limit >> 20} MB a file may hold")
            os.set_blocking(descriptor, True)
            data = stream.read(limit + 1)  # bounded even when the file grows meanwhile
        except OSError as error:
            raise ValueError(f"{path}: cannot be read ({error.strerror or error})") from None
    if len(data) > limit:
        raise ValueError(f"{path}: larger than the {limit >> 20} MB a file may hold")
    return data


def _load(path: Path) -> object:
    return parse_json(read_file_bounded(path), str(path))


def _read(path: Path, required: bool) -> list[AbiSource]:
    document = _load(path)
    if required and isinstance(document, Mapping):
        document = _with_build_info_natspec(path, document)
    return abis_in_document(document, str(path), required)


def _build_info_output(path: Path, artifact: Mapping[str, object]) -> tuple[Path, str] | None:
    """The build-info file holding a Hardhat artifact's compiler output, and the source name the
    output files the contract under; None when the artifact is not Hardhat's or the file is gone.

    Hardhat 2 links ``X.json`` to it through ``X.dbg.json`` (``"buildInfo"``, a relative path);
    Hardhat 3 names it by ``"buildInfoId"``: ``build-info/<id>.output.json`` in the artifacts folder.
    """
    kind = artifact.get("_format")
    if kind == "hh-sol-artifact-1":
        link = path.with_suffix(".dbg.json")
        relative = None
        if link.is_file():
            debug = _load(link)
            relative = debug.get("buildInfo") if isinstance(debug, Mapping) else None
        source = artifact.get("sourceName")
        if isinstance(relative, str) and isinstance(source, str) and (path.parent / relative).is_file():
            return path.parent / relative, source
    elif kind == "hh3-artifact-1":
        build = artifact.get("buildInfoId")
        source = artifact.get("inputSourceName")
        if isinstance(build, str) and Path(build).name == build and isinstance(source, str):
            for folder in path.parents:
                output = folder / "build-info" / f"{build}.output.json"
                if output.is_file():
                    return output, source
    return None


def _with_build_info_natspec(path: Path, artifact: Mapping[str, object]) -> Mapping[str, object]:
    """A Hardhat artifact named on its own, completed with its contract's NatSpec, which Hardhat
    keeps only in the build-info file. Without that file the artifact is used as it is; a
    build-info file that is there must be valid JSON."""
    found = _build_info_output(path, artifact)
    name = artifact.get("contractName")
    if found is None or not isinstance(name, str):
        return artifact
    build_info, source = found
    output = _load(build_info)
    output = output.get("output") if isinstance(output, Mapping) else None
    contracts = output.get("contracts") if isinstance(output, Mapping) else None
    by_name = contracts.get(source) if isinstance(contracts, Mapping) else None
    contract = by_name.get(name) if isinstance(by_name, Mapping) else None
    if not isinstance(contract, Mapping):
        return artifact
    return {**artifact, **{key: contract[key] for key in ("userdoc", "devdoc", "metadata") if key in contract}}


def _walk(folder: Path, skip: Callable[[str], None]) -> Iterator[Path]:
    def fail(error: OSError) -> None:
        skip(f"{error.filename}: cannot be read ({error.strerror or error})")

    for root, folders, files in os.walk(folder, onerror=fail):
        folders[:] = sorted(f for f in folders if not f.startswith(".") and f not in _SKIPPED_FOLDERS)
        for name in sorted(files):
            lowered = name.lower()
            if lowered.endswith(".json") and not lowered.endswith(".dbg.json"):
                yield Path(root, name)


def abis_in_path(path: str | os.PathLike[str], skipped: list[str] | None = None) -> Iterator[AbiSource]:
    """The ABIs in a file, or in the JSON files under a folder. A file in a folder that cannot
    be read as JSON is passed over with its message appended to ``skipped``; without that list
    (a strict load) it raises ValueError."""

    def skip(message: str) -> None:
        if skipped is None:
            raise ValueError(message)
        skipped.append(message)

    top = Path(path)
    if top.is_dir():
        for file in _walk(top, skip):
            try:
                found = _read(file, required=False)
            except ValueError as error:
                skip(str(error))
                continue
            yield from found
    elif top.exists():
        yield from _read(top, required=True)
    else:
        raise ValueError(f"{top}: no such file or folder")
