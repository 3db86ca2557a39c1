"""Finding the project's programs (pmctl, the simulators) beside the library in use."""

from __future__ import annotations

import os
import shutil
from pathlib import Path

from ._library import checkout_root


def find_program(name: str) -> str:
    """The path of pmctl, a simulator or portmdl-modemd: from the folders PORTMDL_TOOLS lists
    (separated by ':'), then the checkout's build tree, then PATH. Raises FileNotFoundError."""
    places = [Path(folder) for folder in os.environ.get("PORTMDL_TOOLS", "").split(os.pathsep)
              if folder]
    root = checkout_root()
    if root is not None:
        places += [root / "build" / "tools", root / "build" / "sim", root / "build" / "modemd"]
    for place in places:
        candidate = place / name
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    found = shutil.which(name)
    if found is None:
        raise FileNotFoundError(f"{name} was not found (install portmdl-tools, build the checkout, "
                                "or list its folder in PORTMDL_TOOLS)")
    return found
