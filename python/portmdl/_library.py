"""Finding, loading and describing libportmdl.so.0 for ctypes.

The library is looked for in this order: the file PORTMDL_LIBRARY names; the build tree when this
package runs from a portmdl checkout (build/libportmdl.so.0); the system's loader.
"""

from __future__ import annotations

import ctypes
import os
import re
import sys
import threading
from ctypes import POINTER, c_char_p, c_int, c_int32, c_uint8, c_uint16, c_uint32, c_void_p
from pathlib import Path
from typing import List, Optional, Tuple

from .errors import LibraryError

#: The library's major version this package is written for, and the oldest minor it accepts.
REQUIRED_MAJOR = 0
REQUIRED_MINOR = 1
SONAME = "libportmdl.so.0"


class PortStatusStruct(ctypes.Structure):
    _fields_ = [(name, c_int32) for name in (
        "nSpeedCode", "nStopBits", "nParity", "nDataBits", "nRTS", "nDTR", "nOption1",
        "nOption2")]


PROGRESS = ctypes.CFUNCTYPE(c_int, c_char_p, c_int, c_int)

# name: (restype, argtypes) of every function this package calls.
_PROTOTYPES = {
    "PM_SetInfo": (c_int32, [POINTER(c_int32)]),
    "PM_GetPortHandle": (c_int32, []),
    "PM_GetOpenMode": (c_int32, []),
    "PM_GetCommErr": (c_int32, []),
    "PM_ClearCommErr": (None, []),
    "PM_OpenPort": (c_int32, [c_int32]),
    "PM_OpenPortByDeviceName": (c_int32, [c_char_p]),
    "PM_ClosePort": (c_int32, []),
    "PM_OpenBluetoothChannel": (c_int32, [c_int32]),
    "PM_TxBytes": (c_int32, [c_int32, c_char_p]),
    "PM_RxBytes": (c_int32, [c_int32, c_void_p]),
    "PM_InBufferCount": (c_int32, []),
    "PM_ClearBuffer": (c_int32, []),
    "PM_SetTxTimeout": (c_int32, [c_uint32]),
    "PM_GetTxTimeout": (c_uint32, []),
    "PM_SetRxTimeout": (c_int32, [c_uint32]),
    "PM_GetRxTimeout": (c_uint32, []),
    "PM_SetBPS": (c_int32, [c_uint32]),
    "PM_GetBPS": (c_int32, []),
    "PM_SetRTS": (c_int32, []),
    "PM_ClearRTS": (c_int32, []),
    "PM_SetDTR": (c_int32, []),
    "PM_ClearDTR": (c_int32, []),
    "PM_GetPortStatus": (c_int32, [POINTER(PortStatusStruct)]),
    "PM_ChargeEnable": (c_int32, []),
    "PM_ChargeDisable": (c_int32, []),
    "PM_IsChargableCable": (c_int32, [POINTER(c_uint16)]),
    "PM_CountDevices": (c_int32, []),
    "PM_GetDeviceName": (c_int32, [c_int32, c_char_p, c_int32]),
    "PM_CountBluetoothChannels": (c_int32, [POINTER(c_uint8), PROGRESS]),
    "PM_Log_SetUserInfo": (c_int32, [c_char_p, c_char_p]),
    "PM_Log_TimeOutInBuf": (c_int32, [c_uint32, c_uint32]),
}
# Added by later versions of the library; used when present.
_OPTIONAL_PROTOTYPES = {
    "PM_GetVersion": (c_uint32, []),
    "PM_GetSysErr": (c_int32, []),
    "PM_GetErrLine": (c_int32, []),
    "PM_GetErrText": (c_char_p, [c_int32]),
    "PM_SetBitRate": (c_int32, [c_uint32]),
    "PM_SetFlowControl": (c_int32, [c_int32]),
}


def needed(lib: ctypes.CDLL, name: str, operation: str):
    """An optional function of the library; LibraryError when this library lacks it."""
    if not hasattr(lib, name):
        raise LibraryError(f"cannot {operation}: this libportmdl lacks {name}; a later 0.x has it")
    return getattr(lib, name)


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", c_char_p), ("dli_fbase", c_void_p), ("dli_sname", c_char_p),
                ("dli_saddr", c_void_p)]


def _is_checkout(root: Path) -> bool:
    return (root / "include" / "portmdl" / "PortMdl.h").is_file() and (root / "python").is_dir()


