#!/usr/bin/env python3
"""The fault matrix: every way a bench can go wrong, driven through the real
kelvora-upgrader against the real box emulator on a pseudo-terminal.

    fault_matrix.py --cli PATH --emulator PATH [--jobs 2] [--only WORD]
    fault_matrix.py --wine EXE --emulator PATH --com-link PATH

Each row of ROWS names the box's fault (emulator options), the image, the
command line's options and what must come out: the exit status, the last
message, the box's own account (its summary line and log), and the resource
report the command line prints with KELVORA_RESOURCE_REPORT=1:

    resources-start: fds=N                                          (first)
    resources: buffers_obtained=N buffers_released=N threads=N fds=N  (last)

Every row must show the image buffer released exactly as often as it was
obtained, one thread left (the main one) and as many descriptors as at the
start; and where the box is still on the line afterwards, the port is free
again (not held exclusive, not locked).

With --wine the rows marked for Windows run the Windows build under Wine with
COM1 mapped to --com-link (tests/wine/run_fault_tests.sh sets that up); each
emulator points that link at its own pseudo-terminal.

Prints one line per row and a summary line; exits 1 when a row fails.
"""

import argparse
import concurrent.futures
import dataclasses
import fcntl
import os
import pty
import pwd
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
from typing import Optional

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from box_emulator import Emulator  # noqa: E402

MSG_POWER_OFF = "Power off STB !!!"
MSG_RESTART = "First press OK, and restart STB !!!"
MSG_OPEN_PORT = "Open COM Port !!!"
MSG_COMPLETED = ("Download Complted !!!\n\nPlease wait till STB rebooting automatically "
                 "and don't power off..")
MSG_REFUSED = "Download Failure !!! \n\n SSU file incorrect !!!!"
ERROR_1, ERROR_2, ERROR_31, ERROR_3, ERROR_4 = (
    "Error 1 !!!", "Error 2 !!!", "Error 31 !!!", "Error 3 !!!", "Error 4 !!!")
FINAL_MESSAGES = [MSG_COMPLETED, MSG_REFUSED, MSG_OPEN_PORT,
                  ERROR_1, ERROR_2, ERROR_31, ERROR_3, ERROR_4]
STATUS_CHECKING = "Please wait ! Checking image."
STATUS_BURNING = "Please wait ! Burning image"
STATUS_SYNC = "Check Sync bytes"

RESOURCES_START = re.compile(r"^resources-start: fds=(\d+)$")
RESOURCES_END = re.compile(r"^resources: buffers_obtained=(\d+) buffers_released=(\d+) "
                           r"threads=(\d+) fds=(\d+)$")
PROGRESS_LINE = r"^\d+ / \d+$"
# What the emulator logs (-v) when a cancel frame reaches it.
BOX_CANCEL_FRAME = "transfer cancelled by the sender (frame"

KIB = 1024
MIB = 1024 * 1024
IMAGE_CAPACITY = 16 * MIB
SYNC_POLL_LIMIT = 6001   # the sync watch sends one space per poll, at most this many
TIOCGEXCL = 0x80045440   # _IOR('T', 0x40, int): is the terminal held exclusive?

# The box stays on the line after its session ended and keeps its verdict:
# no session limit, and an autoboot window longer than any row, so that a
# reboot does not end a second session with "no-transfer".
STAYS = ["--sessions", "0", "--autoboot-ms", "120000"]
# Paced like a real line, so that a transfer lasts long enough to be hit.
PACED = ["--baud", "115200"]

# Seconds after SIGINT within which the command line must have ended.
EXIT_AFTER_CTRL_C = 10


