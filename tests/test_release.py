"""The version has one home (meson.build), and what is installed and logged agrees with it."""

import importlib.metadata
import pathlib
import re

import pytest

import orvane

ROOT = pathlib.Path(__file__).resolve().parents[1]


def source_version():
    meson = ROOT / "meson.build"
    if not meson.exists():
        pytest.skip("no source tree next to the tests")
    return re.search(r"project\([^)]*?version:\s*'([^']+)'", meson.read_text(), re.S).group(1)


def test_installed_version_is_meson_builds():
    version = source_version()
    assert orvane.__version__ == importlib.metadata.version("orvane") == version


def test_no_second_copy_of_the_version():
    source_version()
    pyproject = (ROOT / "pyproject.toml").read_text()
    assert re.search(r'^dynamic\s*=\s*\[[^]]*"version"', pyproject, re.M)
    assert not re.search(r"^version\s*=", pyproject, re.M), "pyproject.toml sets its own version"
    init = (ROOT / "src" / "orvane" / "__init__.py").read_text()
    assert not re.search(r"__version__\s*=\s*['\"]", init), "__init__.py hard-codes a version"


def test_changelog_has_the_version():
    version = source_version()
    changelog = (ROOT / "CHANGELOG.md").read_text()
    assert re.search(rf"^## \[{re.escape(version)}\]", changelog, re.M), \
        f"CHANGELOG.md has no section for {version}"