def checkout_root() -> Optional[Path]:
    """The portmdl source tree this package runs from (its python/ folder, or a virtual
    environment made inside the tree), or None."""
    root = Path(__file__).resolve().parent.parent.parent
    if _is_checkout(root):
        return root
    if sys.prefix != sys.base_prefix:
        for parent in Path(sys.prefix).resolve().parents:
            if _is_checkout(parent):
                return parent
    return None


def _candidates() -> List[Tuple[str, str]]:
    """(what to load, where it came from) in the order they are tried."""
    named = os.environ.get("PORTMDL_LIBRARY")
    if named:
        return [(named, "PORTMDL_LIBRARY")]
    found = []
    root = checkout_root()
    if root is not None:
        built = root / "build" / SONAME
        if built.exists():
            found.append((str(built), "the build tree"))
    found.append((SONAME, "the system's loader"))
    return found


def loaded_path(lib: ctypes.CDLL) -> str:
    """The file the dynamic loader mapped for lib, symbolic links resolved."""
    libc = ctypes.CDLL(None)
    libc.dladdr.argtypes = [c_void_p, POINTER(_DlInfo)]
    libc.dladdr.restype = c_int
    info = _DlInfo()
    address = ctypes.cast(lib.PM_GetCommErr, c_void_p)
    if not libc.dladdr(address, ctypes.byref(info)) or not info.dli_fname:
        raise LibraryError("cannot tell which file the library was loaded from")
    return os.path.realpath(os.fsdecode(info.dli_fname))


def version_of(path: str) -> Tuple[int, int, int]:
    """The version in the library's real file name (libportmdl.so.MAJOR.MINOR.PATCH): how a
    library from before PM_GetVersion tells its version."""
    match = re.fullmatch(r"libportmdl\.so\.(\d+)\.(\d+)\.(\d+)", os.path.basename(path))
    if match is None:
        raise LibraryError(f"cannot tell the version of {path}: its file name is not "
                           "libportmdl.so.MAJOR.MINOR.PATCH")
    major, minor, patch = (int(part) for part in match.groups())
    return major, minor, patch


def reported_version(lib: ctypes.CDLL, path: str) -> Tuple[int, int, int]:
    """The version the library reports (PM_GetVersion), else the one in its file name."""
    if hasattr(lib, "PM_GetVersion"):
        number = lib.PM_GetVersion()
        return (number >> 16) & 0xFF, (number >> 8) & 0xFF, number & 0xFF
    return version_of(path)


def _load() -> Tuple[ctypes.CDLL, str, Tuple[int, int, int]]:
    problems = []
    for target, origin in _candidates():
        try:
            lib = ctypes.CDLL(target)
        except OSError as e:
            problems.append(f"{origin} ({target}): {e}")
            continue
        for name, (restype, argtypes) in _PROTOTYPES.items():
            try:
                function = getattr(lib, name)
            except AttributeError:
                raise LibraryError(f"{target} from {origin} lacks {name}: not libportmdl, or too "
                                   "old") from None
            function.restype, function.argtypes = restype, argtypes
        for name, (restype, argtypes) in _OPTIONAL_PROTOTYPES.items():
            if hasattr(lib, name):
                getattr(lib, name).restype, getattr(lib, name).argtypes = restype, argtypes
        path = loaded_path(lib)
        version = reported_version(lib, path)
        if version[0] != REQUIRED_MAJOR or version[1] < REQUIRED_MINOR:
            raise LibraryError(
                f"{path} is libportmdl {'.'.join(map(str, version))}; this package needs "
                f"{REQUIRED_MAJOR}.{REQUIRED_MINOR} or a later {REQUIRED_MAJOR}.x")
        return lib, path, version
    raise LibraryError("libportmdl.so.0 was not found: set PORTMDL_LIBRARY to the file (for "
                       "example BUILD/libportmdl.so.0), build the checkout into build/, or "
                       "install the libportmdl0 package. Tried: " + "; ".join(problems))


_lock = threading.Lock()
_loaded: Optional[Tuple[ctypes.CDLL, str, Tuple[int, int, int]]] = None


def library() -> ctypes.CDLL:
    """The loaded library, loaded on first use. Raises LibraryError."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = _load()
        return _loaded[0]


def library_info() -> Tuple[str, Tuple[int, int, int]]:
    """The loaded library's file and version."""
    library()
    assert _loaded is not None
    return _loaded[1], _loaded[2]