@dataclasses.dataclass
class Row:
    name: str
    box: list                       # emulator options; None: no emulator at all
    rc: int                         # exit status
    message: Optional[str]          # the last final message on stdout; None: none at all
    limit: float                    # hang guard, seconds for the whole row
    buffers: int                    # image buffers obtained (and so released)
    image: object = 5000            # size in bytes, or "missing", "directory"
    mode: int = 0o644               # the image file's permissions
    as_nobody: bool = False         # run the command line as an unprivileged user
    cli: list = dataclasses.field(default_factory=lambda: ["--yes"])
    port: str = "box"               # "box": the emulator's; "missing"; "busy"
    stdin_terminal: bool = False    # stdin a pty, so that the prompts wait for Enter
    # While the command line runs: when a stdout line matches `when`, wait
    # `delay` seconds, then "sigint" the command line or "kill-box" (SIGKILL).
    act: Optional[str] = None
    when: Optional[str] = None
    delay: float = 0.0
    summary: dict = dataclasses.field(default_factory=dict)   # expected summary fields
    box_log: list = dataclasses.field(default_factory=list)   # must be in the box's log
    not_box_log: list = dataclasses.field(default_factory=list)
    stdout: list = dataclasses.field(default_factory=list)    # must be on stdout
    not_stdout: list = dataclasses.field(default_factory=list)
    stderr: list = dataclasses.field(default_factory=list)    # must be on stderr
    win_stderr: Optional[list] = None  # instead of stderr under Wine (the system's texts differ)
    saved: bool = False             # the box's saved image must be the file + 0xFF fill
    wine: bool = False              # also run for the Windows build under Wine


NO_CANCEL = [BOX_CANCEL_FRAME]
# What the box logs for a frame it already had, or one it could not use.
BLOCK_SENT_TWICE = ["repeated", "bad frame"]

