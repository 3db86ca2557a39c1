"""The module-wide functions: devices, cable identification, charging, Bluetooth, the log."""

from __future__ import annotations

import ctypes
import errno
import json
import os
import subprocess
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Union

from . import _library, _port
from ._tools import find_program
from .errors import PortError, last_error

PathLike = Union[str, "os.PathLike[str]"]


class CableInfo(NamedTuple):
    """The three identification numbers a cable reports (PM_IsChargableCable)."""
    first: int
    second: int
    third: int


class BluetoothChannels(NamedTuple):
    """The phone bluetooth_channels() chose and how many usable channels it has: open one with
    Port(bluetooth=index), index 0 to count - 1."""
    address: str
    count: int


def devices() -> List[str]:
    """The system's serial devices (their callout paths), as the module lists them."""
    lib = _library.library()
    count = lib.PM_CountDevices()
    names = []
    buffer = ctypes.create_string_buffer(256)
    for index in range(count):
        if lib.PM_GetDeviceName(index, buffer, len(buffer)):
            names.append(os.fsdecode(buffer.value))
    return names


def _open_port(operation: str) -> "_port.Port":
    port = _port.current_port()
    if port is None:
        raise PortError("no port is open: open a Port first", operation=operation)
    return port


def cable_info() -> CableInfo:
    """Asks the open serial cable for its identification (an AT dialogue of about 4 s)."""
    port = _open_port("ask the cable for its identification")
    info = (ctypes.c_uint16 * 3)()
    port._step("ask the cable for its identification", _library.library().PM_IsChargableCable,
               info)
    return CableInfo(info[0], info[1], info[2])


def charge(on: bool) -> None:
    """Switches the phone's charging on or off through the open cable (about 6 s)."""
    if not isinstance(on, bool):
        raise TypeError(f"charge() takes True or False, not {type(on).__name__}")
    operation = f"switch charging {'on' if on else 'off'}"
    lib = _library.library()
    _open_port(operation)._step(operation, lib.PM_ChargeEnable if on else lib.PM_ChargeDisable)


def _address_bytes(address: str) -> bytes:
    parts = address.split(":")
    try:
        if len(parts) != 6 or any(len(p) != 2 for p in parts):
            raise ValueError
        return bytes(int(p, 16) for p in parts)
    except ValueError:
        raise ValueError(f"{address!r} is no Bluetooth address (AA:BB:CC:DD:EE:FF)") from None


def bluetooth_channels(address: Optional[str] = None) -> BluetoothChannels:
    """Finds the usable RFCOMM channels of the phone at address, or of the phone the user picks
    when address is None. Raises PortError when no phone was chosen or it has no usable channel,
    and TimeoutError when the library's PM_ClosePort on another thread ended the listing.
    """
    if address is not None and not isinstance(address, str):
        raise TypeError(f"address must be a str, not {type(address).__name__}")
    raw = (ctypes.c_uint8 * 6)(*(_address_bytes(address) if address else bytes(6)))
    lib = _library.library()
    count = lib.PM_CountBluetoothChannels(raw, _library.PROGRESS())
    chosen = ":".join(f"{b:02X}" for b in raw)
    if count < 1:
        raise last_error(lib, f"list the Bluetooth channels of {address or 'the chosen phone'}")
    return BluetoothChannels(chosen, count)


def log(folder: PathLike, phone_id: str) -> None:
    """Logs the communications of the following opens into folder (PM_LOG.dat there), naming the
    phone phone_id. Read the log with read_log(folder). The folder must exist and be writable."""
    path = os.fspath(folder)
    if not isinstance(path, str) or not isinstance(phone_id, str):
        raise TypeError("log() takes a folder path and a phone id, both str")
    if "\0" in path or "\0" in phone_id:
        raise ValueError("log(): NUL in the folder or the phone id")
    # The module would take any name and then log nothing; say so now, as pmctl does.
    if not os.path.isdir(path):
        raise NotADirectoryError(f"log(): {path!r} is not a folder")
    if not os.access(path, os.W_OK | os.X_OK):
        raise PermissionError(f"log(): the folder {path!r} is not writable")
    if not path.endswith("/"):
        path += "/"
    if _library.library().PM_Log_SetUserInfo(os.fsencode(path), phone_id.encode()) != 0:
        raise ValueError(f"log(): the folder name {path!r} is too long")


def read_log(path: PathLike) -> Iterator[Dict[str, Any]]:
    """The events of a communication log (a log folder or one file) as dicts, as
    `pmctl log --json` prints them: first {"event": "log", ...}, last {"event": "summary", ...}.
    Raises FileNotFoundError for a path that does not exist or without pmctl, ValueError when
    the log cannot be read."""
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, "no such log folder or file", os.fspath(path))
    pmctl = find_program("pmctl")
    with subprocess.Popen([pmctl, "log", "--json", "--", os.fspath(path)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        assert process.stdout is not None and process.stderr is not None
        try:
            for line in process.stdout:
                yield json.loads(line)
        finally:
            if process.poll() is None:
                process.kill()
            problem = process.stderr.read().decode("utf-8", "replace").strip()
            status = process.wait()
        if status != 0:
            raise ValueError(problem or f"pmctl log failed with status {status}")
