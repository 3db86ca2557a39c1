"""The port: one open serial cable, phone modem or Bluetooth channel, through libportmdl."""

from __future__ import annotations

import atexit
import ctypes
import errno
import math
import os
import select
import threading
import time
import warnings
import weakref
from dataclasses import dataclass
from typing import Optional, Union

from . import _library
from .errors import ERR_TIMEOUT, PortError, PortInUseError, error_text, last_error
from .errors import TimeoutError as PortTimeoutError

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

# The module has one port state for the whole process. A call and the reading of its failure
# (and the time-out it waits with) are one step under _call_lock; opening and closing change
# which Port is open under _state_lock. Reentrant: a Port collected while a lock is held closes.
_call_lock = threading.RLock()
_state_lock = threading.RLock()
# The port this process has open, weakly: a Port nobody holds is collected and closed.
_open_ref: Optional["weakref.ref[Port]"] = None

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


def _terminator(value: object, name: str) -> bytes:
    if isinstance(value, str):
        raise TypeError(f"{name} must be bytes, not str: encode the text first "
                        f"({value!r}.encode())")
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be bytes, not {type(value).__name__}")
    data = bytes(value)
    if not data:
        raise ValueError(f"{name} must not be empty")
    return data


#: The flow control settings of Port.flow, as PM_SetFlowControl's modes.
FLOW_MODES = {"none": 0, "rts-cts": 1, "xon-xoff": 2}


def current_port() -> Optional["Port"]:
    """The port this process has open, or None."""
    with _state_lock:
        port = _open_ref() if _open_ref is not None else None
        return port if port is not None and not port._closed else None


def _hint(kind: str, target: str) -> str:
    """What pmctl would advise after a failed open; "" when there is nothing to add."""
    lib = _library.library()
    errno_ = int(lib.PM_GetSysErr()) if hasattr(lib, "PM_GetSysErr") else 0
    if kind == "bluetooth":
        return ("list the phone's channels first with bluetooth_channels(address), then open an "
                "index below the count it gives; the phone may also refuse the connection or "
                "want to be paired")
    if kind == "modem":
        plane = os.environ.get("PM_USERCLIENT_DIR", "/run/portmdl/services")
        reasons = {
            errno.EBUSY: "the phone is busy: the modem driver serves another host or another "
                         "program holds the phone",
            errno.ENODEV: "the modem driver has no phone: plug it in or switch it on",
            errno.EACCES: "the modem driver does not serve this user: join its group",
            errno.EPERM: "the module does not trust the driver in that plane",
        }
        return reasons.get(errno_, f"no modem driver answered in {plane} (PM_USERCLIENT_DIR): "
                                   "start portmdl-modemd, or point PM_USERCLIENT_DIR at the plane "
                                   "of the driver to use")
    if kind == "serial" and target:
        if not os.path.exists(target):
            return (f"{target}: no such file: the phone is not connected or has another name now "
                    "(portmdl.devices(), ls /dev/serial/by-id/)")
        if errno_ == errno.EBUSY:
            return f"{target}: busy: another program holds it (fuser -v {target})"
        if errno_ == errno.EACCES:
            return (f"{target}: permission denied: add yourself to the device's group (sudo "
                    "usermod -aG dialout $USER, then log in again)")
    if kind == "serial" and not target:
        return ("portmdl.devices() lists the devices; PM_SERIAL_REGISTRY may name a folder of "
                "links to devices")
    return ""


def _close_left_open() -> None:
    # At interpreter exit, as a file left open: closed, the log saved, with a warning.
    port = current_port()
    if port is not None:
        warnings.warn(f"unclosed {port!r} closed at exit", ResourceWarning, source=port)
        port.close()


