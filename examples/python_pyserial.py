#!/usr/bin/python3
"""A script written for pyserial, run on portmdl: only its import changed. It asks the phone who
it is and reads the answer line by line, up to the final result.

    python_pyserial.py PORT

PORT: a device path or listed name (usbmodem1), cable:TYPE (cable:5 is the phone modem), or
bluetooth:ADDRESS:INDEX. Without a phone,
`pmsim-cable --reply 'ATI\\r=\\r\\nModel\\r\\n\\r\\nOK\\r\\n'` prints a device to use.
"""

import sys

import portmdl as serial  # was: import serial


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        # The first read allows more than 0.5 s: the module starts reading after that.
        with serial.Serial(sys.argv[1], baudrate=115200, timeout=2) as port:
            port.reset_input_buffer()
            port.write(b"ATI\r")
            for line in port:  # each line until one takes longer than the time-out
                line = line.strip()
                if line:
                    print("phone:", line.decode("ascii", "replace"))
                if line in (b"OK", b"ERROR"):
                    return 0 if line == b"OK" else 1
            print("no final result from the phone", file=sys.stderr)
            return 1
    except serial.SerialException as e:
        print(f"failed: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
