"""The companion package installs beside the module, typed."""

import importlib.resources

import kestrix_tools


def test_companion_is_installed_and_typed() -> None:
    assert importlib.resources.files(kestrix_tools).joinpath("py.typed").is_file()
