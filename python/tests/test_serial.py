"""portmdl.Serial: a pyserial script, unchanged, on the cable simulator and the modem driver."""

import time

import pytest

import portmdl

REPLIES = {b"AT\r": b"\r\nOK\r\n", b"ATI\r": b"\r\nSimulated\r\n\r\nOK\r\n", b"N": b"abc"}


def pyserial_script(serial):
    """What a test engineer's script does with a pyserial port."""
    serial.timeout = 3
    serial.write(b"AT\r")
    assert serial.readline() == b"\r\n"
    assert serial.readline() == b"OK\r\n"
    serial.write(b"ATI\r")
    deadline = time.monotonic() + 5
    while serial.in_waiting < 19 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert serial.read(serial.in_waiting) == b"\r\nSimulated\r\n\r\nOK\r\n"
    serial.write(b"N")
    serial.timeout = None  # waits for all
    assert serial.read(3) == b"abc"
    serial.timeout = 0  # returns at once
    assert serial.read(10) == b""
    serial.timeout = 0.3
    serial.write(b"N")
    assert serial.read(10) == b"abc"
    serial.write(b"ATI\r")
    serial.timeout = 3
    assert serial.read_until(b"OK\r\n") == b"\r\nSimulated\r\n\r\nOK\r\n"
    serial.write(b"ATI\r")
    serial.timeout = 1
    assert list(serial) == [b"\r\n", b"Simulated\r\n", b"\r\n", b"OK\r\n"]
    serial.write(b"N")
    time.sleep(0.2)
    serial.reset_input_buffer()
    assert serial.in_waiting == 0
    serial.baudrate = 115200
    assert serial.baudrate == 115200


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
        with pytest.raises(portmdl.SerialException, match="8 data bits"):
            serial.bytesize = portmdl.SEVENBITS
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
