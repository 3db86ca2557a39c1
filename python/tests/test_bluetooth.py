"""Bluetooth through a simulated world: listing a phone's channels and talking over one. The
library reads its world once per process, so these tests share one."""

import os
import shutil
import tempfile
import threading
import time

import pytest

import portmdl

PHONE = "00:1B:DC:0F:4A:21"
SILENT = "00:1B:DC:0F:4A:22"
UNANSWERED = "00:1B:DC:0F:4A:23"  # its SDP query never completes
SENDER = "00:1B:DC:0F:4A:24"  # sends more at each open than the Bluetooth store holds
BIG = bytes(range(256)) * 586  # 150 016 bytes
# The world's trace: one line per platform call, so a test can see where a listing waits.
TRACE_FOLDER = tempfile.mkdtemp(prefix="portmdl-bt-trace-")
TRACE = os.path.join(TRACE_FOLDER, "trace")
WORLD = {
    "panel": PHONE,
    "trace": TRACE,
    "devices": [
        {"address": PHONE,
         "records": [
             {"rfcomm": 1, "attributes": {"256": {"text": "Dial-up Networking"}}},
             {"rfcomm": 3, "attributes": {"256": {"text": "Bluetooth Serial Port"}}}],
         "phone": {"replies": {"AT\r": "\r\nOK\r\n"}}},
        {"address": SILENT, "records": [{"rfcomm": 2, "attributes": {"256": {"text": "Fax"}}}]},
        {"address": UNANSWERED, "sdp": {"delay_ms": -1}},
        {"address": SENDER, "records": [{"rfcomm": 4, "attributes": {"256": {"text": "Bluetooth Serial Port"}}}],
         "phone": {"send": BIG.hex()}},
    ],
}


@pytest.fixture(scope="module", autouse=True)
def trace_folder():
    yield
    shutil.rmtree(TRACE_FOLDER, ignore_errors=True)


@pytest.fixture(autouse=True)
def world(bluetooth_world):
    bluetooth_world(WORLD)


def traced(line):
    try:
        with open(TRACE) as trace:
            return line in trace.read().splitlines()
    except FileNotFoundError:
        return False


def test_lists_and_talks_over_a_channel():
    assert portmdl.bluetooth_channels(PHONE.lower()) == (PHONE, 2)
    with portmdl.Port(bluetooth=1, timeout=3) as port:
        port.write(b"AT\r")
        assert port.read_exact(6) == b"\r\nOK\r\n"


def test_the_panel_picks_a_phone():
    channels = portmdl.bluetooth_channels()
    assert channels.address == PHONE and channels.count == 2


def test_no_usable_channel_and_bad_addresses():
    with pytest.raises(portmdl.PortError):
        portmdl.bluetooth_channels(SILENT)
    for bad, kind in (("00:11", ValueError), ("zz:1B:DC:0F:4A:21", ValueError), (7, TypeError)):
        with pytest.raises(kind):
            portmdl.bluetooth_channels(bad)


def test_a_listing_ended_by_a_close_from_another_thread_is_a_time_out(monkeypatch):
    # The listing's thread reads the error only once the close has returned: the close, which
    # finds no port, records its own code after the listing's.
    closed = threading.Event()
    read_error = portmdl._functions.last_error

    def after_the_close(lib, operation):
        closed.wait(30)
        return read_error(lib, operation)

    monkeypatch.setattr(portmdl._functions, "last_error", after_the_close)
    outcome = {}

    def listing():
        try:
            outcome["result"] = portmdl.bluetooth_channels(UNANSWERED)
        except portmdl.PortError as error:
            outcome["error"] = error

    thread = threading.Thread(target=listing)
    thread.start()
    query, deadline = f"IOBluetoothDevicePerformSDPQuery {UNANSWERED}", time.monotonic() + 30
    while not traced(query) and time.monotonic() < deadline:
        time.sleep(0.001)
    lib = portmdl._library.library()
    assert lib.PM_ClosePort() == 0  # no port to close: said to this thread
    assert (lib.PM_GetCommErr(), lib.PM_GetErrLine()) == (8, 744)
    closed.set()
    thread.join(30)
    assert not thread.is_alive()
    error = outcome.get("error")
    assert isinstance(error, portmdl.TimeoutError), outcome
    assert isinstance(error, TimeoutError)
    assert (error.code, error.line) == (3, 1695)


def test_another_world_in_the_same_process_is_refused(bluetooth_world):
    with pytest.raises(RuntimeError, match="once per process"):
        bluetooth_world({"devices": []})


def test_reads_larger_than_the_store_take_it_in_pieces():
    assert portmdl.bluetooth_channels(SENDER).count == 1
    with portmdl.Port(bluetooth=0, timeout=20) as port:
        assert port.read_exact(len(BIG)) == BIG
    with portmdl.Port(bluetooth=0, timeout=20) as port:
        assert port.read(len(BIG)) == BIG
    with portmdl.Port(bluetooth=0, timeout=20) as port:
        # All or nothing: a read_exact that times out keeps what it took for the next read.
        with pytest.raises(portmdl.TimeoutError):
            port.read_exact(len(BIG) + 1, timeout=3)
        assert port.in_waiting == len(BIG)
        assert port.read_exact(len(BIG)) == BIG
