"""The port: one open serial cable, phone modem or Bluetooth channel, through libportmdl."""

from __future__ import annotations

import ctypes
import math
import os
import threading
import time
from dataclasses import dataclass
from typing import Optional, Union

from . import _library
from .errors import ERR_TIMEOUT, PortError, PortInUseError, last_error

#: The bit rates of speed codes 1..9.
SPEEDS = (600, 2400, 9600, 14400, 19200, 38400, 57600, 115200, 230400)
# The longest time-out the library takes, in milliseconds.
_MAX_MS = 0xFFFFFFFF
# The module keeps up to 1 MiB waiting; a longer read is taken in pieces of this size.
_PIECE = 1 << 20
_INT32_MAX = 0x7FFFFFFF
#: The cable types PM_OpenPort finds a device for (it answers others with an assertion message).
CABLE_TYPES = (3, 4, 5, 8, 1002, 1003, 1004)
#: A receive waits in slices of this many milliseconds, so that close() ends it within one.
_SLICE_MS = 100
# How often a receive on a transport whose own receive does not wait looks for bytes.
_POLL_S = 0.002
# PM_GetOpenMode of a Bluetooth channel: its receive takes only what has already arrived.
_OPEN_MODE_BLUETOOTH = 3

# The port this process has open: the module has one port state for the whole process.
_open_lock = threading.Lock()
_open_port: Optional["Port"] = None

BytesLike = Union[bytes, bytearray, memoryview]


@dataclass(frozen=True)
class PortStatus:
    """The port's line settings as the module reports them (PM_GetPortStatus)."""
    speed_code: int
    stop_bits: int
    parity: int
    data_bits: int
    rts: bool
    dtr: bool
    option1: int
    option2: int

    @property
    def speed(self) -> int:
        """The bit rate of speed_code (0 for a code outside 1..9)."""
        return SPEEDS[self.speed_code - 1] if 1 <= self.speed_code <= 9 else 0


def _milliseconds(seconds: float, what: str) -> int:
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(f"{what} must be a number of seconds, not {type(seconds).__name__}")
    if math.isnan(seconds) or seconds < 0 or seconds * 1000 > _MAX_MS:
        raise ValueError(f"{what} must be from 0 to {_MAX_MS // 1000} seconds, not {seconds!r}")
    return int(round(seconds * 1000))


def _count(n: int, what: str) -> int:
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"{what} must be an int, not {type(n).__name__}")
    if n < 0:
        raise ValueError(f"{what} must not be negative, not {n}")
    return n


def speed_code(speed: int) -> int:
    """The speed code (1..9) of a bit rate from SPEEDS, or of a code itself."""
    if isinstance(speed, bool) or not isinstance(speed, int):
        raise TypeError(f"speed must be an int (bit/s or code 1..9), not {type(speed).__name__}")
    if 1 <= speed <= 9:
        return speed
    if speed in SPEEDS:
        return SPEEDS.index(speed) + 1
    raise ValueError(f"speed {speed} is neither a code 1..9 nor one of {SPEEDS} bit/s")


def _speed_setting(speed: int) -> int:
    """A speed code (1..9) for a code or a rate from SPEEDS; any other rate as -rate."""
    try:
        return speed_code(speed)
    except ValueError:
        if not 0 < speed <= _INT32_MAX:
            raise ValueError(f"speed must be a code 1..9 or a rate of 1 to {_INT32_MAX} bit/s, "
                             f"not {speed}") from None
        return -speed


#: The flow control settings of Port.flow, as PM_SetFlowControl's modes.
FLOW_MODES = {"none": 0, "rts-cts": 1, "xon-xoff": 2}


def current_port() -> Optional["Port"]:
    """The port this process has open, or None."""
    return _open_port


