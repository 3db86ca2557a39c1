"""The exceptions of portmdl, and the one place that turns a failed library call into one."""

from __future__ import annotations

import builtins
import os
from typing import Optional

# What the module's error codes mean, for a library that cannot say it itself.
_CODE_TEXTS = {
    0: "no error recorded",
    2: "the transport was not created",
    3: "time-out: fewer bytes than asked arrived, or a send was cut short",
    7: "the device did not open",
    8: "no port is open, an invalid argument, or a setting the port cannot do",
    14: "the transport refused the operation",
    101: "the transport refused the send",
    103: "a call into the transport failed",
}

#: The module's code for a time-out (PM_ERR_TIMEOUT).
ERR_TIMEOUT = 3


class LibraryError(ImportError):
    """libportmdl could not be found or loaded, or it is of a version this package cannot use."""


class SerialException(OSError):
    """Every failure of a port: the name pyserial's users catch. Every PortError is one."""


class SerialTimeoutException(SerialException):
    """A send cut short by its time-out (pyserial's name); portmdl.TimeoutError is one."""


class PortError(SerialException):
    """A port operation failed.

    Attributes:
        code: the module's error code (PM_GetCommErr, one of the PM_ERR_* values), or None when
            the failure was found by this package before the library was asked.
        line: the module's line for the failure (PM_GetErrLine), the one the communication
            log's closing summary shows with it; None when the library reports none or the
            failure was found by this package.
        errno: the system's error number behind the failure, when there is one and the library
            reports it; None otherwise.
        text: what happened, in English.
        operation: what was being done ("open /dev/ttyACM0", "read 6 bytes", ...).
    """

    def __init__(self, text: str, *, code: Optional[int] = None, line: Optional[int] = None,
                 errno: Optional[int] = None, operation: str = "") -> None:
        super().__init__(text)
        self.code = code
        self.line = line
        self.errno = errno
        self.text = text
        self.operation = operation
        self.strerror = os.strerror(errno) if errno else None

    def __str__(self) -> str:
        parts = [f"{self.operation}: {self.text}" if self.operation else self.text]
        if self.code is not None:
            parts.append(f"module error {self.code}")
        if self.line is not None:
            parts.append(f"line {self.line}")
        if self.errno:
            parts.append(f"errno {self.errno}: {self.strerror}")
        return parts[0] + (f" ({', '.join(parts[1:])})" if len(parts) > 1 else "")


class TimeoutError(PortError, SerialTimeoutException,  # noqa: A001 - shadows the builtin
                   builtins.TimeoutError):
    """A receive did not complete in time, or a send was cut short (PM_ERR_TIMEOUT).

    Also a builtins.TimeoutError, so ``except TimeoutError`` catches it either way, and a
    SerialTimeoutException.
    """


class PortInUseError(PortError):
    """A port is already open in this process: the module drives one port at a time."""


def error_text(lib, code: int) -> str:
    """The English text of a module error code: the library's own when it has one."""
    if hasattr(lib, "PM_GetErrText"):
        raw = lib.PM_GetErrText(code)
        if raw:
            return raw.decode("utf-8", "replace")
    return _CODE_TEXTS.get(code, f"module error code {code}")


def last_error(lib, operation: str) -> PortError:
    """The exception for the library's last failure (the error code PM_GetCommErr reports)."""
    code = int(lib.PM_GetCommErr())
    errno = None
    if hasattr(lib, "PM_GetSysErr"):
        errno = int(lib.PM_GetSysErr()) or None
    line = None
    if hasattr(lib, "PM_GetErrLine"):
        line = int(lib.PM_GetErrLine()) or None
    kind = TimeoutError if code == ERR_TIMEOUT else PortError
    return kind(error_text(lib, code), code=code, line=line, errno=errno, operation=operation)