ROWS = [
    # --- box faults -------------------------------------------------------
    # A NAK refuses the block: Error 31, the cancel frame reaches the box,
    # and the box holds exactly the blocks before the refused one.
    Row("NAK on the first block", ["--nak-block", "1"] + STAYS, 1, ERROR_31, 30, 1,
        summary={"blocks": 0, "verdict": "cancelled"}, box_log=[BOX_CANCEL_FRAME], wine=True),
    Row("NAK on a middle block", ["--nak-block", "3"] + STAYS, 1, ERROR_31, 30, 1,
        summary={"blocks": 2, "verdict": "cancelled"}, box_log=[BOX_CANCEL_FRAME]),
    Row("NAK on the last block", ["--nak-block", "5"] + STAYS, 1, ERROR_31, 30, 1,
        summary={"blocks": 4, "verdict": "cancelled"}, box_log=[BOX_CANCEL_FRAME]),
    # A block without an answer: Error 3 after its 5001 polls, then the
    # cancel frame.
    Row("silence on a block", ["--silent-block", "2"] + STAYS, 1, ERROR_3, 60, 1,
        summary={"blocks": 1, "verdict": "cancelled"}, box_log=[BOX_CANCEL_FRAME], wine=True),
    # Console text before an ACK is not an answer: the sender drops it.
    Row("garbage before an ACK", ["--garbage-before-ack", "2"] + STAYS, 0, MSG_COMPLETED, 30, 1,
        summary={"blocks": 5, "crc_errors": 0, "verdict": "completed"}, saved=True,
        not_box_log=BLOCK_SENT_TWICE),
    # The second ACK of block 2 is discarded with whatever else waits on the
    # line before block 3 goes out, so every block gets its own answer and
    # the box reads each frame once, in order.
    Row("doubled ACK", ["--double-ack", "2"] + STAYS, 0, MSG_COMPLETED, 30, 1,
        summary={"blocks": 5, "crc_errors": 0, "verdict": "completed"}, saved=True,
        not_box_log=BLOCK_SENT_TWICE),
    # Watch time-outs send nothing more to the box: no cancel frame. The sync
    # watch sends exactly one space per poll, 6001 of them.
    Row("no menu", ["--no-menu"] + STAYS, 1, ERROR_1, 60, 1,
        summary={"blocks": 0, "sync_bytes": SYNC_POLL_LIMIT, "bytes": SYNC_POLL_LIMIT},
        not_box_log=NO_CANCEL, wine=True),
    Row("no C", ["--no-c"] + STAYS, 1, ERROR_2, 90, 1,
        summary={"blocks": 0}, not_box_log=NO_CANCEL),
    Row("no verdict", ["--no-verdict"] + STAYS, 1, ERROR_4, 90, 1,
        summary={"blocks": 5, "verdict": "no-verdict"}, not_box_log=NO_CANCEL, saved=True),
    Row("burning line repeated 50 times", ["--burn-repeats", "50"] + STAYS, 0, MSG_COMPLETED, 30, 1,
        summary={"verdict": "completed"}, stdout=[STATUS_BURNING]),
    # Console text before the menu: each poll of the catch takes all that has
    # arrived, so a box that talks at line rate never fills the receive ring
    # and its menu is caught however long its boot text (40 KB take 3.5 s at
    # 115200 baud).
    Row("spam 6500 bytes before the menu", ["--spam", "6500"] + STAYS, 0, MSG_COMPLETED, 40, 1,
        summary={"verdict": "completed"}),
    Row("spam 40000 bytes at 115200 baud before the menu", ["--spam", "40000", "--baud", "115200"] + STAYS, 0,
        MSG_COMPLETED, 60, 1, summary={"verdict": "completed"}),
    # The adapter unplugged: the run ends at once as a lost line.
    Row("hang-up during sync", ["--hangup-at", "sync"], 1, MSG_OPEN_PORT, 30, 1,
        summary={"blocks": 0, "verdict": "hangup"}, stderr=["was lost"]),
    Row("hang-up during the transfer", ["--hangup-after-block", "2"], 1, MSG_OPEN_PORT, 30, 1,
        summary={"blocks": 2, "verdict": "hangup"}, stderr=["was lost"], wine=True),
    Row("hang-up during the verdict wait", ["--hangup-at", "verdict"], 1, MSG_OPEN_PORT, 30, 1,
        summary={"blocks": 5, "verdict": "hangup"}, stderr=["was lost"]),

    # --- operator and host faults ------------------------------------------
    # An image that cannot be read ends the command before the line is
    # touched: the box never sees a byte.
    Row("image missing", STAYS, 2, None, 20, 0, image="missing",
        summary={"bytes": 0}, stderr=["No such file or directory"], not_stdout=[MSG_POWER_OFF],
        wine=True),
    Row("image unreadable", STAYS, 2, None, 20, 0, mode=0o000, as_nobody=True,
        summary={"bytes": 0}, stderr=["Permission denied"], not_stdout=[MSG_POWER_OFF]),
    Row("image is a directory", STAYS, 2, None, 20, 0, image="directory",
        summary={"bytes": 0}, stderr=["not a regular file"], not_stdout=[MSG_POWER_OFF]),
    # An empty image: no block, only the end of transmission, then the verdict.
    Row("empty image", STAYS, 0, MSG_COMPLETED, 30, 1, image=0,
        summary={"blocks": 0, "verdict": "completed"}, saved=True, wine=True),
    Row("image of exactly 16 MiB", STAYS, 0, MSG_COMPLETED, 240, 1, image=IMAGE_CAPACITY,
        cli=["--yes", "--quiet"], summary={"blocks": 16384, "crc_errors": 0, "verdict": "completed"},
        saved=True),
    # The loader would get only the first 16 MiB of a larger file: refused.
    Row("image larger than 16 MiB", STAYS, 2, None, 20, 0, image=IMAGE_CAPACITY + 5000,
        summary={"bytes": 0}, stderr=["larger than 16 MiB, the most the loader receives"],
        not_stdout=[MSG_POWER_OFF]),
    Row("port missing", None, 2, None, 20, 0, port="missing",
        stderr=["cannot open port", "No such file or directory"], not_stdout=[MSG_POWER_OFF],
        win_stderr=["cannot open port COM9"], wine=True),
    Row("port busy (locked by another process)", STAYS, 2, None, 20, 0, port="busy",
        summary={"bytes": 0}, stderr=["cannot open port", "busy"], not_stdout=[MSG_POWER_OFF]),
    # The far end of the line vanishes under an open port mid-transfer.
    Row("port removed while open", PACED + STAYS, 1, MSG_OPEN_PORT, 60, 1, image=256 * KIB,
        act="kill-box", when=PROGRESS_LINE, delay=0.5, stderr=["was lost"]),

    # --- Ctrl-C in each stage: exit 130, the port free again ----------------
    Row("Ctrl-C at the Enter prompt", STAYS, 130, None, 30, 0, cli=[], stdin_terminal=True,
        act="sigint", when="^" + re.escape(MSG_POWER_OFF) + "$", delay=0.5,
        summary={"bytes": 0}, stderr=["interrupted"], not_stdout=[MSG_RESTART]),
    Row("Ctrl-C during sync", ["--no-menu"] + STAYS, 130, None, 30, 1,
        act="sigint", when="^" + re.escape(STATUS_SYNC) + "$", delay=1.0,
        summary={"blocks": 0}, not_box_log=NO_CANCEL, stderr=["interrupted"]),
    # A transfer under way is cancelled with the cancel frame first.
    Row("Ctrl-C during the transfer", PACED + STAYS, 130, None, 60, 1, image=256 * KIB,
        act="sigint", when=PROGRESS_LINE, delay=0.5,
        summary={"verdict": "cancelled"}, box_log=[BOX_CANCEL_FRAME], stderr=["interrupted"]),
    Row("Ctrl-C during the verdict wait", ["--no-verdict"] + STAYS, 130, None, 30, 1,
        act="sigint", when="^" + re.escape(STATUS_CHECKING) + "$", delay=1.0,
        summary={"blocks": 5, "verdict": "no-verdict"}, not_box_log=NO_CANCEL,
        stderr=["interrupted"]),
]


