#!/usr/bin/python3
"""The Python package against C, in one run: a 1 MiB receive and 1000 exchanges of 16 bytes each
way, through the library on a pseudo-terminal whose far end is a separate process (so the peer
costs every side the same), through C, portmdl.Port and portmdl.Serial (as a pyserial script
does them: read(n) with a time-out in seconds). The three take turns, ROUNDS times, so that a
change in the machine's load meets all; prints the median of each and their ratios to C.

    bench/bench_python.py BUILD_DIR      (a build with -DPM_BUILD_BENCH=ON)
"""

import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

RECEIVE = 1 << 20
EXCHANGES = 1000
SIZE = 16
ROUNDS = 3

# The far end: answers b"S" with RECEIVE bytes and echoes anything else.
PEER = f"""
import os, sys, tty
master, slave = os.openpty()
tty.setraw(slave)
print(os.ttyname(slave), flush=True)
block = bytes(range(256)) * ({RECEIVE} // 256)
while True:
    data = os.read(master, 4096)
    if not data:
        break
    if data == b"S":
        view = memoryview(block)
        while view:
            view = view[os.write(master, view):]
    else:
        os.write(master, data)
"""


def peer():
    process = subprocess.Popen([sys.executable, "-c", PEER], stdout=subprocess.PIPE, text=True)
    return process, process.stdout.readline().strip()


def timed(port, read):
    """The receive and the exchanges on an open port; read(n) takes n bytes."""
    request = b"x" * SIZE
    port.write(request)
    read(SIZE)  # waits for the reader thread to start
    start = time.monotonic()
    port.write(b"S")
    data = read(RECEIVE)
    receive = time.monotonic() - start
    assert len(data) == RECEIVE
    start = time.monotonic()
    for _ in range(EXCHANGES):
        port.write(request)
        if len(read(SIZE)) != SIZE:
            raise RuntimeError("an exchange timed out")
    return receive, time.monotonic() - start


def port_run(portmdl, device):
    with portmdl.Port(device, timeout=5) as port:
        return timed(port, port.read_exact)


def serial_run(portmdl, device):
    with portmdl.Serial(device, timeout=5) as serial:
        return timed(serial, serial.read)


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build-bench").resolve()
    os.environ.setdefault("PORTMDL_LIBRARY", str(build / "libportmdl.so.0"))
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    import portmdl

    process, device = peer()
    c_runs, port_runs, serial_runs = [], [], []
    try:
        for _ in range(ROUNDS):
            out = subprocess.run([str(build / "bench" / "python_c_host"), device, str(RECEIVE),
                                  str(EXCHANGES), str(SIZE)], capture_output=True, text=True,
                                 check=True).stdout.split()
            c_runs.append(tuple(float(x) for x in out))
            port_runs.append(port_run(portmdl, device))
            serial_runs.append(serial_run(portmdl, device))
    finally:
        process.kill()
        process.wait()
    print(f"{'median of ' + str(ROUNDS) + ' rounds':28}{'C':>10}{'Port':>10}{'Serial':>10}"
          f"{'Port/C':>10}{'Serial/C':>10}")
    for i, label in enumerate((f"receive {RECEIVE >> 20} MiB (ms)", f"{EXCHANGES} exchanges (ms)")):
        c_s, port_s, serial_s = (statistics.median(run[i] for run in runs)
                                 for runs in (c_runs, port_runs, serial_runs))
        print(f"{label:28}{c_s * 1000:10.1f}{port_s * 1000:10.1f}{serial_s * 1000:10.1f}"
              f"{port_s / c_s:10.2f}{serial_s / c_s:10.2f}")


if __name__ == "__main__":
    main()
