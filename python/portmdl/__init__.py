"""portmdl: talk to mobile phones through libportmdl, from Python.

A port is a phone's USB serial cable, its modem behind the driver, or a Bluetooth channel::

    import portmdl

    portmdl.log("/tmp/phone-log", "my-phone")
    with portmdl.Port("/dev/ttyACM0", timeout=2.0) as port:
        port.write(b"AT\\r")
        print(port.read_until(b"OK\\r\\n"))
    for event in portmdl.read_log("/tmp/phone-log"):
        print(event)

The library is found through PORTMDL_LIBRARY, then the build tree of a checkout, then the
system's loader; it is loaded on first use.
"""

from ._functions import (BluetoothChannels, CableInfo, bluetooth_channels, cable_info, charge,
                         devices, log, read_log)
from ._library import library_info
from ._port import CABLE_TYPES, FLOW_MODES, SPEEDS, Port, PortStatus
from ._serial import *  # noqa: F401,F403 - Serial and its constants
from ._serial import __all__ as _serial_names
from .errors import (LibraryError, PortError, PortInUseError, SerialException,
                     SerialTimeoutException, TimeoutError)

__version__ = "0.1.0"

__all__ = [
    "BluetoothChannels", "CABLE_TYPES", "CableInfo", "LibraryError", "Port", "PortError",
    "FLOW_MODES", "PortInUseError", "SerialException", "SerialTimeoutException", "PortStatus", "SPEEDS", "TimeoutError", "bluetooth_channels", "cable_info",
    "charge", "devices", "library_info", "log", "read_log",
] + _serial_names
