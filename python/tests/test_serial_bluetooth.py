"""portmdl.Serial: the pyserial script, unchanged, on a channel of the simulated Bluetooth world.
The library reads its world once per process, so these tests have a file of their own."""

import pytest

import portmdl
from serial_script import REPLIES, pyserial_script

PHONE = "00:1B:DC:0F:4A:31"
OTHER = "00:1B:DC:0F:4A:32"
WORLD = {
    "panel": PHONE,
    "devices": [
        {"address": PHONE,
         "records": [
             {"rfcomm": 1, "attributes": {"256": {"text": "Dial-up Networking"}}},
             {"rfcomm": 3, "attributes": {"256": {"text": "Bluetooth Serial Port"}}}],
         "phone": {"replies": {k.decode(): v.decode() for k, v in REPLIES.items()}}},
        {"address": OTHER,
         "records": [{"rfcomm": 2, "attributes": {"256": {"text": "Bluetooth Serial Port"}}}],
         "phone": {"echo": True}},
    ],
}


@pytest.fixture(autouse=True)
def world(bluetooth_world):
    bluetooth_world(WORLD)


def test_a_pyserial_script_on_a_channel_the_panel_picked():
    assert portmdl.bluetooth_channels().address == PHONE
    with portmdl.Serial("bluetooth:1", baudrate=9600, timeout=3) as serial:
        assert serial.is_open and serial.name == "bluetooth:1"
        pyserial_script(serial)
        # The lines are the module's to set and read back, though none reaches the phone.
        serial.dtr = False
        serial.rts = True
        assert (serial.dtr, serial.rts) == (False, True)
        assert serial.out_waiting == 0
        serial.reset_output_buffer()
        serial.flush()
    assert not serial.is_open


def test_a_channel_named_with_its_phone_lists_that_phone_at_each_open():
    serial = portmdl.Serial()
    serial.port = f"bluetooth:{OTHER}:0"
    serial.timeout = 3
    serial.open()
    try:
        serial.write(b"echo\n")
        assert serial.readline() == b"echo\n"
        # A new port while open: closed, that phone listed, the channel opened.
        serial.port = f"bluetooth:{PHONE.lower()}:1"
        assert serial.is_open
        pyserial_script(serial)
    finally:
        serial.close()
    serial.open()  # the same name again after a close: listed again
    try:
        serial.write(b"AT\r")
        assert serial.read(6) == b"\r\nOK\r\n"
    finally:
        serial.close()


def test_what_a_channel_cannot_do_is_a_serial_exception():
    portmdl.bluetooth_channels(PHONE)
    with portmdl.Serial("bluetooth:0", timeout=1) as serial:
        for line in ("cts", "dsr", "ri", "cd"):
            with pytest.raises(portmdl.SerialException, match="only a serial device reports"):
                getattr(serial, line)
        with pytest.raises(portmdl.SerialException, match="only a serial device sends a break"):
            serial.send_break(0.01)
        with pytest.raises(portmdl.SerialException, match="only a serial device sends a break"):
            serial.break_condition = True
        assert serial.break_condition is False
        with pytest.raises(portmdl.SerialException) as refused:
            serial.rtscts = True
        assert refused.value.code is not None  # the module's refusal, not the package's
        with pytest.raises(portmdl.SerialException, match="8 data bits, parity N"):
            serial.parity = portmdl.PARITY_EVEN
        # A refused setting is not kept: the port's own settings read back and apply again.
        assert (serial.rtscts, serial.parity) == (False, portmdl.PARITY_NONE)
        serial.xonxoff = False
        serial.stopbits = portmdl.STOPBITS_ONE
        # Still open and talking after each refusal.
        serial.write(b"AT\r")
        assert serial.read(6) == b"\r\nOK\r\n"


def test_opens_that_fail_are_serial_exceptions():
    portmdl.bluetooth_channels(PHONE)
    with pytest.raises(portmdl.SerialException, match="bluetooth_channels"):
        portmdl.Serial("bluetooth:2")  # the phone has two channels
    # A phone the stack does not know: the selector would pick another, which is not opened.
    with pytest.raises(portmdl.SerialException, match="does not know the phone 00:1B:DC:0F:4A:39"):
        portmdl.Serial("bluetooth:00:1b:dc:0f:4a:39:0")
    with pytest.raises(ValueError, match="expected a number"):
        portmdl.Serial("bluetooth:first")
    with pytest.raises(ValueError):
        portmdl.Serial("bluetooth:00:11:0")
    assert portmdl._port.current_port() is None
