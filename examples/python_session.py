#!/usr/bin/python3
"""A session through the portmdl Python package: log, open, exchange AT commands, close, then
read the log back as events.

    python_session.py DEVICE LOG_FOLDER

Without a phone: `pmsim-cable --reply 'AT\\r=\\r\\nOK\\r\\n'` prints a DEVICE to use. A script
written for pyserial runs on portmdl.Serial instead: see python_pyserial.py.
"""

import os
import sys

import portmdl


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    device, folder = sys.argv[1:]
    os.makedirs(folder, exist_ok=True)
    portmdl.log(folder, "python-example")
    try:
        # The first receive allows more than 0.5 s: the module starts reading after that.
        with portmdl.Port(device, timeout=2.0, speed=115200) as port:
            port.write(b"AT\r")
            print("answer:", port.read_until(b"OK\r\n"))
    except portmdl.TimeoutError as e:
        print(f"no answer: {e}", file=sys.stderr)
        return 1
    except portmdl.PortError as e:
        print(f"failed: {e}", file=sys.stderr)
        return 1

    for event in portmdl.read_log(folder):
        if event["event"] in ("send", "receive"):
            print(f"{event['event']:8} {bytes.fromhex(event['hex'])!r}")
        elif event["event"] == "summary":
            print(f"{event['communications']} communication(s) in the log")
    return 0


if __name__ == "__main__":
    sys.exit(main())