def fill(data):
    """The image as the box must receive it: at most 16 MiB, 0xFF up to the block."""
    data = data[:IMAGE_CAPACITY]
    return data + b"\xff" * (-len(data) % 1024)


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode(errors="replace").replace("\r", "")


def wait_for_line(path, pattern, proc, deadline):
    """Waits until a whole line of the file matches; False when the program
    ended or the deadline passed first."""
    while time.monotonic() < deadline:
        ended = proc.poll() is not None
        lines = read_text(path).split("\n")[:-1]
        if any(pattern.match(line) for line in lines):
            return True
        if ended:
            return False
        time.sleep(0.02)
    return False


def port_released(port):
    """Empty when another program can take the port now, else why not."""
    try:
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as error:
        return f"cannot open {port}: {error}"
    try:
        exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0]
        if exclusive:
            return f"{port} is still held exclusive (TIOCEXCL)"
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            return f"{port} is still locked: {error}"
        return ""
    finally:
        os.close(fd)


def unprivileged_prefix():
    """The command prefix that runs a program as nobody, or (None, reason)."""
    if os.geteuid() != 0:
        return [], None
    if shutil.which("setpriv") is None:
        return None, "setpriv is not installed"
    try:
        nobody = pwd.getpwnam("nobody")
    except KeyError:
        return None, "there is no user nobody"
    prefix = ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}", "--clear-groups"]
    probe = subprocess.run([*prefix, "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        return None, f"setpriv cannot change user here: {probe.stderr.strip()}"
    return prefix, None


class Matrix:
    def __init__(self, args):
        self.cli = args.cli
        self.emulator = args.emulator
        self.wine_exe = args.wine
        self.com_link = args.com_link
        self._tmp = tempfile.TemporaryDirectory(prefix="kelvora-faults-")
        self.dir = self._tmp.name
        # Readable by the unprivileged user of the permission row.
        os.chmod(self.dir, 0o755)
        self.print_lock = threading.Lock()
        self.unreported = 0  # rows whose Windows build printed no resource report
        self.sanitize = args.sanitize
        self.threads_unchecked = 0  # rows whose thread count a sanitizer makes meaningless

    def close(self):
        self._tmp.cleanup()

    # -- the pieces of a row ------------------------------------------------

    def make_image(self, row, slug):
        """Creates the row's image; gives (path, data or None)."""
        path = os.path.join(self.dir, slug + ".ssu")
        if row.image == "missing":
            return path, None
        if row.image == "directory":
            os.mkdir(path)
            return path, None
        data = os.urandom(row.image)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, row.mode)
        return path, data

    def host_path(self, path):
        """The image's name as the command line sees it (a drive path under Wine)."""
        if self.wine_exe:
            return "Z:" + path.replace("/", "\\")
        return path

    def command(self, row):
        if self.wine_exe:
            return ["wine", self.wine_exe]
        return [self.cli]

    # -- one row ---------------------------------------------------------------

    def run(self, row):
        """Runs one row; gives (status "ok"/"FAIL"/"skip", seconds, list of problems)."""
        started = time.monotonic()
        problems = []
        slug = re.sub(r"[^a-z0-9]+", "-", row.name.lower()).strip("-")
        prefix = []
        if row.as_nobody:
            prefix, reason = unprivileged_prefix()
            if prefix is None:
                return "skip", 0.0, [reason]

        image, data = self.make_image(row, slug)
        saved = os.path.join(self.dir, slug + ".saved")
        box = None
        holder = None
        master = None
        proc = None
        try:
            if row.box is not None:
                options = list(row.box) + (["--save", saved] if row.saved else [])
                link = ["--link", self.com_link] if self.wine_exe else []
                box = Emulator(self.emulator, "-v", *link, *options,
                               log=os.path.join(self.dir, slug + ".box.log"))
            if self.wine_exe:
                port = "COM9" if row.port == "missing" else "COM1"
            elif row.port == "missing":
                port = os.path.join(self.dir, "no-such-tty")
            else:
                port = box.port
            if row.port == "busy":
                holder = os.open(box.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)

            env = dict(os.environ, KELVORA_RESOURCE_REPORT="1")
            stdin = subprocess.DEVNULL
            if row.stdin_terminal:
                master, slave = pty.openpty()
                stdin = slave
            argv = [*prefix, *self.command(row), *row.cli, "--port", port, self.host_path(image)]
            # Output goes to files, not pipes: under Wine the helper processes
            # that the first program starts inherit its streams, so a pipe
            # would not see its end when the program ends.
            out_path = os.path.join(self.dir, slug + ".out")
            err_path = os.path.join(self.dir, slug + ".err")
            with open(out_path, "wb") as out_file, open(err_path, "wb") as err_file:
                proc = subprocess.Popen(argv, stdin=stdin, stdout=out_file, stderr=err_file, env=env)
            if row.stdin_terminal:
                os.close(slave)

            # Wine's polls are slower; its limits are hang guards as well.
            deadline = started + row.limit * (2 if self.wine_exe else 1)
            if row.act is not None:
                if not wait_for_line(out_path, re.compile(row.when), proc, deadline):
                    problems.append(f"never reached the stage /{row.when}/")
                elif proc.poll() is not None:
                    problems.append("the run ended before the fault could be applied")
                else:
                    time.sleep(row.delay)
                    if row.act == "sigint":
                        proc.send_signal(signal.SIGINT)
                        deadline = min(deadline, time.monotonic() + EXIT_AFTER_CTRL_C)
                    elif row.act == "kill-box":
                        box.kill()
            try:
                rc = proc.wait(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                proc.kill()
                rc = proc.wait()
                problems.append(f"hang: no end within {deadline - started:.0f} s"
                                + (" (or 10 s after Ctrl-C)" if row.act == "sigint" else ""))
            out = read_text(out_path)
            err = read_text(err_path)

            if box is not None and box.alive() and row.port != "busy":
                reason = port_released(box.port)
                if reason:
                    problems.append("port not released: " + reason)
            summary, box_log = (box.finish(wait=0), box.log_text()) if box is not None else (None, "")
            box = None
        finally:
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.wait()
            if box is not None:
                box.finish(wait=0)
            if holder is not None:
                os.close(holder)
            if master is not None:
                os.close(master)

        problems += self.check(row, rc, out, err, summary, box_log, data, saved)
        seconds = time.monotonic() - started
        if problems:
            tail = "\n".join("    | " + line for line in (out + err).splitlines()[-25:])
            problems.append("output (last lines):\n" + tail)
            if box_log:
                tail = "\n".join("    | " + line for line in box_log.splitlines()[-12:])
                problems.append("the box's log (last lines):\n" + tail)
        return ("FAIL" if problems else "ok"), seconds, problems

    def check(self, row, rc, out, err, summary, box_log, data, saved):
        problems = []
        if rc != row.rc:
            problems.append(f"exit status {rc}, want {row.rc}")

        shown = [(out.rfind(m + "\n"), m) for m in FINAL_MESSAGES if m + "\n" in out]
        last = max(shown)[1] if shown else None
        if last != row.message:
            problems.append(f"last message {last!r}, want {row.message!r}")
        for text in row.stdout:
            if text not in out:
                problems.append(f"no {text!r} on stdout")
        for text in row.not_stdout:
            if text in out:
                problems.append(f"{text!r} on stdout")
        for text in row.win_stderr if self.wine_exe and row.win_stderr is not None else row.stderr:
            if text not in err:
                problems.append(f"no {text!r} on stderr")

        problems += self.check_resources(row, err)

        # A box killed outright leaves no summary; every other one must.
        if row.box is not None and row.act != "kill-box":
            if summary is None:
                problems.append("the emulator printed no summary")
            else:
                for key, want in row.summary.items():
                    if summary.get(key) != want:
                        problems.append(f"box {key}={summary.get(key)}, want {want}")
            for text in row.box_log:
                if text not in box_log:
                    problems.append(f"the box never logged {text!r}")
            for text in row.not_box_log:
                if text in box_log:
                    problems.append(f"the box logged {text!r}")
        if row.saved:
            if not os.path.exists(saved):
                problems.append("the box saved no image")
            else:
                with open(saved, "rb") as f:
                    received = f.read()
                want = fill(data)
                if len(received) != len(want):
                    problems.append(f"the box saved {len(received)} bytes, want {len(want)}")
                elif received != want:
                    problems.append("the box saved other bytes than the image")
        return problems

    def check_resources(self, row, err):
        lines = err.splitlines()
        start = RESOURCES_START.match(lines[0]) if lines else None
        end = RESOURCES_END.match(lines[-1]) if lines else None
        if self.wine_exe and start is None and end is None:
            # The Windows build need not report: exit status and messages only.
            self.unreported += 1
            return []
        problems = []
        if start is None:
            problems.append("no 'resources-start: fds=N' as the first stderr line")
        if end is None:
            problems.append("no 'resources: buffers_obtained=N buffers_released=N threads=N fds=N' "
                            "as the last stderr line")
        if start is None or end is None:
            return problems
        obtained, released, threads, fds = (int(end[i]) for i in range(1, 5))
        if (obtained, released) != (row.buffers, row.buffers):
            problems.append(f"buffers obtained {obtained}, released {released}, want {row.buffers} each")
        if "thread" in self.sanitize:
            # The thread sanitizer keeps a thread of its own in the process.
            self.threads_unchecked += 1
        elif threads != 1:
            problems.append(f"{threads} threads left at exit, want 1")
        if fds != int(start[1]):
            problems.append(f"{fds} descriptors at exit, {start[1]} at start")
        return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cli", help="the native kelvora-upgrader")
    parser.add_argument("--emulator", required=True, help="stb-emulator")
    parser.add_argument("--wine", help="kelvora-upgrader.exe, run under Wine instead of --cli")
    parser.add_argument("--com-link", help="the path COM1 is mapped to (with --wine)")
    parser.add_argument("--sanitize", default="",
                        help="the sanitizers the build uses (address,undefined / thread)")
    parser.add_argument("--jobs", type=int, default=2, help="rows run side by side (native only)")
    parser.add_argument("--only", action="append", default=[],
                        help="run only the rows whose name contains this (may be repeated)")
    args = parser.parse_args()
    if bool(args.wine) == bool(args.cli):
        parser.error("give exactly one of --cli and --wine")
    if args.wine and not args.com_link:
        parser.error("--wine needs --com-link")

    rows = [row for row in ROWS if not args.wine or row.wine]
    if args.only:
        rows = [row for row in rows if any(word in row.name for word in args.only)]
    # COM1 is one link: Wine rows take turns. Natively the slowest rows go
    # first so that two workers end at about the same time.
    jobs = 1 if args.wine else max(1, args.jobs)
    rows.sort(key=lambda row: -row.limit)

    matrix = Matrix(args)
    counts = {"ok": 0, "FAIL": 0, "skip": 0}
    started = time.monotonic()
    try:
        with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
            futures = {pool.submit(matrix.run, row): row for row in rows}
            for future in concurrent.futures.as_completed(futures):
                row = futures[future]
                try:
                    status, seconds, problems = future.result()
                except Exception as error:  # a broken row must not hide the others
                    status, seconds, problems = "FAIL", 0.0, [f"{type(error).__name__}: {error}"]
                counts[status] += 1
                with matrix.print_lock:
                    print(f"{status:4} {row.name} ({seconds:.1f} s)", flush=True)
                    for problem in problems:
                        print(f"     {problem}", flush=True)
    finally:
        matrix.close()
    if matrix.unreported:
        print(f"note: {matrix.unreported} rows without a resource report from the Windows build: "
              "exit status, messages and the box's account checked only")
    if matrix.threads_unchecked:
        print(f"note: threads left at exit not checked in {matrix.threads_unchecked} rows: "
              "the thread sanitizer runs a thread of its own")
    where = "Windows build under Wine" if args.wine else "native"
    print(f"fault matrix ({where}): {counts['ok']} passed, {counts['FAIL']} failed, "
          f"{counts['skip']} skipped in {time.monotonic() - started:.0f} s")
    return 1 if counts["FAIL"] else 0


if __name__ == "__main__":
    sys.exit(main())
