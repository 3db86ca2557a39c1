"""Serial: the surface pyserial's users know, over the module's one port."""

from __future__ import annotations

import fcntl
import math
import os
import struct
import termios
import time
from typing import Iterator, List, Optional

from . import _functions, _port
from .errors import PortError, SerialException

PARITY_NONE, PARITY_EVEN, PARITY_ODD, PARITY_MARK, PARITY_SPACE = "N", "E", "O", "M", "S"
STOPBITS_ONE, STOPBITS_ONE_POINT_FIVE, STOPBITS_TWO = 1, 1.5, 2
FIVEBITS, SIXBITS, SEVENBITS, EIGHTBITS = 5, 6, 7, 8

# The line framing the module opens every serial line with, which it has no call to change:
# 8 data bits, one stop bit, even parity for cable types 3, 4 and 8, none otherwise.
_EVEN_PARITY_CABLES = (3, 4, 8)


def _refused(what: str) -> SerialException:
    return PortError(what, operation="configure the port")


class Serial:
    """A port as pyserial's Serial: ``Serial(port, baudrate, ..., timeout)`` opens at once when
    port is given, ``Serial()`` then ``open()`` later. port: a device path, a bare device name
    ("usbmodem1", as devices() lists it), "cable:TYPE", "bluetooth:INDEX" (after
    bluetooth_channels()) or "bluetooth:ADDRESS:INDEX" (listing that phone first)."""

    def __init__(self, port: Optional[str] = None, baudrate: int = 9600,
                 bytesize: int = EIGHTBITS, parity: str = PARITY_NONE,
                 stopbits: float = STOPBITS_ONE, timeout: Optional[float] = None,
                 xonxoff: bool = False, rtscts: bool = False,
                 write_timeout: Optional[float] = None, dsrdtr: bool = False,
                 inter_byte_timeout: Optional[float] = None,
                 exclusive: Optional[bool] = None) -> None:
        self._port: Optional[_port.Port] = None
        self._name: Optional[str] = None
        self._cable: Optional[int] = None
        self._lines = {}
        self._break = False
        self.port = port
        self.baudrate = baudrate
        self.bytesize = bytesize
        self.parity = parity
        self.stopbits = stopbits
        self.timeout = timeout
        self.write_timeout = write_timeout
        self.xonxoff = xonxoff
        self.rtscts = rtscts
        if dsrdtr:
            raise ValueError("dsrdtr: the module has no DSR/DTR flow control")
        if inter_byte_timeout is not None:
            raise ValueError("inter_byte_timeout: the module has no inter-byte time-out")
        if exclusive is False:
            raise ValueError("exclusive=False: the module always opens a port for exclusive use")
        if port is not None:
            self.open()

    # ---- opening ----

    def open(self) -> None:
        if self._port is not None:
            raise SerialException("Port is already open.")
        if self._name is None:
            raise SerialException("Port must be configured before it can be used.")
        kind, value = self._target(self._name)
        if kind == "bluetooth" and isinstance(value, tuple):
            address, value = value
            wanted = ":".join(f"{b:02X}" for b in _functions._address_bytes(address))
            # The module lists the phone the selector picks when the stack does not know the
            # address: as pmctl, never talk to a phone other than the one named.
            chosen = _functions.bluetooth_channels(address).address
            if chosen != wanted:
                raise PortError(f"the Bluetooth stack does not know the phone {wanted} (the "
                                f"device selector picked {chosen}): pair it or check the address",
                                operation=f"open {self._name}")
        self._port = _port.Port(**{kind: value}, timeout=0)
        try:
            self._apply_all()
        except BaseException:
            self.close()
            raise

    def _target(self, name: str):
        if name.startswith("cable:"):
            self._cable = _number(name[6:], name)
            return "cable", self._cable
        if name.startswith("bluetooth:"):
            rest = name[len("bluetooth:"):]
            address, _, index = rest.rpartition(":")
            return "bluetooth", (address, _number(index, name)) if address else _number(index,
                                                                                      name)
        self._cable = None
        if "/" in name:
            return "device", name
        for path in _functions.devices():
            if os.path.basename(path) == name:
                return "device", path
        raise PortError(f"no listed serial device is named {name!r}: portmdl.devices() lists "
                        f"{_functions.devices() or 'none'}; or give the device's full path",
                        operation=f"open {name}")

    def _apply_all(self) -> None:
        self._apply_speed()
        self._check_framing()
        self._apply_write_timeout()
        self._apply_flow()
        for line, level in self._lines.items():
            setattr(self._port, line, level)

    def close(self) -> None:
        if self._port is not None:
            self._port.close()
            self._port = None

    @property
    def is_open(self) -> bool:
        return self._port is not None and not self._port.closed

    def __enter__(self) -> "Serial":
        if self._name is not None and not self.is_open:
            self.open()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<portmdl.Serial port={self._name!r} open={self.is_open}>"

    def _open_port(self, operation: str) -> _port.Port:
        if self._port is None or self._port.closed:
            raise PortError("the port is not open", operation=operation)
        return self._port

    # ---- settings ----

    @property
    def port(self) -> Optional[str]:
        return self._name

    @port.setter
    def port(self, name: Optional[str]) -> None:
        if name is not None and not isinstance(name, str):
            raise TypeError(f"port must be a str, not {type(name).__name__}")
        was_open = self.is_open
        if was_open:
            self.close()
        self._name = name
        if was_open:
            self.open()

    def _change(self, attribute: str, value: object, apply) -> None:
        """Sets a setting and applies it to an open port; a setting the port refuses is not
        kept, so that it neither reads back nor comes back at the next open."""
        old = getattr(self, attribute, None)
        setattr(self, attribute, value)
        if self.is_open:
            try:
                apply()
            except BaseException:
                setattr(self, attribute, old)
                raise

    @property
    def name(self) -> Optional[str]:
        return self._name

    @property
    def baudrate(self) -> int:
        return self._baudrate

    @baudrate.setter
    def baudrate(self, rate: int) -> None:
        if isinstance(rate, bool) or not isinstance(rate, int):
            raise TypeError(f"baudrate must be an int, not {type(rate).__name__}")
        if not 0 < rate <= 0x7FFFFFFF:
            raise ValueError(f"baudrate must be from 1 to 2147483647, not {rate}")
        self._change("_baudrate", rate, self._apply_speed)

    def _apply_speed(self) -> None:
        self._open_port("set the speed").speed = self._baudrate

    @property
    def bytesize(self) -> int:
        return self._bytesize

    @bytesize.setter
    def bytesize(self, bits: int) -> None:
        if bits not in (FIVEBITS, SIXBITS, SEVENBITS, EIGHTBITS):
            raise ValueError(f"bytesize must be 5, 6, 7 or 8, not {bits!r}")
        self._change("_bytesize", bits, self._check_framing)

    @property
    def parity(self) -> str:
        return self._parity

    @parity.setter
    def parity(self, parity: str) -> None:
        if parity not in (PARITY_NONE, PARITY_EVEN, PARITY_ODD, PARITY_MARK, PARITY_SPACE):
            raise ValueError(f"parity must be one of N E O M S, not {parity!r}")
        self._change("_parity", parity, self._check_framing)

    @property
    def stopbits(self) -> float:
        return self._stopbits

    @stopbits.setter
    def stopbits(self, bits: float) -> None:
        if bits not in (STOPBITS_ONE, STOPBITS_ONE_POINT_FIVE, STOPBITS_TWO):
            raise ValueError(f"stopbits must be 1, 1.5 or 2, not {bits!r}")
        self._change("_stopbits", bits, self._check_framing)

    def _check_framing(self) -> None:
        # The module frames every line itself: a framing it does not run is refused on an open
        # port rather than silently ignored.
        if not self.is_open or not hasattr(self, "_stopbits"):
            return
        parity = PARITY_EVEN if self._cable in _EVEN_PARITY_CABLES else PARITY_NONE
        if (self._bytesize, self._parity, self._stopbits) != (EIGHTBITS, parity, STOPBITS_ONE):
            raise _refused(f"the module runs this line at 8 data bits, parity {parity}, 1 stop "
                           "bit and cannot change them")

    @property
    def timeout(self) -> Optional[float]:
        return self._timeout

    @timeout.setter
    def timeout(self, seconds: Optional[float]) -> None:
        if seconds is not None:
            _port._milliseconds(seconds, "timeout")
        self._timeout = seconds

    @property
    def write_timeout(self) -> Optional[float]:
        return self._write_timeout

    @write_timeout.setter
    def write_timeout(self, seconds: Optional[float]) -> None:
        if seconds is not None:
            _port._milliseconds(seconds, "write_timeout")
        self._change("_write_timeout", seconds, self._apply_write_timeout)

    def _apply_write_timeout(self) -> None:
        # None waits as long as the module can: a send ends only once nothing moved that long.
        seconds = _port._MAX_MS // 1000 if self._write_timeout is None else self._write_timeout
        self._open_port("set the send time-out").write_timeout = seconds

    @property
    def xonxoff(self) -> bool:
        return self._xonxoff

    @xonxoff.setter
    def xonxoff(self, on: bool) -> None:
        self._change("_xonxoff", bool(on), self._apply_flow)

    @property
    def rtscts(self) -> bool:
        return self._rtscts

    @rtscts.setter
    def rtscts(self, on: bool) -> None:
        self._change("_rtscts", bool(on), self._apply_flow)

    def _apply_flow(self) -> None:
        if self._xonxoff and self._rtscts:
            raise _refused("the module does one flow control at a time: xonxoff or rtscts")
        flow = "rts-cts" if self._rtscts else "xon-xoff" if self._xonxoff else "none"
        port = self._open_port("set the flow control")
        if port.flow != flow:
            port.flow = flow

    # ---- data ----

    def _deadline(self) -> float:
        return math.inf if self._timeout is None else time.monotonic() + self._timeout

    def _ms(self) -> int:
        return 0 if self._timeout is None else int(round(self._timeout * 1000))

    def read(self, size: int = 1) -> bytes:
        size = _port._count(size, "size")
        port = self._open_port(f"read {size} bytes")
        return port._read(size, self._ms(), self._deadline(), f"read {size} bytes")

    def read_until(self, expected: bytes = b"\n", size: Optional[int] = None) -> bytes:
        expected = _port._terminator(expected, "expected")
        if size is not None:
            size = _port._count(size, "size")
        operation = f"read until {expected!r}"
        port = self._open_port(operation)
        return port._read_until(expected, size, self._ms(), self._deadline(), operation)

    def readline(self, size: Optional[int] = None) -> bytes:
        return self.read_until(b"\n", None if size is None or size < 0 else size)

    def readlines(self, hint: int = -1) -> List[bytes]:
        lines, total = [], 0
        while hint <= 0 or total < hint:
            line = self.readline()
            if not line:
                break
            lines.append(line)
            total += len(line)
        return lines

    def __iter__(self) -> Iterator[bytes]:
        while True:
            line = self.readline()
            if not line:
                return
            yield line

    def write(self, data) -> int:
        return self._open_port("write").write(data)

    def flush(self) -> None:
        """Waits until the device has sent what was written (up to the write time-out)."""
        self._open_port("flush")
        limit = math.inf if self._write_timeout is None else self._write_timeout
        deadline = time.monotonic() + limit
        while self.out_waiting and time.monotonic() < deadline:
            time.sleep(0.001)

    @property
    def in_waiting(self) -> int:
        return self._open_port("count the bytes waiting").in_waiting

    @property
    def out_waiting(self) -> int:
        fd = self._tty("count the bytes to send", None)
        if fd is None:
            return 0  # the modem and Bluetooth sends return once the transport has the bytes
        return struct.unpack("i", fcntl.ioctl(fd, termios.TIOCOUTQ, b"\0" * 4))[0]

    def reset_input_buffer(self) -> None:
        self._open_port("drop the bytes waiting").reset_input_buffer()

    def reset_output_buffer(self) -> None:
        fd = self._tty("drop the bytes to send", None)
        if fd is not None:
            termios.tcflush(fd, termios.TCOFLUSH)

    # ---- lines ----

    def _tty(self, operation: str, refusal: Optional[str]) -> Optional[int]:
        """The serial device's descriptor; None (or PortError with refusal) on other ports."""
        port = self._open_port(operation)
        if port._kind == "serial":
            handle = port._lib.PM_GetPortHandle()
            if handle >= 0:
                return handle
        if refusal is None:
            return None
        raise PortError(refusal, operation=operation)

    def _line(self, name: str, level: bool) -> None:
        if not isinstance(level, (bool, int)):
            raise TypeError(f"{name} takes True or False, not {type(level).__name__}")
        self._lines[name] = bool(level)
        if self.is_open:
            setattr(self._port, name, bool(level))

    @property
    def dtr(self) -> bool:
        return self._port.dtr if self.is_open else self._lines.get("dtr", True)

    @dtr.setter
    def dtr(self, level: bool) -> None:
        self._line("dtr", level)

    @property
    def rts(self) -> bool:
        return self._port.rts if self.is_open else self._lines.get("rts", True)

    @rts.setter
    def rts(self, level: bool) -> None:
        self._line("rts", level)

    def _modem_bit(self, bit: int, name: str) -> bool:
        fd = self._tty(f"read {name}", "only a serial device reports its modem lines")
        try:
            bits = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, b"\0" * 4))[0]
        except OSError as e:
            raise PortError(f"the device does not report {name}", errno=e.errno,
                            operation=f"read {name}") from None
        return bool(bits & bit)

    @property
    def cts(self) -> bool:
        return self._modem_bit(termios.TIOCM_CTS, "CTS")

    @property
    def dsr(self) -> bool:
        return self._modem_bit(termios.TIOCM_DSR, "DSR")

    @property
    def ri(self) -> bool:
        return self._modem_bit(termios.TIOCM_RI, "RI")

    @property
    def cd(self) -> bool:
        return self._modem_bit(termios.TIOCM_CD, "CD")

    @property
    def break_condition(self) -> bool:
        return self._break

    @break_condition.setter
    def break_condition(self, on: bool) -> None:
        fd = self._tty("set the break condition", "only a serial device sends a break")
        try:
            fcntl.ioctl(fd, termios.TIOCSBRK if on else termios.TIOCCBRK)
        except OSError as e:
            raise PortError("the device refused the break", errno=e.errno,
                            operation="set the break condition") from None
        self._break = bool(on)

    def send_break(self, duration: float = 0.25) -> None:
        _port._milliseconds(duration, "duration")
        self.break_condition = True
        time.sleep(duration)
        self.break_condition = False


def _number(text: str, name: str) -> int:
    if not text.isdigit():
        raise ValueError(f"{name!r}: expected a number after the colon")
    return int(text)


__all__ = ["Serial", "PARITY_NONE", "PARITY_EVEN", "PARITY_ODD", "PARITY_MARK", "PARITY_SPACE",
           "STOPBITS_ONE", "STOPBITS_ONE_POINT_FIVE", "STOPBITS_TWO", "FIVEBITS", "SIXBITS",
           "SEVENBITS", "EIGHTBITS"]
