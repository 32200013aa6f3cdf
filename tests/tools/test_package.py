"""The companion package installs beside the module, typed, and the tests use the installed copy;
the distribution's metadata says what is tested and under which licence."""

import importlib.metadata
import importlib.resources
import sys
from pathlib import Path

import kestrix
import kestrix_tools

CHECKOUT = Path(__file__).resolve().parents[2]


def test_companion_is_installed_and_typed() -> None:
    assert importlib.resources.files(kestrix_tools).joinpath("py.typed").is_file()


def test_tests_import_the_installed_packages() -> None:
    for module in (kestrix, kestrix_tools):
        path = Path(module.__file__ or "").resolve()
        assert not path.is_relative_to(CHECKOUT / "python") and not path.is_relative_to(CHECKOUT / "src"), path
        assert "site-packages" in path.parts, path


def test_metadata_names_the_running_version_and_the_licence() -> None:
    metadata = importlib.metadata.metadata("kestrix-evm")
    classifiers = metadata.get_all("Classifier") or []
    assert f"Programming Language :: Python :: {sys.version_info.major}.{sys.version_info.minor}" in classifiers
    assert "License :: OSI Approved :: MIT License" in classifiers and metadata["License"] == "MIT"
    licence_files = [file for file in importlib.metadata.files("kestrix-evm") or [] if file.name == "LICENSE"]
    assert licence_files and "MIT License" in licence_files[0].read_text()
