"""What used to surprise a user of the package: ports left open, a phone that hangs up, time-outs
missing from the log, bad terminators, simulator replies changed on the way."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import warnings

import pytest

import portmdl

OK = b"\r\nOK\r\n"


def test_a_forgotten_port_closes_when_collected(sim_cable):
    cable = sim_cable(echo=True)

    def forget():
        portmdl.Port(cable.path)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        forget()
        gc.collect()
    assert any(issubclass(w.category, ResourceWarning) for w in caught)
    with portmdl.Port(cable.path, timeout=3) as port:  # not PortInUseError
        port.write(b"x")
        assert port.read_exact(1) == b"x"


def run_python(script, **env):
    return subprocess.run([sys.executable, "-W", "always::ResourceWarning", "-c",
                           textwrap.dedent(script)], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, **env))


def test_a_port_open_at_exit_is_closed_with_a_warning_and_its_log_saved(sim_cable, log_folder):
    cable = sim_cable(echo=True)
    run = run_python(f"""
        import portmdl
        portmdl.log({str(log_folder)!r}, "exit")
        kept = portmdl.Port({cable.path!r})
        """)
    assert run.returncode == 0, run.stderr
    assert "ResourceWarning" in run.stderr
    kinds = [e["event"] for e in portmdl.read_log(log_folder)]
    assert "close" in kinds


def test_the_fixture_fails_a_test_that_leaves_a_port_open(sim_cable, tmp_path):
    cable = sim_cable(echo=True)
    (tmp_path / "test_leaves.py").write_text(textwrap.dedent(f"""
        import portmdl
        kept = []
        def test_leaves_it_open():
            kept.append(portmdl.Port({cable.path!r}))
        def test_next_opens():
            with portmdl.Port({cable.path!r}):
                pass
        """))
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p",
                          "portmdl.pytest_plugin", str(tmp_path / "test_leaves.py")],
                         capture_output=True, text=True, timeout=120)
    assert "left <portmdl.Port" in run.stdout, run.stdout
    assert "2 passed, 1 error" in run.stdout, run.stdout  # the error is the first test's teardown


def test_a_phone_that_hangs_up_raises(sim_cable):
    cable = sim_cable(echo=True)
    with portmdl.Port(cable.path, timeout=3) as port:
        port.write(b"x")
        assert port.read_exact(1) == b"x"
        os.kill(cable.pid, signal.SIGKILL)
        for read in (lambda: port.read(3, timeout=30), lambda: port.read_exact(3, timeout=30),
                     lambda: port.read_until(b"\n", timeout=30)):
            with pytest.raises(portmdl.SerialException) as caught:
                read()
            assert caught.value.errno == 5 and "hung up" in str(caught.value)


def test_time_outs_leave_the_modules_record_in_the_log(sim_cable, log_folder):
    cable = sim_cable({b"NOISE": b"abc"})
    portmdl.log(log_folder, "py-phone")
    with portmdl.Port(cable.path, timeout=3) as port:
        with pytest.raises(portmdl.TimeoutError):
            port.read_exact(4, timeout=0.7)
        port.write(b"NOISE")
        assert port.read(10, timeout=0.7) == b"abc"
        assert port.read(1, timeout=0) == b""  # a look, not a wait: no record
    records = [(e["timeout_ms"], e["obtained"]) for e in portmdl.read_log(log_folder)
               if e["event"] == "timeout"]
    assert records == [(700, 0), (700, 3)]


@pytest.mark.parametrize("terminator,says", [
    (5, "terminator must be bytes, not int"),
    ("OK", "terminator must be bytes, not str"),
    (None, "terminator must be bytes, not NoneType"),
    ([1, 2], "terminator must be bytes, not list"),
])
def test_read_until_refuses_what_is_no_terminator(sim_cable, terminator, says):
    cable = sim_cable(echo=True)
    with portmdl.Port(cable.path) as port:
        with pytest.raises(TypeError, match=says):
            port.read_until(terminator)


REPLIES = {b"AT\r": b"C:\\temp\\x41\r\n", b"B\\S": b"\\\\ back\\slash \x00\xff=", b"E=Q": b"eq"}


@pytest.mark.parametrize("simulator", ["sim_cable", "sim_modem"])
def test_simulated_replies_reach_the_phone_byte_for_byte(request, simulator):
    request.getfixturevalue(simulator)(REPLIES)
    with portmdl.Port(cable=5) if simulator == "sim_modem" else portmdl.Port(cable=1002) as port:
        for ask, answer in REPLIES.items():
            port.write(ask)
            assert port.read_exact(len(answer), timeout=3) == answer
