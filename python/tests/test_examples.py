"""The Python examples run as a user runs them, against the cable simulator."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent.parent / "examples"
ATI = b"\r\nModel X\r\n\r\nOK\r\n"


def run(example, *args):
    return subprocess.run([sys.executable, str(EXAMPLES / example), *map(str, args)],
                          capture_output=True, text=True, timeout=60)


def test_the_session_logs_and_reads_the_log_back(sim_cable, tmp_path):
    cable = sim_cable({b"AT\r": b"\r\nOK\r\n"})
    done = run("python_session.py", cable.path, tmp_path / "log")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert "answer: b'\\r\\nOK\\r\\n'" in lines
    assert "receive  b'\\r\\nOK\\r\\n'" in lines
    assert "1 communication(s) in the log" in lines


@pytest.mark.parametrize("kind", ["path", "listed name", "modem"])
def test_the_pyserial_script_reads_the_answer_line_by_line(sim_cable, sim_modem, kind):
    if kind == "modem":
        sim_modem({b"ATI\r": ATI})
        port = "cable:5"
    else:
        cable = sim_cable({b"ATI\r": ATI})
        port = cable.path if kind == "path" else os.path.basename(cable.link)
    done = run("python_pyserial.py", port)
    assert (done.returncode, done.stdout, done.stderr) == (0, "phone: Model X\nphone: OK\n", "")


def test_the_pyserial_script_fails_as_a_script_does(sim_cable, tmp_path):
    silent = sim_cable({b"AT\r": b"\r\nOK\r\n"})
    cases = [(silent.path, "no final result from the phone"),
             (tmp_path / "gone", "failed: open")]
    for port, message in cases:
        done = run("python_pyserial.py", port)
        assert done.returncode != 0 and message in done.stderr, (port, done.stderr)