atexit.register(_close_left_open)


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
    receive. A Port nobody closed is closed when it is collected, with a ResourceWarning.
    """

    _closed = True  # until opened; also for an object whose __init__ raised

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
        # Bytes taken from the module and not yet handed out: the pieces of a read that did not
        # complete, and what followed a read_until's terminator. Read before the module's.
        self._pending = bytearray()
        self._kind = ("bluetooth" if bluetooth is not None else
                      "modem" if cable == 5 else "serial")
        self._polls = self._kind == "bluetooth"
        self.name = device if device is not None else (
            f"cable type {cable}" if cable is not None else f"Bluetooth channel {bluetooth}")

        global _open_ref
        with _call_lock, _state_lock:
            held = current_port()
            if held is not None or self._lib.PM_GetPortHandle() != -1:
                raise PortInUseError(
                    f"{held.name if held else 'a port'} is open in this process; the "
                    "module drives one port at a time: close it first",
                    operation=f"open {self.name}")
            self._open(device, cable, bluetooth)
            _open_ref = weakref.ref(self)
            self._closed = False
        try:
            status = self.status
            self._lines = {"rts": status.rts, "dtr": status.dtr}
            self._flow = "none"
            if write_ms is not None:
                self._step("set the send time-out", self._lib.PM_SetTxTimeout, write_ms)
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
            operation = f"open {self.name}"
            error = last_error(lib, operation)
            if error.code == 0:
                error = PortError("no device of that cable type was found", code=0,
                                  operation=operation)
            hint = _hint(self._kind, device or "")
            if hint:
                error.text += "; " + hint
            # A failed open can leave the log's communication open: end it, as a close does.
            lib.PM_ClosePort()
            raise error

    # ---- life ----

    def close(self) -> None:
        """Closes the port and saves the log; closing a closed port does nothing. From another
        thread it ends a receive that is waiting at once."""
        global _open_ref
        # Not under the call lock: the module's close ends a waiting receive that holds it.
        with _state_lock:
            if self._closed:
                return
            self._closed = True
            self._pending.clear()
            self._lib.PM_ClosePort()
            _open_ref = None

    def __del__(self) -> None:
        if not self._closed:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, source=self)
            self.close()

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

    def _step(self, operation: str, function, *args) -> int:
        """One library call and the reading of its failure, as one step no other thread's call
        comes between; on this port only, never on one opened after it was closed."""
        with _call_lock:
            self._check_open(operation)
            result = function(*args)
            if not result:
                if self._closed:
                    raise PortError("the port was closed meanwhile", operation=operation)
                raise last_error(self._lib, operation)
            return result

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
        self._step("set the send time-out", self._lib.PM_SetTxTimeout, ms)

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
        self._step(operation, self._lib.PM_TxBytes, len(data), data)
        return len(data)

    def _hung_up(self) -> bool:
        """A serial device that is gone: its tty reports a hang-up or an error."""
        if self._kind != "serial":
            return False
        handle = self._lib.PM_GetPortHandle()
        if handle < 0:
            return False
        poller = select.poll()
        poller.register(handle, select.POLLIN)
        return any(events & (select.POLLHUP | select.POLLERR) for _, events in poller.poll(0))

    def _take(self, most: int, operation: str) -> None:
        """Moves up to most of the bytes waiting in the module to the pending bytes, without
        waiting. Called with the call lock held."""
        waiting = min(int(self._lib.PM_InBufferCount()), most)
        if waiting > 0:
            self._lib.PM_SetRxTimeout(0)
            if not self._receive(waiting):
                raise last_error(self._lib, operation)

    def _receive(self, count: int) -> bool:
        """One PM_RxBytes of count bytes onto the pending bytes; False when it failed (what
        arrived stays in the module). Called with the call lock held."""
        buffer = bytearray(count)
        if not self._lib.PM_RxBytes(count, (ctypes.c_char * count).from_buffer(buffer)):
            return False
        if self._pending:
            self._pending += buffer
        else:
            self._pending = buffer  # not copied: a large read is copied once, as it is handed out
        return True

    def _fill(self, n: int, deadline: float, operation: str) -> bool:
        """Gathers n pending bytes by the deadline (math.inf: no deadline). False on a time-out,
        with what did arrive pending or still in the module. Raises on any other failure, on a
        hang-up, and when the port is closed meanwhile."""
        lib = self._lib
        while len(self._pending) < n:
            need = n - len(self._pending)
            with _call_lock:
                self._check_open(operation)
                if self._polls:
                    # This transport's receive takes only what has arrived, and its store holds
                    # less than a large read: take what is there, piece by piece.
                    if lib.PM_InBufferCount() > 0:
                        self._take(need, operation)
                        continue
                    timed_out = time.monotonic() >= deadline
                    if timed_out:
                        # The module's own failure, so that the error and its line are the ones
                        # the log's summary shows.
                        lib.PM_SetRxTimeout(0)
                        if self._receive(need):
                            continue
                        return False
                else:
                    # In slices, so that a close from another thread ends the wait within one.
                    left_ms = int(max(0, min(_SLICE_MS, (deadline - time.monotonic()) * 1000)))
                    lib.PM_SetRxTimeout(left_ms)
                    if self._receive(min(need, _PIECE)):
                        continue
                    if self._closed:
                        raise PortError("the port was closed meanwhile", operation=operation)
                    if lib.PM_GetCommErr() != ERR_TIMEOUT:
                        raise last_error(lib, operation)
                    if self._hung_up():
                        raise PortError("the device hung up: the phone was unplugged or its "
                                        "far end is gone", errno=errno.EIO, operation=operation)
                    if time.monotonic() >= deadline:
                        return False
            if self._closed:
                raise PortError("the port was closed meanwhile", operation=operation)
            if self._polls:
                time.sleep(_POLL_S)
        return True

    def _deadline(self, ms: int) -> float:
        return time.monotonic() + ms / 1000

    def _hand_out(self, n: int) -> bytes:
        if n >= len(self._pending):
            out = bytes(self._pending)  # all of it: one copy, not a slice and its copy
            self._pending = bytearray()
            return out
        out = bytes(self._pending[:n])
        del self._pending[:n]
        return out

    def _log_time_out(self, ms: int, obtained: int) -> None:
        # The module's own record of a receive that timed out, as any host writes it.
        with _call_lock:
            if not self._closed:
                self._lib.PM_Log_TimeOutInBuf(ms, obtained)

    def read_exact(self, n: int, timeout: Optional[float] = None) -> bytes:
        """Returns exactly n bytes, or raises TimeoutError when they did not all arrive in time
        (the bytes that did arrive stay for the next read)."""
        _count(n, "n")
        operation = f"read {n} bytes"
        self._check_open(operation)
        ms = self._timeout_of(timeout)
        if not self._fill(n, self._deadline(ms), operation):
            error = last_error(self._lib, operation)
            if error.code != ERR_TIMEOUT:
                error = PortTimeoutError(error_text(self._lib, ERR_TIMEOUT), code=ERR_TIMEOUT,
                                         operation=operation)
            self._log_time_out(ms, 0)
            raise error
        return self._hand_out(n)

    def _read(self, n: int, ms: int, deadline: float, operation: str) -> bytes:
        if not self._fill(n, deadline, operation):
            with _call_lock:
                self._check_open(operation)
                self._take(n - len(self._pending), operation)
            if ms > 0 and len(self._pending) < n:
                self._log_time_out(ms, len(self._pending))
        return self._hand_out(n)

    def read(self, n: int = 1, timeout: Optional[float] = None) -> bytes:
        """Returns n bytes, or fewer: what arrived by the time-out (possibly nothing)."""
        _count(n, "n")
        operation = f"read {n} bytes"
        self._check_open(operation)
        ms = self._timeout_of(timeout)
        return self._read(n, ms, self._deadline(ms), operation)

    def read_until(self, terminator: BytesLike = b"\n", size: Optional[int] = None,
                   timeout: Optional[float] = None) -> bytes:
        """Returns the bytes up to and including terminator, or size bytes, whichever comes
        first; on the time-out, what arrived by then. Bytes after the terminator stay waiting."""
        terminator = _terminator(terminator, "terminator")
        if size is not None:
            _count(size, "size")
        operation = f"read until {terminator!r}"
        self._check_open(operation)
        ms = self._timeout_of(timeout)
        return self._read_until(terminator, size, ms, self._deadline(ms), operation)

    def _read_until(self, terminator: bytes, size: Optional[int], ms: int, deadline: float,
                    operation: str) -> bytes:
        searched = 0
        while True:
            found = self._pending.find(terminator, searched)
            if found >= 0 and (size is None or found + len(terminator) <= size):
                return self._hand_out(found + len(terminator))
            if size is not None and len(self._pending) >= size:
                return self._hand_out(size)
            searched = max(0, len(self._pending) - len(terminator) + 1)
            most = _PIECE if size is None else size - len(self._pending)
            if not self._fill(len(self._pending) + 1, deadline, operation):
                if ms > 0:
                    self._log_time_out(ms, len(self._pending))
                return self._hand_out(len(self._pending))
            # Then whatever else is there, so that a line is not taken byte by byte.
            with _call_lock:
                self._check_open(operation)
                self._take(most - 1, operation)

    @property
    def in_waiting(self) -> int:
        """The number of received bytes waiting to be read."""
        with _call_lock:
            self._check_open("count the bytes waiting")
            return len(self._pending) + int(self._lib.PM_InBufferCount())

    def reset_input_buffer(self) -> None:
        """Drops the bytes waiting."""
        with _call_lock:
            self._check_open("drop the bytes waiting")
            self._pending.clear()
            # Its result says nothing: it fails only without a port, which was checked.
            self._lib.PM_ClearBuffer()

    # ---- line ----

    @property
    def speed(self) -> int:
        """The line speed in bit/s; set it by code 1..9 or by bit/s: a rate of SPEEDS works on
        every port, any other rate a serial device can run at through PM_SetBitRate (the modem
        port refuses it)."""
        with _call_lock:
            self._check_open("get the speed")
            return int(self._lib.PM_GetBPS())

    @speed.setter
    def speed(self, speed: int) -> None:
        setting = _speed_setting(speed)
        operation = f"set the speed to {speed}"
        if setting > 0:
            self._step(operation, self._lib.PM_SetBPS, setting)
        else:
            self._step(operation, _library.needed(self._lib, "PM_SetBitRate", operation),
                       -setting)

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
        self._step(operation, _library.needed(self._lib, "PM_SetFlowControl", operation),
                   FLOW_MODES[flow])
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
        self._step(operation, up if raised else down)
        self._lines[line] = raised

    @property
    def status(self) -> PortStatus:
        """The line settings the module reports."""
        record = _library.PortStatusStruct()
        self._step("get the port status", self._lib.PM_GetPortStatus, ctypes.byref(record))
        return PortStatus(record.nSpeedCode, record.nStopBits, record.nParity, record.nDataBits,
                          record.nRTS == 1, record.nDTR == 1, record.nOption1, record.nOption2)
