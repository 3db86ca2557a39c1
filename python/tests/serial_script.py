"""The pyserial script the Serial tests run unchanged on every transport, and the replies of the
simulated phone it talks to."""

import time

# Requests and replies as the simulators take them; the Bluetooth world's form is str.
REPLIES = {b"AT\r": b"\r\nOK\r\n", b"ATI\r": b"\r\nSimulated\r\n\r\nOK\r\n", b"N": b"abc"}
ATI = REPLIES[b"ATI\r"]


def wait_for_waiting(serial, count):
    """Polls in_waiting, as pyserial scripts do, until count bytes wait (or 10 s pass)."""
    deadline = time.monotonic() + 10
    while serial.in_waiting < count and time.monotonic() < deadline:
        time.sleep(0.01)
    return serial.in_waiting


def pyserial_script(serial):
    """What a test engineer's script does with a pyserial port."""
    serial.timeout = 3
    serial.write(b"AT\r")
    assert serial.readline() == b"\r\n"
    assert serial.readline() == b"OK\r\n"
    serial.write(b"ATI\r")
    assert wait_for_waiting(serial, len(ATI)) == len(ATI)
    assert serial.read(serial.in_waiting) == ATI
    serial.write(b"N")
    serial.timeout = None  # waits for all
    assert serial.read(3) == b"abc"
    serial.timeout = 0  # returns at once
    assert serial.read(10) == b""
    serial.write(b"N")
    assert wait_for_waiting(serial, 3) == 3
    serial.timeout = 0.3  # what arrived by the time-out: fewer bytes than asked
    assert serial.read(10) == b"abc"
    serial.write(b"ATI\r")
    serial.timeout = 3
    assert serial.read_until(b"OK\r\n") == ATI
    serial.write(b"ATI\r")
    serial.timeout = 1
    assert list(serial) == [b"\r\n", b"Simulated\r\n", b"\r\n", b"OK\r\n"]
    serial.write(b"N")
    assert wait_for_waiting(serial, 3) == 3
    serial.reset_input_buffer()
    assert serial.in_waiting == 0
    serial.timeout = 0
    assert serial.read(3) == b""
    serial.baudrate = 115200
    assert serial.baudrate == 115200
    serial.timeout = 3
    serial.write(b"AT\r")
    assert serial.read(6) == b"\r\nOK\r\n"
