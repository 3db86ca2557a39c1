"""A Port on the simulated cable: exchanges, time-outs, line settings, the one-port rule, bad
input, the log written and read back."""

import errno
import os
import subprocess
import sys
import threading
import time

import pytest

import portmdl

OK = b"\r\nOK\r\n"
INFO = b"\r\nSimulated\r\n\r\nOK\r\n"


@pytest.fixture
def cable(sim_cable):
    return sim_cable({b"AT\r": OK, b"ATI\r": INFO, b"NOISE": b"abc"})


def test_exchanges_as_pyserial_users_expect(cable):
    with portmdl.Port(cable.path, timeout=3) as port:
        assert port.write(b"AT\r") == 3
        assert port.read_exact(6) == OK
        # read_until stops at the terminator and leaves what follows waiting.
        port.write(bytearray(b"ATI\r"))
        assert port.read_until(b"\r\n\r\n") == b"\r\nSimulated\r\n\r\n"
        assert port.read_exact(4) == b"OK\r\n"
        port.write(memoryview(b"NOISE"))
        assert port.read_until(b"c", timeout=3) == b"abc"
        assert port.in_waiting == 0
    assert port.closed


def test_short_reads(cable):
    with portmdl.Port(cable.path, timeout=3) as port:
        port.write(b"NOISE")
        # read returns what arrived by the time-out; read_exact raises and keeps the bytes.
        assert port.read(10, timeout=1.0) == b"abc"
        port.write(b"NOISE")
        with pytest.raises(portmdl.TimeoutError) as caught:
            port.read_exact(4, timeout=1.0)
        assert caught.value.code == 3
        assert isinstance(caught.value, TimeoutError)  # the builtin one too
        assert port.in_waiting == 3
        assert port.read_until(b"zz", size=2) == b"ab"
        port.reset_input_buffer()
        assert port.in_waiting == 0
        assert port.read(1, timeout=0.05) == b""
        assert port.read(0) == b"" and port.read_exact(0) == b""


def test_line_settings(cable):
    with portmdl.Port(cable.path, speed=115200) as port:
        assert port.speed == 115200
        port.speed = 3  # by code
        assert port.speed == 9600
        assert port.status.speed == 9600 and port.status.speed_code == 3
        for raised in (True, False, True):
            port.rts = raised
            port.dtr = not raised
            assert (port.rts, port.dtr) == (raised, not raised)
        port.write_timeout = 2
        assert port.write_timeout == 2.0
        for bad, kind in ((0, ValueError), (-1200, ValueError), (2**31, ValueError),
                          ("fast", TypeError)):
            with pytest.raises(kind):
                port.speed = bad
        # Any rate the line runs at, beside the codes; flow control on the line.
        port.speed = 250000
        assert port.speed == 250000 and port.status.speed_code == 3
        port.flow = "rts-cts"
        assert port.flow == "rts-cts"
        with pytest.raises(ValueError):
            port.flow = "dtr-dsr"


def test_one_port_per_process(cable, sim_cable):
    other = sim_cable(echo=True, name="usbmodem2")
    with portmdl.Port(cable.path, timeout=3) as first:
        with pytest.raises(portmdl.PortInUseError):
            portmdl.Port(other.path)
        # The first port is left open and working.
        first.write(b"AT\r")
        assert first.read_exact(6) == OK
    with portmdl.Port(other.path, timeout=3) as second:
        second.write(b"x")
        assert second.read_exact(1) == b"x"


def test_bad_input_raises_clear_exceptions(cable):
    with portmdl.Port(cable.path) as port:
        cases = [
            (lambda: port.write("AT"), TypeError),
            (lambda: port.write(42), TypeError),
            (lambda: port.read(-1), ValueError),
            (lambda: port.read(1.5), TypeError),
            (lambda: port.read_exact(-3), ValueError),
            (lambda: port.read(1, timeout=-1), ValueError),
            (lambda: port.read(1, timeout=float("nan")), ValueError),
            (lambda: port.read_until(b""), ValueError),
            (lambda: setattr(port, "timeout", "1"), TypeError),
        ]
        for call, kind in cases:
            with pytest.raises(kind):
                call()
    closed = [lambda: port.write(b"x"), lambda: port.read(1), lambda: port.in_waiting,
              lambda: port.speed, lambda: port.status, lambda: port.reset_input_buffer()]
    for call in closed:
        with pytest.raises(portmdl.PortError, match="closed"):
            call()
    port.close()  # again: nothing happens
    bad_opens = [
        ((), {}, TypeError),  # no device, cable or channel
        ((cable.path,), {"cable": 3}, TypeError),  # two of them
        ((b"/dev/x",), {}, TypeError),
        (("/dev/\0",), {}, ValueError),
        ((), {"cable": -1}, ValueError),
        ((), {"cable": 77}, ValueError),  # a type PM_OpenPort does not know
        ((), {"bluetooth": 2**40}, ValueError),
        ((cable.path,), {"timeout": -2}, ValueError),
        ((cable.path,), {"speed": 0}, ValueError),
    ]
    for args, kwargs, kind in bad_opens:
        with pytest.raises(kind):
            portmdl.Port(*args, **kwargs)
    with pytest.raises(portmdl.PortError, match="no port is open"):
        portmdl.cable_info()


