"""portmdl.Serial: a pyserial script, unchanged, on the cable simulator, the modem driver's
simulator and portmdl-modemd serving the cable simulator as a phone's modem."""

import subprocess
import time

import pytest

import portmdl
from portmdl._tools import find_program
from serial_script import REPLIES, pyserial_script


@pytest.fixture
def modemd(sim_cable, tmp_path, monkeypatch):
    """portmdl-modemd serving a simulated phone's tty in a plane of its own, which
    PM_USERCLIENT_DIR names for the test."""
    cable = sim_cable(REPLIES)
    plane, log = tmp_path / "plane", tmp_path / "modemd.log"
    with open(log, "wb") as stderr:
        daemon = subprocess.Popen([find_program("portmdl-modemd"), "--tty", cable.path,
                                   "--plane", str(plane)], stderr=stderr)
    try:
        deadline = time.monotonic() + 10
        while not (plane / "ORVUDSCDMADriver").is_socket():
            if daemon.poll() is not None:
                pytest.fail("portmdl-modemd ended: " + log.read_text())
            if time.monotonic() > deadline:
                pytest.fail("portmdl-modemd did not serve its plane within 10 s")
            time.sleep(0.01)
        monkeypatch.setenv("PM_USERCLIENT_DIR", str(plane))
        yield daemon
    finally:
        daemon.terminate()
        daemon.wait(10)


def test_a_pyserial_script_on_the_cable(sim_cable):
    sim_cable(REPLIES)
    with portmdl.Serial("usbmodem1", baudrate=9600, timeout=3) as serial:
        assert serial.is_open and serial.name == "usbmodem1"
        pyserial_script(serial)
        serial.dtr = False
        serial.rts = True
        assert (serial.dtr, serial.rts) == (False, True)
        serial.rtscts = True
        assert serial._port.flow == "rts-cts"
        assert serial.out_waiting == 0
        serial.flush()
    assert not serial.is_open


def test_a_pyserial_script_on_the_modem(sim_modem):
    sim_modem(REPLIES)
    serial = portmdl.Serial()
    serial.port = "cable:5"
    serial.open()
    try:
        pyserial_script(serial)
        with pytest.raises(portmdl.SerialException, match="serial device"):
            serial.cts
    finally:
        serial.close()


def test_a_pyserial_script_on_the_modem_daemon(modemd):
    with portmdl.Serial("cable:5", timeout=3) as serial:
        pyserial_script(serial)
        with pytest.raises(portmdl.SerialException, match="only a serial device sends a break"):
            serial.send_break(0.01)
    assert modemd.poll() is None


def test_errors_are_serial_exceptions(sim_cable, tmp_path):
    cable = sim_cable(REPLIES)
    with pytest.raises(portmdl.SerialException, match="no such file"):
        portmdl.Serial(str(tmp_path / "gone"))
    with pytest.raises(portmdl.SerialException, match="no listed serial device"):
        portmdl.Serial("usbmodem9")
    with pytest.raises(portmdl.SerialException, match="configured"):
        portmdl.Serial().open()
    with portmdl.Serial(cable.path) as serial:
        with pytest.raises(portmdl.SerialException):
            portmdl.Serial(cable.path)  # the one-port rule
        for name, value in (("bytesize", portmdl.SEVENBITS), ("parity", portmdl.PARITY_ODD),
                            ("stopbits", portmdl.STOPBITS_TWO)):
            with pytest.raises(portmdl.SerialException, match="8 data bits"):
                setattr(serial, name, value)
        # Refused, not kept: the line's framing reads back and may be set again.
        assert (serial.bytesize, serial.parity, serial.stopbits) == (8, "N", 1)
        serial.parity = portmdl.PARITY_NONE
        with pytest.raises(portmdl.SerialException, match="one flow control at a time"):
            serial.xonxoff, serial.rtscts = True, True
        assert (serial.xonxoff, serial.rtscts, serial._port.flow) == (True, False, "xon-xoff")
        serial.port = serial.port  # reopened with the settings kept
        assert serial._port.flow == "xon-xoff"
        with pytest.raises(portmdl.SerialException, match="already open"):
            serial.open()
        with pytest.raises(TypeError, match="expected must be bytes, not str"):
            serial.read_until("OK")
        with pytest.raises(TypeError, match="expected must be bytes, not int"):
            serial.read_until(5)
        serial.write_timeout = 1
        assert serial.write(b"AT\r") == 3
    assert issubclass(portmdl.SerialTimeoutException, portmdl.SerialException)
    assert issubclass(portmdl.SerialException, OSError)
