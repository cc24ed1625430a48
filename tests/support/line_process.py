"""A process driven by lines, as a line controller drives the station: lines
go to its stdin, its stdout lines are taken as they come."""

import queue
import re
import subprocess
import threading
import time


class LineProcess:
    """args run with stdin and stdout on pipes; a reader thread puts each
    stdout line on a queue (None at the end of the output), so that a wait
    has a deadline. stderr is a pipe read by finish(), or what the caller
    gives (a file). wait is the default hang guard of wait_for and finish."""

    def __init__(self, args, stderr=subprocess.PIPE, wait=60, env=None):
        self.wait = wait
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr,
                                     text=True, errors="replace", bufsize=1, env=env)
        self.pid = self.proc.pid
        self.lines = queue.Queue()  # put by the reader, taken by whoever waits
        self.out = []  # the lines taken so far
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def send(self, line):
        try:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            status = self.proc.wait(timeout=self.wait)
            err = self.proc.stderr.read() if self.proc.stderr else ""
            raise AssertionError(f"the process ended ({status}) before {line!r}:\n{self.describe()}\n{err}")

    def describe(self):
        """What a failure shows: the last lines of the output."""
        return "\n".join(self.out[-40:])

    def next_line(self, timeout):
        """The next stdout line, or None when none came in time; the end of
        the output is a failure."""
        try:
            line = self.lines.get(timeout=max(0.0, timeout))
        except queue.Empty:
            return None
        if line is None:
            self.lines.put(None)  # the end stays the end for the next reader
            status = self.proc.wait(timeout=self.wait)
            err = self.proc.stderr.read() if self.proc.stderr and not self.proc.stderr.closed else ""
            raise AssertionError(f"the process ended early ({status}):\n{self.describe()}\n{err or ''}")
        self.out.append(line)
        return line

    def wait_for(self, pattern, timeout=None):
        """Takes stdout lines until one matches; gives the match."""
        deadline = time.monotonic() + (self.wait if timeout is None else timeout)
        while time.monotonic() < deadline:
            try:
                line = self.next_line(min(1.0, deadline - time.monotonic()))
            except AssertionError as ended:
                raise AssertionError(f"no line matching {pattern!r}: {ended}") from None
            if line is not None:
                match = re.search(pattern, line)
                if match:
                    return match
        raise AssertionError(f"no line matching {pattern!r} in:\n" + self.describe())

    def saw(self, pattern, timeout=None):
        """As wait_for, and also among the lines taken so far (a line
        that may come before or after another one waited for)."""
        for line in self.out:
            match = re.search(pattern, line)
            if match:
                return match
        return self.wait_for(pattern, timeout)

    def finish(self):
        """Waits for the process to end; gives (status, all stdout, stderr;
        None when stderr was not a pipe). The pipes are closed."""
        status = self.proc.wait(timeout=self.wait)
        self.reader.join(timeout=10)
        while not self.lines.empty():
            line = self.lines.get_nowait()
            if line is not None:
                self.out.append(line)
        err = self.proc.stderr.read() if self.proc.stderr else None
        self._close()
        return status, "\n".join(self.out), err

    def kill(self):
        """Kills the process if it still runs, and closes the pipes."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(timeout=10)  # the output ended with the process
        self._close()

    def _close(self):
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream:
                try:
                    stream.close()
                except OSError:  # stdin's last bytes found no reader
                    pass
