"""The package's version is the library's: the header, pyproject.toml and the package agree, and
the library in use is accepted."""

import re
import sys
from pathlib import Path

import portmdl
from portmdl import _library

ROOT = Path(__file__).resolve().parent.parent.parent


def test_one_version_everywhere():
    header = (ROOT / "include" / "portmdl" / "PortMdl.h").read_text()
    version = re.search(r'#define PORTMDL_VERSION_STRING "([^"]+)"', header).group(1)
    project = (ROOT / "python" / "pyproject.toml").read_text()
    assert re.search(r'^version = "([^"]+)"', project, re.M).group(1) == version
    assert portmdl.__version__ == version
    major, minor, _ = (int(part) for part in version.split("."))
    assert (_library.REQUIRED_MAJOR, _library.REQUIRED_MINOR) == (major, minor)
    assert portmdl.library_info()[1] == (major, minor, int(version.split(".")[2]))


def test_a_venv_inside_a_checkout_finds_its_build_tree(tmp_path, monkeypatch):
    # A package installed into a venv in the checkout runs from site-packages, not python/.
    root = tmp_path / "checkout"
    (root / "include" / "portmdl").mkdir(parents=True)
    (root / "include" / "portmdl" / "PortMdl.h").write_text("")
    (root / "python").mkdir()
    venv = root / ".venv"
    venv.mkdir()
    monkeypatch.setattr(portmdl._library, "__file__", str(venv / "lib" / "site" / "portmdl" / "x"))
    monkeypatch.setattr(sys, "prefix", str(venv))
    monkeypatch.setattr(sys, "base_prefix", "/usr")
    assert portmdl._library.checkout_root() == root
