"""The box emulator as the Python tests and benchmarks drive it: stb-emulator
started on its own pseudo-terminal, whose path is its first stdout line, and
whose last line is its summary:

    stb-emulator: sessions=S blocks=B bytes=N crc_errors=E sync_bytes=K verdict=V
"""

import queue
import re
import subprocess
import threading

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