class Port:
    """One open port to a phone; a context manager that closes it.

    Open it by exactly one of: ``device`` (a serial device path such as /dev/ttyACM0, any cable
    type), ``cable`` (a cable type: 3, 4, 5, 8, 1002, 1003, 1004 pick the device themselves; 5 is
    the phone modem) or ``bluetooth`` (an index of the channels bluetooth_channels() found).

    ``timeout`` is the default receive time-out in seconds. The reader thread starts about 0.5 s
    after a serial or modem port opens, so the first receive should allow more than that.
    ``write_timeout`` is the send time-out in seconds (the library's own when None). ``speed``
    sets the line speed (code 1..9, or bit/s: any rate a serial device can run at) after opening.

    The module drives one port per process: opening a second Port while one is open raises
    PortInUseError. Any thread may use the port; close() from another thread ends a waiting
    receive.
    """

    def __init__(self, device: Optional[Union[str, "os.PathLike[str]"]] = None, *,
                 cable: Optional[int] = None, bluetooth: Optional[int] = None, timeout: float = 1.0,
                 write_timeout: Optional[float] = None, speed: Optional[int] = None) -> None:
        given = [name for name, value in (("device", device), ("cable", cable),
                                          ("bluetooth", bluetooth)) if value is not None]
        if len(given) != 1:
            raise TypeError("Port() takes exactly one of device, cable or bluetooth"
                            + (f", not {' and '.join(given)}" if given else ""))
        self._timeout_ms = _milliseconds(timeout, "timeout")
        write_ms = None if write_timeout is None else _milliseconds(write_timeout,
                                                                     "write_timeout")
        code = None if speed is None else _speed_setting(speed)
        if isinstance(device, os.PathLike):
            device = os.fspath(device)
        if device is not None and not isinstance(device, str):
            raise TypeError(f"device must be a path (str), not {type(device).__name__}")
        for name, value in (("cable", cable), ("bluetooth", bluetooth)):
            if value is not None:
                _count(value, name)
                if value > _INT32_MAX:
                    raise ValueError(f"{name} {value} is out of range")
        if cable is not None and cable not in CABLE_TYPES:
            raise ValueError(f"cable type {cable} is not one Port(cable=...) opens: "
                             f"{CABLE_TYPES}")
        if device is not None and "\0" in device:
            raise ValueError("device must not contain a NUL character")
        self._lib = _library.library()
        self._closed = True
        self._rx_ms = -1  # the receive time-out last given to the library
        self._polls = False
        self.name = device if device is not None else (
            f"cable type {cable}" if cable is not None else f"Bluetooth channel {bluetooth}")

        global _open_port
        with _open_lock:
            if _open_port is not None or self._lib.PM_GetPortHandle() != -1:
                raise PortInUseError(
                    f"{_open_port.name if _open_port else 'a port'} is open in this process; the "
                    "module drives one port at a time: close it first",
                    operation=f"open {self.name}")
            self._open(device, cable, bluetooth)
            self._polls = self._lib.PM_GetOpenMode() == _OPEN_MODE_BLUETOOTH
            _open_port = self
            self._closed = False
        try:
            status = self.status
            self._lines = {"rts": status.rts, "dtr": status.dtr}
            self._flow = "none"
            if write_ms is not None:
                self._check(self._lib.PM_SetTxTimeout(write_ms), "set the send time-out")
            if code is not None:
                self.speed = code if code > 0 else -code
        except BaseException:
            self.close()
            raise

    def _open(self, device: Optional[str], cable: Optional[int], bluetooth: Optional[int]) -> None:
        lib = self._lib
        if device is not None:
            ok = lib.PM_OpenPortByDeviceName(os.fsencode(device))
        elif cable is not None:
            env = (ctypes.c_int32 * 2)(cable, 0)
            lib.PM_SetInfo(env)
            ok = lib.PM_OpenPort(0)
        else:
            ok = lib.PM_OpenBluetoothChannel(bluetooth)
        if not ok:
            error = last_error(lib, f"open {self.name}")
            if error.code == 0:
                error = PortError("no device of that cable type was found", code=0,
                                  operation=f"open {self.name}")
            # A failed open can leave the log's communication open: end it, as a close does.
            lib.PM_ClosePort()
            raise error

    # ---- life ----

    def close(self) -> None:
        """Closes the port and saves the log; closing a closed port does nothing."""
        global _open_port
        with _open_lock:
            if self._closed:
                return
            self._closed = True
            _open_port = None
            self._lib.PM_ClosePort()

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "Port":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<portmdl.Port {self.name}{' closed' if self._closed else ''}>"

    def _check_open(self, operation: str) -> None:
        if self._closed:
            raise PortError("the port is closed", operation=operation)

    def _check(self, result: int, operation: str) -> None:
        if not result:
            raise last_error(self._lib, operation)

    # ---- time-outs ----

    @property
    def timeout(self) -> float:
        """The default receive time-out in seconds."""
        return self._timeout_ms / 1000

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        self._timeout_ms = _milliseconds(seconds, "timeout")

    @property
    def write_timeout(self) -> float:
        """The send time-out in seconds."""
        self._check_open("get the send time-out")
        return self._lib.PM_GetTxTimeout() / 1000

    @write_timeout.setter
    def write_timeout(self, seconds: float) -> None:
        ms = _milliseconds(seconds, "write_timeout")
        self._check_open("set the send time-out")
        self._check(self._lib.PM_SetTxTimeout(ms), "set the send time-out")

    def _receive_within(self, ms: int, operation: str) -> None:
        # Told again only when it changes: a receive loop costs one library call per piece.
        if ms != self._rx_ms:
            self._check(self._lib.PM_SetRxTimeout(ms), operation)
            self._rx_ms = ms

    def _timeout_of(self, timeout: Optional[float]) -> int:
        return self._timeout_ms if timeout is None else _milliseconds(timeout, "timeout")

    # ---- data ----

    def write(self, data: BytesLike) -> int:
        """Sends all of data and returns its length. Raises TimeoutError when the send was cut
        short."""
        if isinstance(data, str):
            raise TypeError("write() takes bytes, not str: encode the text first")
        if not isinstance(data, bytes):
            try:
                data = bytes(memoryview(data))
            except TypeError:
                raise TypeError(f"write() takes bytes, not {type(data).__name__}") from None
        operation = f"write {len(data)} bytes"
        self._check_open(operation)
        if len(data) > _INT32_MAX:
            raise ValueError(f"{operation}: at most {_INT32_MAX} bytes at a time")
        self._check(self._lib.PM_TxBytes(len(data), data), operation)
        return len(data)

    def _receive(self, buffer: ctypes.Array, want: int, deadline: float, operation: str) -> bool:
        """Takes want bytes into buffer by the deadline: True, or False on a time-out (with none
        taken). Raises on any other failure, and when the port is closed meanwhile."""
        if self._polls:
            # This transport's receive takes only what has arrived: wait for it here.
            while (self._lib.PM_InBufferCount() < want and time.monotonic() < deadline
                   and not self._closed):
                time.sleep(_POLL_S)
        while True:
            # In slices, so that a close from another thread ends the wait within one.
            left_ms = max(0, int((deadline - time.monotonic()) * 1000))
            self._receive_within(min(left_ms, _SLICE_MS), operation)
            if self._lib.PM_RxBytes(want, buffer):
                return True
            if self._closed:
                raise PortError("the port was closed meanwhile", operation=operation)
            if self._lib.PM_GetCommErr() != ERR_TIMEOUT:
                raise last_error(self._lib, operation)
            if left_ms <= _SLICE_MS:
                return False

    def _deadline(self, timeout: Optional[float]) -> float:
        return time.monotonic() + self._timeout_of(timeout) / 1000

    def read_exact(self, n: int, timeout: Optional[float] = None) -> bytes:
        """Returns exactly n bytes, or raises TimeoutError when they did not all arrive in time
        (the bytes that did arrive stay for the next read)."""
        _count(n, "n")
        operation = f"read {n} bytes"
        self._check_open(operation)
        if n > _PIECE:
            raise ValueError(f"{operation}: at most {_PIECE} bytes can wait at once")
        buffer = ctypes.create_string_buffer(n)
        if not self._receive(buffer, n, self._deadline(timeout), operation):
            raise last_error(self._lib, operation)
        return buffer.raw

    def read(self, n: int = 1, timeout: Optional[float] = None) -> bytes:
        """Returns n bytes, or fewer: what arrived by the time-out (possibly nothing)."""
        _count(n, "n")
        operation = f"read {n} bytes"
        self._check_open(operation)
        deadline = self._deadline(timeout)
        out = bytearray()
        while len(out) < n:
            want = min(n - len(out), _PIECE)
            buffer = ctypes.create_string_buffer(want)
            if not self._receive(buffer, want, deadline, operation):
                out += self._take_waiting(want, operation)
                break
            out += buffer.raw
        return bytes(out)

    def _take_waiting(self, most: int, operation: str) -> bytes:
        """Up to most of the bytes already waiting, without waiting."""
        waiting = min(self._lib.PM_InBufferCount(), most)
        if waiting <= 0:
            return b""
        buffer = ctypes.create_string_buffer(waiting)
        self._receive_within(0, operation)
        self._check(self._lib.PM_RxBytes(waiting, buffer), operation)
        return buffer.raw

    def read_until(self, terminator: BytesLike = b"\n", size: Optional[int] = None,
                   timeout: Optional[float] = None) -> bytes:
        """Returns the bytes up to and including terminator, or size bytes, whichever comes
        first; on the time-out, what arrived by then. Bytes after the terminator stay waiting."""
        terminator = bytes(terminator)
        if not terminator:
            raise ValueError("the terminator must not be empty")
        if size is not None:
            _count(size, "size")
        operation = f"read until {terminator!r}"
        self._check_open(operation)
        deadline = self._deadline(timeout)
        out = bytearray()
        byte = ctypes.create_string_buffer(1)
        # One byte at a time, so that nothing after the terminator is taken.
        while (size is None or len(out) < size) and self._receive(byte, 1, deadline, operation):
            out += byte.raw
            if out.endswith(terminator):
                break
        return bytes(out)

    @property
    def in_waiting(self) -> int:
        """The number of received bytes waiting to be read."""
        self._check_open("count the bytes waiting")
        return int(self._lib.PM_InBufferCount())

    def reset_input_buffer(self) -> None:
        """Drops the bytes waiting."""
        self._check_open("drop the bytes waiting")
        # Its result says nothing: it fails only without a port, which was checked.
        self._lib.PM_ClearBuffer()

    # ---- line ----

    @property
    def speed(self) -> int:
        """The line speed in bit/s; set it by code 1..9 or by bit/s: a rate of SPEEDS works on
        every port, any other rate a serial device can run at through PM_SetBitRate (the modem
        port refuses it)."""
        self._check_open("get the speed")
        return int(self._lib.PM_GetBPS())

    @speed.setter
    def speed(self, speed: int) -> None:
        setting = _speed_setting(speed)
        operation = f"set the speed to {speed}"
        self._check_open(operation)
        if setting > 0:
            self._check(self._lib.PM_SetBPS(setting), operation)
        else:
            self._check(_library.needed(self._lib, "PM_SetBitRate", operation)(-setting),
                        operation)

    @property
    def flow(self) -> str:
        """Flow control: "none", "rts-cts" or "xon-xoff" (PM_SetFlowControl; the last set). The
        line's driver does it on a serial port; the modem and Bluetooth take "none" alone."""
        self._check_open("get the flow control")
        return self._flow

    @flow.setter
    def flow(self, flow: str) -> None:
        if flow not in FLOW_MODES:
            raise ValueError(f"flow must be one of {', '.join(FLOW_MODES)}, not {flow!r}")
        operation = f"set flow control {flow}"
        self._check_open(operation)
        self._check(_library.needed(self._lib, "PM_SetFlowControl", operation)(FLOW_MODES[flow]),
                    operation)
        self._flow = flow

    # As in pyserial, rts and dtr read back the last level set: the module's status record keeps
    # what PM_SetPortStatus was given, not what PM_SetRTS and the others did since.
    @property
    def rts(self) -> bool:
        """RTS: True raised, False lowered (the last level set; at first the status record's)."""
        self._check_open("get RTS")
        return self._lines["rts"]

    @rts.setter
    def rts(self, raised: bool) -> None:
        self._set_line("rts", raised, self._lib.PM_SetRTS, self._lib.PM_ClearRTS)

    @property
    def dtr(self) -> bool:
        """DTR: True raised, False lowered (the last level set; at first the status record's)."""
        self._check_open("get DTR")
        return self._lines["dtr"]

    @dtr.setter
    def dtr(self, raised: bool) -> None:
        self._set_line("dtr", raised, self._lib.PM_SetDTR, self._lib.PM_ClearDTR)

    def _set_line(self, line: str, raised: bool, up, down) -> None:
        if not isinstance(raised, bool):
            raise TypeError(f"{line} takes True or False, not {type(raised).__name__}")
        operation = f"{'raise' if raised else 'lower'} {line.upper()}"
        self._check_open(operation)
        self._check((up if raised else down)(), operation)
        self._lines[line] = raised

    @property
    def status(self) -> PortStatus:
        """The line settings the module reports."""
        self._check_open("get the port status")
        record = _library.PortStatusStruct()
        self._check(self._lib.PM_GetPortStatus(ctypes.byref(record)), "get the port status")
        return PortStatus(record.nSpeedCode, record.nStopBits, record.nParity, record.nDataBits,
                          record.nRTS == 1, record.nDTR == 1, record.nOption1, record.nOption2)
