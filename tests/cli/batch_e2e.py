#!/usr/bin/env python3
"""End-to-end tests of the batch mode: one kelvora-upgrader process flashing
several box emulators at once, each on its own pseudo-terminal.

    batch_e2e.py --cli PATH --emulator PATH [unittest args]
"""

import datetime
import fcntl
import hashlib
import json
import os
import pty
import re
import resource
import signal
import struct
import subprocess
import sys
import termios
import time
import unittest
from contextlib import ExitStack

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from box_emulator import BoxWorkdir, Emulator, e2e_paths  # noqa: E402

CLI = None
EMULATOR = None

MSG_COMPLETED = ("Download Complted !!!\n\nPlease wait till STB rebooting automatically "
                 "and don't power off..")
MSG_REFUSED = "Download Failure !!! \n\n SSU file incorrect !!!!"
RUN_LIMIT = 90  # a hang guard, not a timing
ISO = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
RECORD_KEYS = {"port", "end", "ok", "message", "blocks", "image", "image_bytes", "image_sha256",
               "started", "ended", "seconds", "console"}


def fill(data):
    return data + b"\xff" * (-len(data) % 1024)


class BatchTests(BoxWorkdir, unittest.TestCase):

    def start(self, ports, *extra, image=None, file_size_limit=None):
        args = [CLI, "--yes", "--record", self.record, *extra]
        for port in ports:
            args += ["--port", port]
        # The limit holds for the tool's regular files only: the record.
        limit = None if file_size_limit is None else (
            lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit)))
        proc = subprocess.Popen(args + [image or self.image], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, preexec_fn=limit)
        self.addCleanup(proc.stderr.close)
        self.addCleanup(proc.stdout.close)
        return proc

    def records(self):
        with open(self.record) as f:
            lines = f.read().splitlines()
        records = {}
        for line in lines:
            record = json.loads(line)
            self.assertLessEqual(RECORD_KEYS, set(record))
            self.assertEqual(record["image"], self.image)
            self.assertEqual(record["image_bytes"], len(self.data))
            self.assertEqual(record["image_sha256"], hashlib.sha256(self.data).hexdigest())
            self.assertRegex(record["started"], ISO)
            self.assertRegex(record["ended"], ISO)
            self.assertEqual(record["ok"], record["end"] == "completed")
            records[record["port"]] = record
        self.assertEqual(len(records), len(lines), "a port has two records")
        return records

    # name, emulator options, record end, final message, emulator verdict
    # (None: not checked), the loader's words in the console text
    MIXED = [
        ("completion", [], "completed", MSG_COMPLETED, "completed"),
        ("completion, burning lines repeated", ["--burn-repeats", "3"], "completed", MSG_COMPLETED,
         "completed"),
        ("completion", [], "completed", MSG_COMPLETED, "completed"),
        ("junk before an ACK", ["--garbage-before-ack", "2"], "completed", MSG_COMPLETED, "completed"),
        ("NAK on block 2", ["--nak-block", "2"], "error-31", "Error 31 !!!", "cancelled"),
        ("silence on block 3", ["--silent-block", "3"], "error-3", "Error 3 !!!", "cancelled"),
        ("refusal", ["--refuse"], "image-refused", MSG_REFUSED, "refused"),
        ("no menu", ["--no-menu"], "error-1", "Error 1 !!!", None),
    ]

    def test_each_box_ends_on_its_own_and_the_batch_takes_as_long_as_its_slowest(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [case[1] for case in self.MIXED])
            started = time.monotonic()
            cli = self.start([box.port for box, _ in boxes])
            out, err = cli.communicate(timeout=RUN_LIMIT)
            elapsed = time.monotonic() - started
            summaries = [box.finish() for box, _ in boxes]
        self.assertEqual(cli.returncode, 1, out + err)
        # The prompts came once for the whole batch.
        self.assertEqual(out.count("Power off STB !!!\n"), 1, out)
        self.assertEqual(out.count("First press OK, and restart STB !!!\n"), 1, out)
        self.assertIn("\n4 completed, 4 failed\n", out)
        records = self.records()
        for (name, _, end, message, verdict), (box, saved), summary in zip(self.MIXED, boxes, summaries):
            with self.subTest(name):
                record = records[box.port]
                self.assertEqual((record["end"], record["message"]), (end, message))
                self.assertIn(f"{box.port}: {' '.join(message.split())}", " ".join(out.split()))
                self.assertRegex(out, rf"(?m)^{re.escape(box.port)}\s+{end}\s+{record['blocks']}\s")
                if verdict is not None:
                    self.assertEqual(summary["verdict"], verdict)
                if end == "completed":
                    with open(saved, "rb") as f:
                        self.assertTrue(f.read() == fill(self.data), "saved image differs")
                    self.assertEqual(record["blocks"], 5)
                    self.assertIn("_burn_SSU_image:Start to write flash...", record["console"])
                    self.assertEqual(set(record["seconds"]), {"sync", "start", "transfer", "verdict"})
                if end == "error-31":
                    self.assertEqual(record["blocks"], 1)
                if end == "error-1":
                    self.assertEqual(set(record["seconds"]), {"sync"})
        # Side by side, not one after the other: well under the sum of the
        # boxes' own times, whatever the machine's speed.
        total = sum((datetime.datetime.fromisoformat(r["ended"][:-1]) -
                     datetime.datetime.fromisoformat(r["started"][:-1])).total_seconds()
                    for r in records.values())
        self.assertLess(elapsed, 0.6 * total)

    def test_a_box_hung_up_mid_transfer_leaves_the_others_whole(self):
        self.data = os.urandom(40 * 1024)
        with open(self.image, "wb") as f:
            f.write(self.data)
        with ExitStack() as stack:
            boxes = self.boxes(stack, [["--hangup-after-block", "4"], [], [], []])
            cli = self.start([box.port for box, _ in boxes])
            out, err = cli.communicate(timeout=RUN_LIMIT)
            summaries = [box.finish() for box, _ in boxes]
        self.assertEqual(cli.returncode, 1, out + err)
        records = self.records()
        self.assertEqual(records[boxes[0][0].port]["end"], "port-lost")
        self.assertEqual(summaries[0]["verdict"], "hangup")
        for box, saved in boxes[1:]:
            self.assertEqual(records[box.port]["end"], "completed")
            with open(saved, "rb") as f:
                self.assertTrue(f.read() == fill(self.data), "saved image differs")
        self.assertIn("\n3 completed, 1 failed\n", out)

    def test_a_set_up_problem_stops_the_batch_before_any_byte(self):
        missing = os.path.join(self.dir, "ttyUSB-none")
        fifo = os.path.join(self.dir, "fifo.ssu")
        os.mkfifo(fifo)
        large = os.path.join(self.dir, "large.ssu")
        with open(large, "wb") as f:
            f.truncate(16 * 1024 * 1024 + 1)
        link = os.path.join(self.dir, "ttyLink")
        with ExitStack() as stack:
            boxes = self.boxes(stack, [[], []])
            one, two = (box.port for box, _ in boxes)
            os.symlink(one, link)
            # name, ports, image, the one stderr line
            cases = [
                ("a port that cannot be opened", [one, missing, two], self.image,
                 f"cannot open port {missing}: No such file or directory"),
                ("an image through a pipe", [one, two], fifo, f"cannot read image '{fifo}': not a regular file"),
                ("an image larger than 16 MiB", [one, two], large,
                 f"cannot read image '{large}': larger than 16 MiB, the most the loader receives"),
                ("a port named by its link too", [one, two, link], self.image, f"{link} is the same device as {one}"),
            ]
            for name, ports, image, problem in cases:
                with self.subTest(name):
                    cli = self.start(ports, image=image)
                    out, err = cli.communicate(timeout=RUN_LIMIT)
                    self.assertEqual(cli.returncode, 2, out + err)
                    self.assertEqual(err.splitlines(), [f"kelvora-upgrader: {problem}"])
                    self.assertNotIn("Power off STB !!!", out)
            summaries = [box.finish(wait=0) for box, _ in boxes]
        self.assertEqual([s["bytes"] for s in summaries], [0, 0])
        self.assertFalse(os.path.exists(self.record) and os.path.getsize(self.record))

    def test_a_record_cut_short_ends_its_line_and_is_given_on_stderr(self):
        earlier = '{"port":"earlier"}\n'
        with open(self.record, "w") as f:
            f.write(earlier)
        lost = []
        # Boxes at once; room left in the file under its size limit (the
        # first record only in part, then none); the closing lines.
        for count, room, closing in [(2, 100, "\n2 completed, 0 failed\n2 records not written\n"),
                                     (1, 0, "\n1 records not written\n")]:
            with self.subTest(boxes=count), ExitStack() as stack:
                boxes = self.boxes(stack, [[]] * count)
                cli = self.start([box.port for box, _ in boxes],
                                 file_size_limit=os.path.getsize(self.record) + room)
                out, err = cli.communicate(timeout=RUN_LIMIT)
                # Killed by SIGXFSZ, it would have no status of its own.
                self.assertEqual(cli.returncode, 1, out + err)
                self.assertIn(closing, out)
                for box, _ in boxes:
                    self.assertIn(f"cannot write the record of {box.port} to '{self.record}': File too large", err)
                given = [json.loads(line) for line in err.splitlines() if line.startswith("{")]
                self.assertEqual(sorted(r["port"] for r in given), sorted(box.port for box, _ in boxes))
                self.assertEqual({r["end"] for r in given}, {"completed"})
                lost += [line for line in err.splitlines() if line.startswith("{")]
        # The next good record starts a line of its own.
        with ExitStack() as stack:
            (box, _), = self.boxes(stack, [[]])
            cli = self.start([box.port])
            out, err = cli.communicate(timeout=RUN_LIMIT)
        self.assertEqual(cli.returncode, 0, out + err)
        with open(self.record) as f:
            text = f.read()
        self.assertTrue(text.startswith(earlier) and text.endswith("\n"), text)
        lines = text[len(earlier):].splitlines()
        self.assertEqual(json.loads(lines[-1])["port"], box.port)
        # In between only the cut-off start of a record given on stderr.
        self.assertEqual(len(lines), 2, text)
        self.assertTrue(any(line.startswith(lines[0][:-1]) for line in lost), lines[0])

    # signals sent, boxes, exit status. A second signal only closes the
    # ports at once, cancel frame or not; it never skips the records.
    SIGNALS = [
        ([signal.SIGINT], 4, 130),
        ([signal.SIGTERM], 2, 143),
        ([signal.SIGHUP], 2, 129),
        ([signal.SIGINT, signal.SIGTERM], 2, 130),
    ]

    def test_a_signal_mid_transfer_cancels_every_box_and_writes_the_records(self):
        self.data = os.urandom(256 * 1024)
        with open(self.image, "wb") as f:
            f.write(self.data)
        for signals, count, status in self.SIGNALS:
            with self.subTest(signals=[s.name for s in signals]), ExitStack() as stack:
                if os.path.exists(self.record):
                    os.remove(self.record)
                boxes = self.boxes(stack, [["--baud", "115200"]] * count)
                ports = [box.port for box, _ in boxes]
                cli = self.start(ports)
                stack.callback(lambda: cli.poll() is None and cli.kill())
                # Off a terminal the first block's status of each box is a line.
                waiting = set(ports)
                for line in cli.stdout:
                    if re.match(r"^\S+: 1024 / ", line):
                        waiting.discard(line.split(": ")[0])
                    if not waiting:
                        break
                self.assertEqual(waiting, set(), "not every transfer began")
                time.sleep(0.3)
                for sent in signals:
                    cli.send_signal(sent)
                    time.sleep(0.05)
                out = cli.stdout.read()
                err = cli.stderr.read()
                cli.wait(timeout=10)
                summaries = [box.finish(wait=5) for box, _ in boxes]
                self.assertEqual(cli.returncode, status, err)
                self.assertIn("interrupted", err)
                self.assertIn(f"\n0 completed, {count} failed\n", out)
                records = self.records()
                self.assertEqual(set(records), set(ports))
                for (box, _), summary in zip(boxes, summaries):
                    self.assertLess(records[box.port]["blocks"], 256)
                    if len(signals) == 1:
                        # The box ended its transfer on our cancel frame.
                        self.assertTrue(box.ended_by_itself)
                        self.assertEqual(summary["verdict"], "cancelled")
                        self.assertEqual(records[box.port]["end"], "cancelled")

    def test_more_ports_than_terminal_lines_give_plain_lines_and_totals_over_rounds(self):
        master, slave = pty.openpty()
        # Three rows and the line below them do not fit a terminal of three lines.
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 3, 120, 0, 0))
        with ExitStack() as stack:
            boxes = self.boxes(stack, [["--sessions", "2"]] * 3)
            ports = [box.port for box, _ in boxes]
            args = [CLI, "--yes", "--verbose", "--repeat", "2"] + [a for p in ports for a in ("--port", p)]
            cli = subprocess.Popen(args + [self.image], stdin=slave, stdout=slave, stderr=subprocess.PIPE)
            os.close(slave)
            stack.callback(os.close, master)
            stack.callback(cli.stderr.close)
            seen = b""
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
            self.assertEqual(cli.wait(timeout=RUN_LIMIT), 0, seen)
        out = seen.decode(errors="replace").replace("\r\n", "\n")
        self.assertNotIn("\x1b[", out, "rows were drawn that do not fit")
        self.assertIn("\n6 completed, 0 failed\n", out)
        for port in ports:
            self.assertIn(f"{port}: Serial open", out)
            self.assertEqual(out.count(f"{port}: {' '.join(MSG_COMPLETED.split())}"), 2, out)
            # The last run, and each port's counts over both rounds.
            self.assertRegex(out, rf"(?m)^{re.escape(port)}\s+completed\s+5\s+[\d.]+\s+2\s+0$")

    def test_a_stdout_nobody_reads_holds_up_no_transfer_and_ctrl_c_still_ends_it(self):
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        try:
            while True:
                os.write(write_end, b"x" * 4096)
        except BlockingIOError:
            pass
        os.set_blocking(write_end, True)
        with ExitStack() as stack:
            stack.callback(os.close, read_end)
            boxes = self.boxes(stack, [[], []])
            args = [CLI, "--yes", "--record", self.record, "--port", boxes[0][0].port, "--port", boxes[1][0].port]
            cli = subprocess.Popen(args + [self.image], stdin=subprocess.DEVNULL, stdout=write_end,
                                   stderr=subprocess.PIPE, text=True)
            os.close(write_end)
            stack.callback(lambda: cli.poll() is None and cli.kill())
            stack.callback(cli.stderr.close)
            # Both boxes get their whole image and verdict while stdout is full.
            summaries = [box.finish(wait=RUN_LIMIT) for box, _ in boxes]
            self.assertEqual([s["verdict"] for s in summaries], ["completed", "completed"])
            self.assertIsNone(cli.poll(), "the output was not held up at all")
            cli.send_signal(signal.SIGINT)
            self.assertEqual(cli.wait(timeout=10), 130)
        self.assertEqual([r["end"] for r in self.records().values()], ["completed", "completed"])

if __name__ == "__main__":
    CLI, EMULATOR, rest = e2e_paths()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
