"""Simulated phones for tests of programs that use portmdl.

Each helper is a context manager that starts one of the project's simulators and stops it on
leaving; the pytest plugin (portmdl.pytest_plugin, registered on install) offers them as the
fixtures ``sim_cable``, ``sim_modem`` and ``bluetooth_world``::

    from portmdl.testing import sim_cable

    with sim_cable(replies={b"AT\\r": b"\\r\\nOK\\r\\n"}) as cable:
        with portmdl.Port(cable.path) as port:
            port.write(b"AT\\r")
            assert port.read_exact(6, timeout=2) == b"\\r\\nOK\\r\\n"
"""

from __future__ import annotations

import contextlib
import json
import os
import signal
import subprocess
import tempfile
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Mapping, Optional

from ._tools import find_program

# How long a simulator may take to start or to stop, in seconds.
_START_S = 10.0


@dataclass(frozen=True)
class SimCable:
    """A running pmsim-cable. path: its pseudo-terminal; link: the same device in the registry
    folder that PM_SERIAL_REGISTRY points at while it runs (so devices() lists it and cable types
    find it)."""
    path: str
    link: str
    registry: str
    pid: int


@dataclass(frozen=True)
class SimModem:
    """A running pmsim-modem: cable type 5 reaches it while PM_USERCLIENT_DIR is plane."""
    socket: str
    plane: str
    pid: int


@contextlib.contextmanager
def _environment(name: str, value: str) -> Iterator[None]:
    old = os.environ.get(name)
    os.environ[name] = value
    try:
        yield
    finally:
        if old is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = old


@contextlib.contextmanager
def _simulator(argv: List[str]) -> Iterator[subprocess.Popen]:
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        yield process
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        try:
            process.wait(_START_S)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        for stream in (process.stdout, process.stderr):
            if stream is not None:
                stream.close()


def _first_line(process: subprocess.Popen, name: str) -> str:
    assert process.stdout is not None and process.stderr is not None
    line = process.stdout.readline().decode().strip()
    if not line:
        process.wait(_START_S)
        raise RuntimeError(f"{name} did not start: "
                           + process.stderr.read().decode("utf-8", "replace").strip())
    return line


def _escaped(data: bytes) -> str:
    """data in the escapes the simulators take: every byte outside printable ASCII, and the
    backslash, as \\xNN, so that each reaches the phone as it is."""
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError(f"simulator texts are bytes, not {type(data).__name__}")
    return "".join(chr(b) if 0x20 <= b < 0x7F and b != 0x5C else f"\\x{b:02x}" for b in data)


def _cable_pairs(replies: Optional[Mapping[bytes, bytes]]) -> List[str]:
    argv = []
    for request, reply in (replies or {}).items():
        if not request:
            raise ValueError("a simulator request must not be empty")
        # The first '=' separates request and reply, so a request holds none unescaped.
        argv += ["--reply", _escaped(request).replace("=", "\\x3d") + "=" + _escaped(reply)]
    return argv


@contextlib.contextmanager
def sim_cable(replies: Optional[Mapping[bytes, bytes]] = None, *, echo: bool = False,
              identification: Optional[bytes] = None, guard_ms: Optional[int] = None,
              name: str = "usbmodem1") -> Iterator[SimCable]:
    """A phone's data cable on a pseudo-terminal (pmsim-cable): each request in replies is
    answered with its reply, or every byte comes back with echo; "+++" enters its command mode
    (AT, AT!CCHK answered with identification, AT!CON, AT!COFF). The cable is also the device
    name in a registry folder that PM_SERIAL_REGISTRY names while the context lasts."""
    argv = [find_program("pmsim-cable")] + _cable_pairs(replies)
    if echo:
        argv.append("--echo")
    if identification is not None:
        argv += ["--id", _escaped(identification)]
    if guard_ms is not None:
        argv += ["--guard", str(int(guard_ms))]
    with tempfile.TemporaryDirectory(prefix="portmdl-cable-") as registry:
        link = os.path.join(registry, name)
        with _simulator(argv + ["--link", link]) as process:
            path = _first_line(process, "pmsim-cable")
            with _environment("PM_SERIAL_REGISTRY", registry):
                yield SimCable(path, link, registry, process.pid)


@contextlib.contextmanager
def sim_modem(replies: Optional[Mapping[bytes, bytes]] = None, *, echo: bool = False,
              identification: Optional[bytes] = None,
              options: Optional[List[str]] = None) -> Iterator[SimModem]:
    """A phone modem's USB driver (pmsim-modem) in a temporary service plane, which
    PM_USERCLIENT_DIR names while the context lasts: open it with Port(cable=5). options: more of
    pmsim-modem's options, such as its faults (["--delay", "4=200"])."""
    argv = [find_program("pmsim-modem")] + _cable_pairs(replies)
    if echo:
        argv.append("--echo")
    if identification is not None:
        argv += ["--id", _escaped(identification)]
    argv += list(options or [])
    with tempfile.TemporaryDirectory(prefix="portmdl-plane-") as plane:
        with _simulator(argv + ["--dir", plane]) as process:
            socket = _first_line(process, "pmsim-modem")
            with _environment("PM_USERCLIENT_DIR", plane):
                yield SimModem(socket, plane, process.pid)


# The library reads its Bluetooth world once per process, when Bluetooth is first used.
_world: Optional[Dict[str, Any]] = None
_world_file: Optional[str] = None


@contextlib.contextmanager
def bluetooth_world(world: Mapping[str, Any]) -> Iterator[str]:
    """A simulated Bluetooth world (the format of docs/bluetooth.md, as a dict) that
    bluetooth_channels() and Port(bluetooth=...) meet instead of BlueZ; yields the world file.

    The library reads the world once per process, when Bluetooth is first used: every
    bluetooth_world of a process must describe the same world (a different one raises
    RuntimeError), and it must come before the process first touches Bluetooth."""
    global _world, _world_file
    wanted = json.loads(json.dumps(world))  # a plain copy; raises TypeError on what JSON lacks
    if _world is not None and wanted != _world:
        raise RuntimeError("the library reads its Bluetooth world once per process and has "
                           "another one: run tests of other worlds in another process")
    if _world_file is None:
        handle, _world_file = tempfile.mkstemp(prefix="portmdl-world-", suffix=".json")
        with os.fdopen(handle, "w") as out:
            json.dump(wanted, out)
        _world = wanted
    with _environment("PM_BLUETOOTH_SIM", _world_file):
        yield _world_file


__all__ = ["SimCable", "SimModem", "bluetooth_world", "sim_cable", "sim_modem"]
