"""The modem lines of a pseudo-terminal, as the preloaded library
libkelvora_modem_lines.so gives them to the upgrader: a test plays the fixture
(lid switch on CTS, DSR, DCD or RI) and watches the relay lines (DTR, RTS).

The state of /dev/pts/N lives in FOLDER/pts-N (FOLDER is what
KELVORA_MODEM_LINES names), 32 bytes in the machine's byte order: the TIOCM_*
bits of the lines, a change counter, "refuse every modem ioctl" (ENOTTY),
"refuse TIOCMIWAIT" (EINVAL), then an edge counter each for CTS, DSR, DCD and
RI. Writers hold flock(LOCK_EX) on the file.

    python3 modem_lines.py FOLDER PTY set dsr on
    python3 modem_lines.py FOLDER PTY get
    python3 modem_lines.py FOLDER PTY refuse all|wait on|off
    python3 modem_lines.py FOLDER PTY wait dtr on|off [SECONDS]
"""

import fcntl
import mmap
import os
import struct
import sys
import time

# TIOCM_* bits (Linux).
LINES = {"dtr": 0x002, "rts": 0x004, "cts": 0x020, "dcd": 0x040, "ri": 0x080, "dsr": 0x100}
# Edge counters, in their order in the file.
EDGES = ["cts", "dsr", "dcd", "ri"]
LAYOUT = struct.Struct("=8I")
LINES_AT, CHANGES_AT, REFUSE_ALL_AT, REFUSE_WAIT_AT, EDGES_AT = 0, 4, 8, 12, 16
PTY_SLAVE_MAJORS = range(136, 144)


def pty_index(pty_path):
    """N of /dev/pts/N, from the device number (as the library takes it)."""
    device = os.stat(pty_path).st_rdev
    major = os.major(device)
    if major not in PTY_SLAVE_MAJORS:
        raise ValueError(f"{pty_path} is not a pseudo-terminal slave")
    return (major - PTY_SLAVE_MAJORS[0]) * 256 + os.minor(device)


class ModemLines:
    """The lines of the pty at pty_path, in folder; the file is made when
    missing, zero-filled."""

    def __init__(self, folder, pty_path):
        self.path = os.path.join(folder, f"pts-{pty_index(pty_path)}")
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        if os.fstat(self.fd).st_size < LAYOUT.size:
            os.ftruncate(self.fd, LAYOUT.size)
        self.map = mmap.mmap(self.fd, LAYOUT.size)

    def close(self):
        self.map.close()
        os.close(self.fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _word(self, at):
        return struct.unpack_from("=I", self.map, at)[0]

    def _put(self, at, value):
        struct.pack_into("=I", self.map, at, value)

    def get(self):
        """{name: asserted} for every line."""
        bits = self._word(LINES_AT)
        return {name: bool(bits & bit) for name, bit in LINES.items()}

    def set(self, name, value):
        """Asserts (True) or drops (False) one line, counting the change."""
        bit = LINES[name]
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        try:
            before = self._word(LINES_AT)
            after = before | bit if value else before & ~bit
            if after != before:
                self._put(LINES_AT, after)
                if name in EDGES:
                    at = EDGES_AT + 4 * EDGES.index(name)
                    self._put(at, (self._word(at) + 1) & 0xFFFFFFFF)
                self._put(CHANGES_AT, (self._word(CHANGES_AT) + 1) & 0xFFFFFFFF)
        finally:
            fcntl.flock(self.fd, fcntl.LOCK_UN)

    def refuse(self, all=None, wait=None):
        """all: every modem ioctl fails with ENOTTY (an adapter without
        lines); wait: only TIOCMIWAIT fails, with EINVAL. None leaves a
        switch as it is."""
        fcntl.flock(self.fd, fcntl.LOCK_EX)
        try:
            if all is not None:
                self._put(REFUSE_ALL_AT, int(bool(all)))
            if wait is not None:
                self._put(REFUSE_WAIT_AT, int(bool(wait)))
        finally:
            fcntl.flock(self.fd, fcntl.LOCK_UN)

    def changes(self):
        return self._word(CHANGES_AT)

    def changes_of(self, name):
        """How often the input line name (cts, dsr, dcd, ri) has changed."""
        return self._word(EDGES_AT + 4 * EDGES.index(name))

    def wait_for(self, name, value, timeout):
        """True once the line is as asked, False at the timeout."""
        deadline = time.monotonic() + timeout
        while self.get()[name] != bool(value):
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.005)
        return True


def _switch(text):
    if text not in ("on", "off"):
        raise SystemExit(f"modem_lines.py: expected on or off, not {text!r}")
    return text == "on"


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    folder, pty, command, *rest = argv
    with ModemLines(folder, pty) as lines:
        if command == "get" and not rest:
            print(" ".join(f"{name}={int(on)}" for name, on in lines.get().items()))
        elif command == "set" and len(rest) == 2 and rest[0] in LINES:
            lines.set(rest[0], _switch(rest[1]))
        elif command == "refuse" and len(rest) == 2 and rest[0] in ("all", "wait"):
            lines.refuse(**{rest[0]: _switch(rest[1])})
        elif command == "wait" and len(rest) in (2, 3) and rest[0] in LINES:
            timeout = float(rest[2]) if len(rest) == 3 else 10.0
            return 0 if lines.wait_for(rest[0], _switch(rest[1]), timeout) else 1
        else:
            print(__doc__.strip(), file=sys.stderr)
            return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
