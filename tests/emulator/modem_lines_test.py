"""The preloaded modem-line library on real pseudo-terminals: the upgrader's
modem ioctls, open and close as a UART's, waits woken by the fixture's lines
and by signals, and the two refusals.

    python3 modem_lines_test.py LIBRARY

runs itself again with LIBRARY preloaded and a fresh KELVORA_MODEM_LINES
folder, under a hang guard."""

import errno
import fcntl
import os
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(HERE, "..", "support")
sys.path.insert(0, SUPPORT)

from modem_lines import LINES, ModemLines  # noqa: E402

HELPER = os.path.join(SUPPORT, "modem_lines.py")
DTR, RTS, CTS, DSR = LINES["dtr"], LINES["rts"], LINES["cts"], LINES["dsr"]


class Interrupted(Exception):
    pass


def modem_bits(fd):
    return struct.unpack("I", fcntl.ioctl(fd, termios.TIOCMGET, struct.pack("I", 0)))[0]


def modem_call(fd, request, bits):
    fcntl.ioctl(fd, request, struct.pack("I", bits))


def later(seconds, action):
    """action on a thread of its own after seconds; join() it afterwards."""
    thread = threading.Thread(target=lambda: (time.sleep(seconds), action()))
    thread.start()
    return thread


class PreloadedModemLines(unittest.TestCase):
    def setUp(self):
        self.folder = os.environ["KELVORA_MODEM_LINES"]
        self.master, self.hold = os.openpty()
        self.path = os.ttyname(self.hold)
        self.lines = ModemLines(self.folder, self.path)
        self.fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY)

    def tearDown(self):
        if self.fd >= 0:
            os.close(self.fd)
        self.lines.close()
        os.close(self.hold)
        os.close(self.master)

    def set_hupcl(self, fd, on):
        attrs = termios.tcgetattr(fd)
        attrs[2] = attrs[2] | termios.HUPCL if on else attrs[2] & ~termios.HUPCL
        termios.tcsetattr(fd, termios.TCSANOW, attrs)

    def test_open_raises_and_last_close_with_hupcl_drops_dtr_rts(self):
        self.assertEqual(modem_bits(self.fd) & (DTR | RTS), DTR | RTS)
        # HUPCL as a UART's settings start with it, though a pty's do not.
        second = os.open(self.path, os.O_RDWR | os.O_NOCTTY)
        os.close(second)
        self.assertEqual(self.lines.get()["dtr"], True, "another descriptor is still open")
        os.close(self.fd)
        self.fd = -1
        self.assertEqual((self.lines.get()["dtr"], self.lines.get()["rts"]), (False, False))

        self.fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY)
        self.assertEqual((self.lines.get()["dtr"], self.lines.get()["rts"]), (True, True))
        self.set_hupcl(self.fd, False)
        os.close(self.fd)
        self.fd = -1
        self.assertEqual((self.lines.get()["dtr"], self.lines.get()["rts"]), (True, True), "no HUPCL: lines stay")

    def test_set_clear_and_get_round_trip(self):
        modem_call(self.fd, termios.TIOCMBIC, DTR | RTS)
        self.assertEqual(modem_bits(self.fd) & (DTR | RTS), 0)
        modem_call(self.fd, termios.TIOCMBIS, RTS)
        self.assertEqual(modem_bits(self.fd) & (DTR | RTS), RTS)
        self.assertEqual(self.lines.get()["rts"], True)
        modem_call(self.fd, termios.TIOCMSET, DTR)
        self.assertEqual(modem_bits(self.fd) & (DTR | RTS), DTR)
        # The far end's lines: set by the fixture, read-only for the host.
        self.lines.set("dsr", True)
        self.assertEqual(modem_bits(self.fd) & (DSR | CTS), DSR)
        modem_call(self.fd, termios.TIOCMBIC, DSR)
        modem_call(self.fd, termios.TIOCMBIS, CTS)
        self.assertEqual(modem_bits(self.fd) & (DSR | CTS), DSR)

    def test_wait_wakes_on_a_change_of_a_waited_line_only(self):
        # A wait sees the changes after it began: the fixture acts a while
        # after the waiter is about to wait, and a busy machine may take that
        # long to get there, so CTS changes again until the wait has ended.
        waiting = threading.Event()
        woken = threading.Event()

        def fixture():
            waiting.wait()
            time.sleep(0.3)
            subprocess.run([sys.executable, HELPER, self.folder, self.path, "set", "dsr", "on"], check=True)
            state = "on"
            while not woken.wait(0.5):
                subprocess.run([sys.executable, HELPER, self.folder, self.path, "set", "cts", state], check=True)
                state = "off" if state == "on" else "on"

        thread = later(0, fixture)
        waiting.set()
        try:
            self.assertEqual(fcntl.ioctl(self.fd, termios.TIOCMIWAIT, CTS), 0)
        finally:
            woken.set()
        thread.join()
        self.assertGreater(self.lines.changes_of("cts"), 0, "woken by a CTS change, not the DSR one")

    def test_wait_ends_with_eintr_on_a_signal(self):
        # A signal that comes just before the wait begins is lost to it (as
        # with the kernel's own wait): the signal is sent again until the
        # wait has ended, as the upgrader's stop does; only the first one
        # raises.
        ended = threading.Event()

        def interrupt(signum, frame):
            if not ended.is_set():
                ended.set()
                raise Interrupted()

        def keep_interrupting():
            while not ended.wait(0.05):
                signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)

        previous = signal.signal(signal.SIGUSR1, interrupt)
        try:
            thread = later(0.2, keep_interrupting)
            with self.assertRaises(Interrupted):
                fcntl.ioctl(self.fd, termios.TIOCMIWAIT, CTS | DSR)
            thread.join()
        finally:
            signal.signal(signal.SIGUSR1, previous)

    def test_refusals(self):
        self.lines.refuse(wait=True)
        self.assertEqual(modem_bits(self.fd) & DTR, DTR, "only the wait is refused")
        with self.assertRaises(OSError) as caught:
            fcntl.ioctl(self.fd, termios.TIOCMIWAIT, CTS)
        self.assertEqual(caught.exception.errno, errno.EINVAL)

        self.lines.refuse(all=True, wait=False)
        for request, arg in ((termios.TIOCMGET, struct.pack("I", 0)), (termios.TIOCMBIS, struct.pack("I", DTR)),
                             (termios.TIOCMIWAIT, CTS)):
            with self.assertRaises(OSError) as caught:
                fcntl.ioctl(self.fd, request, arg)
            self.assertEqual(caught.exception.errno, errno.ENOTTY)
        self.lines.refuse(all=False)
        self.assertEqual(modem_bits(self.fd) & DTR, DTR)

    def test_without_the_folder_nothing_changes(self):
        probe = ("import fcntl, os, struct, termios\n"
                 "m, s = os.openpty()\n"
                 "fd = os.open(os.ttyname(s), os.O_RDWR | os.O_NOCTTY)\n"
                 "try:\n"
                 "    fcntl.ioctl(fd, termios.TIOCMGET, struct.pack('I', 0))\n"
                 "    print('answered')\n"
                 "except OSError as e:\n"
                 "    print(e.errno)\n")
        env = dict(os.environ)
        del env["KELVORA_MODEM_LINES"]
        result = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True, text=True, timeout=30)
        self.assertEqual(result.stdout.strip(), str(errno.ENOTTY))


def main():
    if "KELVORA_MODEM_LINES" in os.environ:
        unittest.main(argv=[sys.argv[0]])
        return
    library = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="modem-lines-") as folder:
        env = dict(os.environ, LD_PRELOAD=library, KELVORA_MODEM_LINES=folder)
        try:
            sys.exit(subprocess.run([sys.executable, os.path.abspath(__file__)], env=env, timeout=100).returncode)
        except subprocess.TimeoutExpired:
            sys.exit("modem_lines_test: hung (a wait never ended)")


if __name__ == "__main__":
    main()
