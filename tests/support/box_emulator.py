"""The box emulator as the Python tests and benchmarks drive it: stb-emulator
started on its own pseudo-terminal, whose path is its first stdout line, and
whose last line is its summary:

    stb-emulator: sessions=S blocks=B bytes=N crc_errors=E sync_bytes=K verdict=V
"""

import argparse
import os
import queue
import re
import subprocess
import tempfile
import threading
from unittest import mock

SUMMARY = re.compile(r"^stb-emulator: sessions=(\d+) blocks=(\d+) bytes=(\d+) crc_errors=(\d+) "
                     r"sync_bytes=(\d+) verdict=(\S+)$")


class Emulator:
    """One stb-emulator process (path, then its options); its pty path in
    .port, its summary from finish(). Its diagnostics go to the file log, or
    nowhere."""

    def __init__(self, path, *args, log=None):
        self.log = log
        if log is None:
            self.proc = subprocess.Popen([path, *args], stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL, text=True)
        else:
            with open(log, "wb") as stderr:
                self.proc = subprocess.Popen([path, *args], stdout=subprocess.PIPE,
                                             stderr=stderr, text=True)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        try:
            self.port = self.lines.get(timeout=10)
        except queue.Empty:
            self.port = None
        if self.port is None:
            self.proc.kill()
            self._close()
            raise RuntimeError("the emulator did not start")
        self.summary = None
        self.summary_line = None
        # A session the box itself ended (verdict given, transfer cancelled,
        # line hung up) ends the emulator; a stopped one counts as cancelled.
        self.ended_by_itself = False

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def alive(self):
        return self.proc.poll() is None

    def kill(self):
        self.proc.kill()

    def finish(self, wait=3.0):
        """Lets the emulator end its session within wait seconds, else stops
        it; gives its summary as a dict (None when it printed none: killed)."""
        try:
            self.proc.wait(timeout=wait)
            self.ended_by_itself = True
        except subprocess.TimeoutExpired:
            self.proc.terminate()
        self._close()
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                break
            match = SUMMARY.match(line or "")
            if match:
                self.summary_line = line
                self.summary = {
                    "sessions": int(match[1]), "blocks": int(match[2]), "bytes": int(match[3]),
                    "crc_errors": int(match[4]), "sync_bytes": int(match[5]), "verdict": match[6],
                }
        return self.summary

    def log_text(self):
        with open(self.log, "r", errors="replace") as f:
            return f.read()

    def _close(self):
        """Ends the process (killed if a stop takes over 10 s) and its reader."""
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(timeout=5)
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
        self._close()


class BoxWorkdir:
    """A test case's own folder, with an image of image_size random bytes
    (self.image, self.data), a record path (self.record) and boxes that save
    what they receive. The test module sets emulator_path."""

    emulator_path = None
    image_size = 5000

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="kelvora-")
        self.dir = self._tmp.name
        self.image = os.path.join(self.dir, "image.ssu")
        self.data = os.urandom(self.image_size)
        with open(self.image, "wb") as f:
            f.write(self.data)
        self.record = os.path.join(self.dir, "records.jsonl")
        # A station keeps its unit store in the user's state folder: here
        # the case's own, never the real user's.
        self._state = mock.patch.dict(os.environ, {"XDG_STATE_HOME": os.path.join(self.dir, "state")})
        self._state.start()

    def tearDown(self):
        self._state.stop()
        self._tmp.cleanup()

    def boxes(self, stack, options_per_box, *common):
        """One emulator per entry (its options after the common ones), each
        saving what it receives: a list of (emulator, saved file)."""
        boxes = []
        for i, options in enumerate(options_per_box):
            saved = os.path.join(self.dir, f"saved-{i}.bin")
            emulator = Emulator(self.emulator_path, "--save", saved, *common, *options)
            boxes.append((stack.enter_context(emulator), saved))
        return boxes


def e2e_paths():
    """The --cli and --emulator paths a test module is run with, the
    emulator's set for BoxWorkdir; gives (cli, emulator, the other args)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--emulator", required=True)
    known, rest = parser.parse_known_args()
    BoxWorkdir.emulator_path = known.emulator
    return known.cli, known.emulator, rest
