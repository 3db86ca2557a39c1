"""Bluetooth through a simulated world: listing a phone's channels and talking over one. The
library reads its world once per process, so these tests share one."""

import pytest

import portmdl

PHONE = "00:1B:DC:0F:4A:21"
SILENT = "00:1B:DC:0F:4A:22"
WORLD = {
    "panel": PHONE,
    "devices": [
        {"address": PHONE,
         "records": [
             {"rfcomm": 1, "attributes": {"256": {"text": "Dial-up Networking"}}},
             {"rfcomm": 3, "attributes": {"256": {"text": "Bluetooth Serial Port"}}}],
         "phone": {"replies": {"AT\r": "\r\nOK\r\n"}}},
        {"address": SILENT, "records": [{"rfcomm": 2, "attributes": {"256": {"text": "Fax"}}}]},
    ],
}


@pytest.fixture(autouse=True)
def world(bluetooth_world):
    bluetooth_world(WORLD)


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


def test_another_world_in_the_same_process_is_refused(bluetooth_world):
    with pytest.raises(RuntimeError, match="once per process"):
        bluetooth_world({"devices": []})
