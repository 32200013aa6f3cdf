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
    # The package states its version itself (the command and Parquet files show it): the same.
    assert kestrix_tools.__version__ == metadata["Version"]


def test_the_package_modules_import_one_way() -> None:
    # Every import between the package's modules, at the top or inside a function: no cycles.
    import ast

    folder = Path(kestrix_tools.__file__ or "").parent
    graph: dict[str, set[str]] = {}
    for source in folder.glob("*.py"):
        imported: set[str] = set()
        for node in ast.walk(ast.parse(source.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("kestrix_tools."):
                imported.add(node.module.split(".")[1])
            elif isinstance(node, ast.ImportFrom) and node.module == "kestrix_tools":
                imported.update(alias.name for alias in node.names if (folder / f"{alias.name}.py").exists())
        graph[source.stem] = imported - {source.stem}

    def reaches(start: str, goal: str, seen: set[str]) -> bool:
        return any(n == goal or (n not in seen and reaches(n, goal, seen | {n})) for n in graph.get(start, ()))

    cycles = sorted(module for module in graph if module != "__init__" and reaches(module, module, set()))
    assert cycles == []