def test_failed_opens_name_the_reason(tmp_path, monkeypatch):
    with pytest.raises(portmdl.PortError) as caught:
        portmdl.Port(str(tmp_path / "missing"))
    assert caught.value.code == 7
    assert "open" in str(caught.value) and "missing" in str(caught.value)
    if hasattr(portmdl._library.library(), "PM_GetSysErr"):  # libraries that report it
        assert caught.value.errno == errno.ENOENT
    monkeypatch.setenv("PM_SERIAL_REGISTRY", str(tmp_path))  # a registry with no device
    with pytest.raises(portmdl.PortError, match="no device of that cable type") as caught:
        portmdl.Port(cable=1002)
    assert caught.value.code == 0


def test_devices_and_cable_type(cable):
    assert cable.link in portmdl.devices()
    with portmdl.Port(cable=1002, timeout=3) as port:
        port.write(b"AT\r")
        assert port.read_exact(6) == OK


def test_cable_identification_and_charging(sim_cable):
    cable = sim_cable(identification=b"\r\n1841\r\n0002\r\n0100\r\n\r\nOK\r\n", guard_ms=100)
    with portmdl.Port(cable.path, timeout=3):
        info = portmdl.cable_info()
        assert info == (1841, 2, 100)
        portmdl.charge(True)
        portmdl.charge(False)
        with pytest.raises(TypeError):
            portmdl.charge("on")


def test_close_from_another_thread_ends_a_read(sim_cable):
    cable = sim_cable(echo=True)
    port = portmdl.Port(cable.path, timeout=30)
    lib = portmdl._library.library()
    assert port.read(1, timeout=0) == b""  # the library's receive time-out is now 0
    outcome = []

    def reader():
        try:
            outcome.append(port.read_exact(10))
        except portmdl.PortError as e:
            outcome.append(e)

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        # The read has told the library the time-out of its first slice: it waits.
        deadline = time.monotonic() + 10
        while lib.PM_GetRxTimeout() != portmdl._port._SLICE_MS and time.monotonic() < deadline:
            time.sleep(0.001)
        assert lib.PM_GetRxTimeout() == portmdl._port._SLICE_MS
    finally:
        port.close()
    thread.join(5)  # far less than the read's 30 s
    assert not thread.is_alive(), "the read went on after close"
    assert isinstance(outcome[0], portmdl.PortError) and "closed" in str(outcome[0])


def test_a_failure_carries_the_line_its_log_summary_shows(cable, log_folder):
    portmdl.log(log_folder, "py-phone")
    with portmdl.Port(cable.path, timeout=3) as port:
        with pytest.raises(portmdl.TimeoutError) as caught:
            port.read_exact(1, timeout=0.2)
    line = caught.value.line
    assert isinstance(line, int) and line > 0
    assert f"line {line}" in str(caught.value)
    close = next(e for e in portmdl.read_log(log_folder) if e["event"] == "close")
    assert (close["module"]["code"], close["module"]["line"]) == (3, line)


def test_log_reads_back_as_events(cable, log_folder):
    portmdl.log(log_folder, "py-phone")
    with portmdl.Port(cable.path, timeout=3) as port:
        port.write(b"AT\r")
        port.read_exact(6)
    events = list(portmdl.read_log(log_folder))
    kinds = [e["event"] for e in events]
    assert kinds[0] == "log" and kinds[-1] == "summary"
    assert "start" in kinds and "close" in kinds and "finished" in kinds
    assert {"event": "send", "hex": "41540d"}.items() <= next(
        e for e in events if e["event"] == "send").items()
    assert any(e["event"] == "receive" and bytes.fromhex(e["hex"]) == OK for e in events)
    header = next(e for e in events if e["event"] == "header")
    assert header["phone_id"] == "py-phone"
    assert events[-1]["communications"] == 1
    with pytest.raises(FileNotFoundError):
        list(portmdl.read_log(log_folder / "nothing-here"))
    with pytest.raises(TypeError):
        portmdl.log(log_folder, 7)
    with pytest.raises(NotADirectoryError):
        portmdl.log(log_folder / "missing", "p")


@pytest.mark.parametrize("setting,reported,says", [
    ("/nonexistent/libportmdl.so.0", None, "not found"),
    (None, (1, 0, 0), "needs 0.1"),
    (None, (0, 0, 9), "needs 0.1"),
])
def test_library_that_cannot_be_used(setting, reported, says):
    env = dict(os.environ)
    if setting is not None:
        env["PORTMDL_LIBRARY"] = setting
    # Another version is played by the library's answer: the check that refuses it is the same.
    script = ("import portmdl, portmdl._library as lib\n"
              f"if {reported!r}: lib.reported_version = lambda l, p: {reported!r}\n"
              "try:\n    portmdl.devices()\nexcept portmdl.LibraryError as e:\n"
              "    print(e)\n    raise SystemExit(3)\n")
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 3, run.stderr
    assert says in run.stdout


def test_a_copy_under_any_name_is_known_by_the_version_it_reports(tmp_path):
    path, version = portmdl.library_info()
    copy = tmp_path / "libportmdl-copy.so"
    copy.write_bytes(open(path, "rb").read())
    script = "import portmdl\nprint(portmdl.library_info()[1])\n"
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=dict(os.environ, PORTMDL_LIBRARY=str(copy)), timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == str(version)
    # A library from before PM_GetVersion is known by its file's name, which this one lacks.
    with pytest.raises(portmdl.LibraryError, match="cannot tell the version"):
        portmdl._library.version_of(str(copy))
