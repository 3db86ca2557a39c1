"""Shared by the package's tests: the log folder of a test."""

import pytest


@pytest.fixture
def log_folder(tmp_path):
    folder = tmp_path / "log"
    folder.mkdir()
    return folder
