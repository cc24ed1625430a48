#!/usr/bin/env python3
"""End-to-end tests of kelvora-upgrader: the real executable against the real
box emulator on a pseudo-terminal, and against lrzsz's rx behind a relay.

    cli_e2e.py --cli PATH --emulator PATH --version X.Y.Z.W [unittest args]

The slow cases (the 6 s and 20 s time-outs of the watches) run side by side
in threads, so the whole file takes well under a minute on an idle machine.
"""

import argparse
import concurrent.futures
import csv
import fcntl
import hashlib
import json
import os
import pty
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import box_emulator  # noqa: E402

CLI = None
EMULATOR = None
VERSION = None
RELAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lrzsz_relay.py")

MSG_POWER_OFF = "Power off STB !!!"
MSG_RESTART = "First press OK, and restart STB !!!"
MSG_OPEN_PORT = "Open COM Port !!!"
MSG_COMPLETED = ("Download Complted !!!\n\nPlease wait till STB rebooting automatically "
                 "and don't power off..")
MSG_REFUSED = "Download Failure !!! \n\n SSU file incorrect !!!!"
MSG_VERDICT_UNKNOWN = ("Stopped after the whole image was sent: the box may be writing flash. "
                       "Do not switch it off until it has rebooted.")
FINAL_MESSAGES = [MSG_COMPLETED, MSG_REFUSED, MSG_OPEN_PORT,
                  "Error 1 !!!", "Error 2 !!!", "Error 31 !!!", "Error 3 !!!", "Error 4 !!!"]

PROGRESS = re.compile(r"^(\d+) / (\d+)$")
STATUSES = {"start", "Check Sync bytes", "Waiting start", "Please wait ! Checking image.",
            "Please wait ! Burning image", "Update Failure !!!"}

# Hang guards, not timings: the longest watch ends after about 20 s.
RUN_LIMIT = 60
EXIT_AFTER_CTRL_C = 5

PORT_KEYS = ["name", "kind", "vid", "pid", "serial", "manufacturer", "product", "description", "by_id",
             "by_path", "busy"]


def fill(data):
    """The image as the box must receive it: the file and 0xFF up to 1024."""
    return data + b"\xff" * (-len(data) % 1024)


class Emulator(box_emulator.Emulator):
    def __init__(self, *args):
        super().__init__(EMULATOR, *args)


def run_cli(*args, timeout=RUN_LIMIT):
    done = subprocess.run([CLI, *args], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def final_messages(stdout):
    return [m for m in FINAL_MESSAGES if m + "\n" in stdout]


class Workdir:
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="kelvora-cli-")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def image(self, size, name="image.ssu"):
        path = os.path.join(self.dir, name)
        data = os.urandom(size)
        with open(path, "wb") as f:
            f.write(data)
        return path, data


class OutcomeTests(Workdir, unittest.TestCase):
    # name, emulator options, exit status, final message, emulator verdict,
    # the status the run was in when it ended (None: not checked), the
    # blocks its record counts as acknowledged
    CASES = [
        ("completion", [], 0, MSG_COMPLETED, "completed", "Please wait ! Burning image", 5),
        ("refusal", ["--refuse"], 1, MSG_REFUSED, "refused", "Update Failure !!!", 5),
        ("no menu", ["--no-menu"], 1, "Error 1 !!!", None, "Check Sync bytes", 0),
        ("no C", ["--no-c"], 1, "Error 2 !!!", None, "Waiting start", 0),
        ("NAK", ["--nak-block", "3"], 1, "Error 31 !!!", "cancelled", "3072 / 5120", 2),
        ("silent block", ["--silent-block", "2"], 1, "Error 3 !!!", "cancelled", "2048 / 5120", 1),
        # A second ACK of block 3 is no answer to block 4: what the box does
        # with block 5 decides.
        ("doubled ACK, then NAK", ["--double-ack", "3", "--nak-block", "5"], 1, "Error 31 !!!", "cancelled",
         "5120 / 5120", 4),
        ("doubled ACK, then silence", ["--double-ack", "3", "--silent-block", "5"], 1, "Error 3 !!!",
         "cancelled", "5120 / 5120", 4),
        # The box reboots after its silent session and then waits in its
        # autoboot window, so the line stays up for the whole verdict wait.
        ("no verdict", ["--no-verdict", "--sessions", "0", "--autoboot-ms", "60000"], 1,
         "Error 4 !!!", "no-verdict", "Please wait ! Checking image.", 5),
        ("hang-up mid-transfer", ["--hangup-after-block", "2"], 1, MSG_OPEN_PORT, "hangup", None, 2),
        # A busy box prints a 50-byte line every 100 ms while it makes us
        # wait: neither the wait for the verdict (15 s of 20) nor the wait for
        # a block's answer (4 s of 5) may end sooner for it.
        ("chatty box, verdict at 15 s", ["--chatter", "--verdict-delay", "15000"], 0, MSG_COMPLETED,
         "completed", "Please wait ! Burning image", 5),
        ("chatty box, ACK of block 2 at 4 s", ["--chatter", "--late-ack", "2", "--ack-delay", "4000"], 0,
         MSG_COMPLETED, "completed", "Please wait ! Burning image", 5),
    ]

    def _one(self, case, image):
        name, options = case[:2]
        record = os.path.join(self.dir, f"record-{self.CASES.index(case)}.jsonl")
        with Emulator(*options) as emulator:
            rc, out, err = run_cli("--yes", "--record", record, "--port", emulator.port, image)
            summary = emulator.finish()
        with open(record) as f:
            records = [json.loads(line) for line in f]
        return rc, out, err, dict(summary or {}, ended_by_itself=emulator.ended_by_itself), records

    def test_each_outcome_has_its_exit_status_and_message(self):
        image, _ = self.image(5000)
        with concurrent.futures.ThreadPoolExecutor(len(self.CASES)) as pool:
            results = list(pool.map(lambda c: self._one(c, image), self.CASES))
        for case, (rc, out, err, summary, records) in zip(self.CASES, results):
            name, _, want_rc, want_message, want_verdict, last_status, want_blocks = case
            with self.subTest(name):
                self.assertEqual(rc, want_rc, out + err)
                self.assertEqual(final_messages(out), [want_message], out)
                self.assertEqual([r["blocks"] for r in records], [want_blocks])
                # The prompts are shown, without a wait (--yes).
                self.assertIn(MSG_POWER_OFF + "\n", out)
                self.assertIn(MSG_RESTART + "\n", out)
                if last_status is not None:
                    # The serial link's own diagnostic lines come from its
                    # reader thread at any moment; only statuses count here.
                    before = out[:out.index(want_message + "\n")].splitlines()
                    statuses = [line for line in before if line in STATUSES or PROGRESS.match(line)]
                    self.assertEqual(statuses[-1], last_status, out)
                if want_verdict is not None:
                    self.assertEqual(summary.get("verdict"), want_verdict)
                if want_verdict in ("completed", "refused", "cancelled", "hangup"):
                    self.assertTrue(summary["ended_by_itself"], name)
                if name == "hang-up mid-transfer":
                    self.assertIn("was lost", err)
                if name == "completion":
                    # The record keeps the loader's menu and verdict, not the
                    # transfer's answers: at most the answer to the end of
                    # transmission, which comes after the transfer.
                    console = records[0]["console"]
                    self.assertIn("1.  Upgrade Application with SSU", console)
                    self.assertIn("_burn_SSU_image:Start to write flash...", console)
                    self.assertLessEqual(console.count("\x06"), 1, console)

    def test_saved_image_is_the_file_with_ff_fill(self):
        sizes = [0, 1, 1023, 1024, 1025, 3000, 300 * 1024]

        def one(size):
            path, data = self.image(size, f"image-{size}.ssu")
            saved = os.path.join(self.dir, f"saved-{size}.bin")
            with Emulator("--save", saved) as emulator:
                rc, out, err = run_cli("--yes", "--port", emulator.port, path)
                summary = emulator.finish()
            with open(saved, "rb") as f:
                return data, rc, out, err, summary, f.read()

        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            results = list(pool.map(one, sizes))
        for size, (data, rc, out, err, summary, received) in zip(sizes, results):
            with self.subTest(size=size):
                self.assertEqual(rc, 0, out + err)
                self.assertEqual(len(received), len(fill(data)))
                self.assertTrue(received == fill(data), "received image differs")
                self.assertEqual(summary["blocks"], len(fill(data)) // 1024)
                self.assertEqual(summary["crc_errors"], 0)
                # A log gets the first block, one line per tenth and the last.
                progress = [line for line in out.splitlines() if PROGRESS.match(line)]
                total = len(fill(data))
                if total:
                    self.assertEqual(progress[0], f"1024 / {total}")
                    self.assertEqual(progress[-1], f"{total} / {total}")
                    self.assertLessEqual(len(progress), 12)
                else:
                    self.assertEqual(progress, [])


class CommandLineTests(Workdir, unittest.TestCase):
    def test_usage_errors_exit_2_with_a_reason(self):
        image, _ = self.image(10)
        cases = [
            ([], "no IMAGE"),
            (["--bogus", image], "unknown option"),
            (["--repeat", "0", image], "--repeat"),
            (["--repeat", "x", image], "--repeat"),
            ([image, image], "only one IMAGE"),
            (["--port"], "needs a value"),
            (["--list-ports", image], "unexpected argument"),
            (["--help", "--version"], "cannot be combined"),
            (["--yes=1", image], "takes no value"),
            (["--port", "A", "--port", "A", image], "port A is named twice"),
            (["--port=A", "-p", "A", image], "port A is named twice"),
            (["--all-ports", "--port", "A", image], "cannot be combined"),
            (["--skip-busy", image], "--skip-busy is only for --all-ports"),
            (["--record"], "needs a value"),
            (["--record=", image], "--record needs a file name"),
            (["--long", image], "only for --list-ports"),
            (["--list-ports", "--long", "--json"], "cannot be combined"),
            (["--unit-pattern", r"(a)\1", image], "back-references"),
            (["--unit-pattern", "(x{100}){100}", image], "expand it past 1000 positions"),
            (["--unit-pattern", "(", image], "not a valid pattern"),
            (["--reflash", image], "--reflash needs --unit-pattern"),
            (["--boot-fail", "panic", image], "--boot-fail needs --boot-expect"),
            (["--boot-expect", "(", image], "--boot-expect '(' is not a valid pattern"),
            (["--power", "cts", image], "--power needs dtr, rts, !dtr or !rts"),
            (["--power", "dtr", "--power-command", "true", image], "cannot be combined"),
            (["--power-command", "relay 'on", image], "a single quote is not closed"),
            (["--off-time", "3", image], "--off-time needs --power or --power-command"),
            (["--start-on", "dsr", image], "--start-on is only for --station"),
            (["--station", "--start-on", "lid", image], "--start-on needs key, auto, cts, dsr, dcd or ri"),
            (["--station", "--start-on", "auto", image], "--start-on auto needs --unit-pattern"),
            (["--station", "--start-on", "auto", "--unit-pattern", "SN", "--power", "!dtr", image],
             "--start-on auto does not go with --power"),
            (["--on-end", "lamp", image], "--on-end needs --record"),
        ]
        for args, reason in cases:
            with self.subTest(args=args):
                rc, out, err = run_cli(*args)
                self.assertEqual(rc, 2)
                self.assertIn(reason, err)
                self.assertEqual(out, "")

    def test_unreadable_image_missing_port_and_unfit_record_file_exit_2_before_the_line_is_touched(self):
        image, _ = self.image(10)
        missing = os.path.join(self.dir, "missing.ssu")
        # Read through a pipe, its first bytes would be gone before the box
        # got them; /dev/zero never ends.
        fifo = os.path.join(self.dir, "fifo.ssu")
        os.mkfifo(fifo)
        too_large = os.path.join(self.dir, "large.ssu")
        with open(too_large, "wb") as f:
            f.truncate(16 * 1024 * 1024 + 1)
        not_regular = "': not a regular file"
        with Emulator() as emulator:
            link = os.path.join(self.dir, "ttyLink")
            os.symlink(emulator.port, link)
            # Records go to a regular file only: a FIFO nobody reads would
            # hang the tool, /dev/null fails every flush, a terminal is a box.
            unfit = [(["--record", path, "--port", emulator.port, image],
                      [f"cannot write records to '{path}{not_regular}"])
                     for path in (fifo, "/dev/null", emulator.port, self.dir)]
            cases = unfit + [
                (["--port", emulator.port, missing], [missing, "No such file or directory"]),
                (["--port", emulator.port, self.dir], [f"cannot read image '{self.dir}{not_regular}"]),
                (["--port", emulator.port, fifo], [f"cannot read image '{fifo}{not_regular}"]),
                (["--port", emulator.port, "/dev/zero"], [f"cannot read image '/dev/zero{not_regular}"]),
                (["--port", emulator.port, too_large],
                 [f"cannot read image '{too_large}': larger than 16 MiB, the most the loader receives"]),
                (["--port", "/dev/ttyUSB-kelvora-none", image],
                 ["/dev/ttyUSB-kelvora-none", "No such file or directory"]),
                (["--port", "/dev/null", image], ["/dev/null", "Inappropriate ioctl"]),
                (["--port", link, "--port", emulator.port, image],
                 [f"kelvora-upgrader: {emulator.port} is the same device as {link}\n"]),
            ]
            for args, words in cases:
                with self.subTest(args=args):
                    rc, out, err = run_cli("--yes", *args)
                    self.assertEqual(rc, 2, out + err)
                    self.assertEqual(len(err.splitlines()), 1, err)
                    for word in words:
                        self.assertIn(word, err)
                    self.assertNotIn(MSG_POWER_OFF, out)
            summary = emulator.finish(wait=0)
        # The emulator never saw a byte: nothing was sent to the box.
        self.assertEqual(summary["bytes"], 0)

    def test_import_records_and_history_exit_statuses_and_csv(self):
        image, data = self.image(3000)
        sha = hashlib.sha256(data).hexdigest()
        db = os.path.join(self.dir, "state", "units.db")
        records = os.path.join(self.dir, "records.jsonl")
        lines = [json.dumps({"port": "/dev/ttyUSB0", "slot": 1, "run": run, "station": "bench-a", "unit": unit,
                             "end": "completed", "ok": True, "message": message, "blocks": 3, "image": image,
                             "image_bytes": 3000, "image_sha256": sha, "started": f"2026-12-07T09:0{run}:00.000Z",
                             "ended": f"2026-12-07T09:0{run}:40.000Z", "seconds": {}, "console": ""})
                 for run, unit, message in [(1, "SN-1", "done"), (2, "=HYPERLINK(\"x\")", "a, \"b\"")]]
        with open(records, "w") as f:
            f.write(f"{lines[0]}\nnot json\n{lines[1]}\n{lines[1][:40]}")  # the last line torn
        skipped = f"kelvora-upgrader: {records}:2: skipped, not JSON\nkelvora-upgrader: {records}:4: skipped, not JSON\n"
        cases = [
            (["history", "--db", db], 2, "", f"kelvora-upgrader: no unit store at {db}\n"),
            (["import-records", records + ".none", "--db", db], 2, "", "No such file or directory"),
            (["import-records", records, "--db", db], 0, "2 added, 0 already there, 2 skipped\n", skipped),
            (["import-records", records, "--db", db], 0, "0 added, 2 already there, 2 skipped\n", skipped),
            (["history", "--db", db, "--unit", "SN-9"], 1, "", ""),
            (["history", "--db", db, "--json", "--csv"], 2, "", "--json and --csv cannot be combined"),
            (["history", "--db", db, "--image", image], 0, "SN-1", ""),
        ]
        for args, status, out_part, err_part in cases:
            with self.subTest(args=args):
                rc, out, err = run_cli(*args)
                self.assertEqual(rc, status, err)
                self.assertIn(out_part, out)
                self.assertIn(err_part, err)
        rc, out, _ = run_cli("history", "--db", db, "--csv")
        rows = list(csv.reader(out.splitlines(keepends=True)))
        self.assertEqual(rc, 0)
        self.assertEqual(rows[0][:4], ["attempt", "started", "ended", "station"])
        # Newest first; a cell a spreadsheet would run is quoted away.
        self.assertEqual([(r[12], r[21]) for r in rows[1:]], [("'=HYPERLINK(\"x\")", 'a, "b"'), ("SN-1", "done")])

    def test_busy_port_exits_2_naming_the_port(self):
        image, _ = self.image(10)
        link = os.path.join(self.dir, "usb-Box-if00-port0")
        with Emulator("--link", link) as emulator:
            holder = os.open(emulator.port, os.O_RDWR | os.O_NOCTTY)
            try:
                fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
                rc, _, err = run_cli("--yes", "--port", link, image)
            finally:
                os.close(holder)
        self.assertEqual(rc, 2)
        # Named as given, and the device the link leads to.
        self.assertIn(f"cannot open port {link} ({emulator.port}): ", err)
        self.assertIn("busy", err)

    def test_a_link_to_the_port_is_recorded_with_its_device(self):
        image, _ = self.image(3000)
        record = os.path.join(self.dir, "records.jsonl")
        links = [os.path.join(self.dir, f"usb-Box{i}-if00-port0") for i in (1, 2)]
        with Emulator("--link", links[0]) as one, Emulator("--link", links[1]) as two, Emulator() as three:
            single = run_cli("--yes", "--record", record, "--port", links[0], image)
            batch = run_cli("--yes", "--record", record, "--port", links[1], "--port", three.port, image)
        self.assertEqual((single[0], batch[0]), (0, 0), single[2] + batch[2])
        with open(record) as f:
            records = {r["port"]: r for r in map(json.loads, f)}
        # A pseudo-terminal has no USB ids: kind only, device only for a link.
        for port, device in [(links[0], one.port), (links[1], two.port), (three.port, None)]:
            with self.subTest(port=port):
                self.assertEqual(records[port]["end"], "completed")
                self.assertEqual(records[port].get("device"), device)
                self.assertEqual(records[port]["kind"], "virtual")
                self.assertFalse({"vid", "pid", "serial"} & set(records[port]))

    def test_version_help_and_list_ports(self):
        rc, out, _ = run_cli("--version")
        self.assertEqual((rc, out), (0, f"kelvora-upgrader {VERSION}\n"))
        rc, out, _ = run_cli("--help")
        self.assertEqual(rc, 0)
        self.assertIn("--list-ports", out)
        self.assertIn("Exit status", out)
        # Only USB serial adapters, ACM modems and real UARTs are listed; an
        # emulator's pseudo-terminal is not, even while it runs.
        with Emulator() as emulator:
            rc, out, _ = run_cli("--list-ports")
            rc_json, listed, _ = run_cli("--list-ports", "--json")
        self.assertEqual((rc, rc_json), (0, 0))
        ports = out.splitlines()
        self.assertNotIn(emulator.port, ports)
        for port in ports:
            self.assertRegex(port, r"^/dev/tty(USB|ACM|S)[0-9]+$")
        # --json: every port the plain list shows (busy ones too), never a
        # pseudo-terminal, each with every key.
        entries = json.loads(listed)
        names = [entry["name"] for entry in entries]
        self.assertLessEqual(set(ports), set(names))
        self.assertNotIn(emulator.port, names)
        for entry in entries:
            self.assertEqual(list(entry), PORT_KEYS)
            self.assertIn(entry["kind"], {"usb", "native", "bluetooth", "virtual"})
            self.assertIsInstance(entry["busy"], bool)

    def test_all_ports_names_a_busy_port_it_leaves_out(self):
        # Only where the computer's own UART is the one port there is, so
        # that no other port (a real box's) is ever flashed here. A busy USB
        # adapter, which stops the batch, cannot be made up on a test machine.
        _, plain, _ = run_cli("--list-ports")
        _, listed, _ = run_cli("--list-ports", "--json")
        ports = plain.splitlines()
        if len(ports) != 1 or [e["kind"] for e in json.loads(listed) if e["name"] == ports[0]] != ["native"]:
            self.skipTest("needs a machine whose only serial port is a free UART (such as /dev/ttyS0)")
        image, _ = self.image(10)
        holder = os.open(ports[0], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            _, still_free, _ = run_cli("--list-ports")
            self.assertEqual(still_free, "", "the held port still shows as free")
            rc, out, err = run_cli("--yes", "--all-ports", image)
        finally:
            os.close(holder)
        self.assertEqual(rc, 2, out + err)
        self.assertEqual(err.splitlines(), [f"kelvora-upgrader: port {ports[0]} is busy, left out: "
                                            "Device or resource busy",
                                            "kelvora-upgrader: no serial port found"])
        self.assertEqual(out, "")

    def test_a_port_held_by_another_program_is_listed_busy(self):
        _, listed, _ = run_cli("--list-ports", "--json")
        free = [entry["name"] for entry in json.loads(listed) if not entry["busy"]]
        if not free:
            self.skipTest("this machine has no serial port that can be opened (such as /dev/ttyS0)")
        port = free[0]
        # Opened and locked only, as another terminal program holds a port;
        # nothing is written to the device.
        holder = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            _, plain, _ = run_cli("--list-ports")
            _, listed, _ = run_cli("--list-ports", "--json")
            _, table, _ = run_cli("--list-ports", "--long")
        finally:
            os.close(holder)
        self.assertNotIn(port, plain.splitlines())
        self.assertEqual([e["busy"] for e in json.loads(listed) if e["name"] == port], [True])
        self.assertRegex(table, r"^PORT\s+STATE\s+KIND\s+VID:PID\s+SERIAL\s+DESCRIPTION\s+BY-ID\s+BY-PATH\n")
        self.assertRegex(table, rf"(?m)^{re.escape(port)}\s+busy\s")


class InteractiveTests(Workdir, unittest.TestCase):
    """The command line on a terminal: stdin and stdout on a pseudo-terminal."""

    def start(self, port, image):
        master, slave = pty.openpty()
        proc = subprocess.Popen([CLI, "--port", port, image], stdin=slave, stdout=slave,
                                stderr=subprocess.PIPE, text=False)
        os.close(slave)
        self.addCleanup(proc.stderr.close)
        self.addCleanup(os.close, master)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        return proc, master

    def read_until(self, master, text, limit, seen=b""):
        deadline = time.monotonic() + limit
        while text.encode() not in seen:
            if time.monotonic() > deadline:
                self.fail(f"no {text!r} in {seen!r}")
            try:
                chunk = os.read(master, 4096)
            except OSError:
                self.fail(f"terminal closed before {text!r} in {seen!r}")
            seen += chunk
        return seen

    def test_prompts_wait_for_enter_and_progress_is_one_bar(self):
        image, _ = self.image(3000)
        # The test holds the prompts a while: a long autoboot window keeps the
        # box catchable on a busy machine.
        with Emulator("--autoboot-ms", "30000") as emulator:
            proc, master = self.start(emulator.port, image)
            seen = self.read_until(master, MSG_POWER_OFF, 10)
            time.sleep(1.0)
            seen += os.read(master, 4096) if _readable(master) else b""
            # Still waiting for the operator: the next prompt has not come.
            self.assertNotIn(MSG_RESTART.encode(), seen)
            # A second Enter typed ahead does not answer the restart prompt.
            os.write(master, b"\n\n")
            seen = self.read_until(master, MSG_RESTART, 10, seen)
            time.sleep(1.0)
            seen += os.read(master, 4096) if _readable(master) else b""
            self.assertNotIn(b"Check Sync bytes", seen)
            os.write(master, b"\n")
            seen = self.read_until(master, "Download Complted !!!", 30, seen)
            self.assertEqual(proc.wait(timeout=10), 0)
            summary = emulator.finish()
        self.assertEqual(summary["verdict"], "completed")
        text = seen.decode(errors="replace")
        # The blocks show as a bar redrawn in place, ending at 100 %, not as
        # plain "n / total" lines.
        self.assertRegex(text, r"\r\[#{20}\] 100%  3072 / 3072 bytes")
        self.assertNotRegex(text, r"(?m)^1024 / 3072\r?$")
        # The serial link's own lines only with --verbose or --trace.
        self.assertNotIn("Serial open", text)

    def test_ctrl_c_at_a_prompt_exits_130_and_frees_the_port(self):
        image, _ = self.image(3000)
        # A long autoboot window: the box must still be catchable afterwards.
        with Emulator("--autoboot-ms", "30000") as emulator:
            proc, master = self.start(emulator.port, image)
            self.read_until(master, MSG_POWER_OFF, 10)
            time.sleep(0.3)
            proc.send_signal(signal.SIGINT)
            self.assertEqual(proc.wait(timeout=EXIT_AFTER_CTRL_C), 130)
            self.assertIn(b"interrupted", proc.stderr.read())
            # The port is free again at once.
            rc, out, _ = run_cli("--yes", "--port", emulator.port, image)
            self.assertEqual(rc, 0, out)
            emulator.finish()


class CtrlCTests(Workdir, unittest.TestCase):
    # The signal, the exit status it gives: SIGTERM and SIGHUP end a run as
    # Ctrl-C does.
    SIGNALS = [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)]

    def test_a_signal_during_transfer_sends_the_cancel_frame_writes_the_record_and_exits(self):
        image, _ = self.image(256 * 1024)
        for sent, status in self.SIGNALS:
            record = os.path.join(self.dir, f"records-{sent.name}.jsonl")
            with self.subTest(sent.name), Emulator("--baud", "115200") as emulator:
                proc = subprocess.Popen([CLI, "--yes", "--record", record, "--port", emulator.port, image],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
                self.addCleanup(proc.stderr.close)
                self.addCleanup(proc.stdout.close)
                # Logs get a few "sent / total" lines; the first comes with block 1.
                for line in proc.stdout:
                    match = PROGRESS.match(line.rstrip("\n"))
                    if match:
                        break
                else:
                    self.fail("the transfer never began")
                time.sleep(0.5)
                proc.send_signal(sent)
                rc = proc.wait(timeout=EXIT_AFTER_CTRL_C)
                rest = proc.stdout.read()
                err = proc.stderr.read()
                summary = emulator.finish(wait=5)
                self.assertEqual(rc, status, err)
                self.assertIn("interrupted", err)
                self.assertEqual(final_messages(rest), [])
                # The box ended the transfer on our cancel frame; it was not stopped.
                self.assertTrue(emulator.ended_by_itself)
                self.assertEqual(summary["verdict"], "cancelled")
                self.assertGreater(summary["blocks"], 0)
                self.assertLess(summary["blocks"], 256)
                with open(record) as f:
                    self.assertEqual([json.loads(line)["end"] for line in f], ["cancelled"])


    def test_ctrl_c_while_the_box_decides_warns_not_to_switch_it_off(self):
        image, _ = self.image(5000)
        record = os.path.join(self.dir, "records.jsonl")
        # The whole image is acknowledged; the box chatters 15 s before its verdict.
        with Emulator("--chatter", "--verdict-delay", "15000") as emulator:
            proc = subprocess.Popen([CLI, "--yes", "--record", record, "--port", emulator.port, image],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
            self.addCleanup(proc.stderr.close)
            self.addCleanup(proc.stdout.close)
            for line in proc.stdout:
                if line.rstrip("\n") == "Please wait ! Checking image.":
                    break
            else:
                self.fail("the verdict wait never began")
            time.sleep(0.5)
            proc.send_signal(signal.SIGINT)
            rc = proc.wait(timeout=EXIT_AFTER_CTRL_C)
            rest = proc.stdout.read()
            err = proc.stderr.read()
            summary = emulator.finish(wait=0.5)
        self.assertEqual(rc, 130, err)
        self.assertIn("interrupted", err)
        self.assertIn(MSG_VERDICT_UNKNOWN + "\n", rest)
        self.assertEqual(final_messages(rest), [])
        self.assertEqual(summary["blocks"], 5)
        with open(record) as f:
            records = [json.loads(line) for line in f]
        self.assertEqual([(r["end"], r["ok"], r["message"]) for r in records],
                         [("verdict-unknown", False, MSG_VERDICT_UNKNOWN)])


class RepeatTests(Workdir, unittest.TestCase):
    def test_repeat_runs_every_download_and_reports_resources(self):
        image, _ = self.image(20000)
        with Emulator("--sessions", "3") as emulator:
            rc, out, err = run_cli("--yes", "--quiet", "--repeat", "3", "--port", emulator.port,
                                   image, timeout=90)
            summary = emulator.finish(wait=5)
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(out.count(MSG_COMPLETED + "\n"), 3)
        self.assertEqual(summary["sessions"], 3)
        start = re.search(r"at start: descriptors (\d+), resident (\d+) KiB", out)
        end = re.search(r"at end: descriptors (\d+), resident (\d+) KiB; 3 of 3", out)
        self.assertIsNotNone(start, out)
        self.assertIsNotNone(end, out)
        self.assertEqual(start[1], end[1], "descriptors leaked")

    def test_every_run_sends_and_records_the_image_read_at_the_start(self):
        image, data = self.image(64 * 1024)
        saved = os.path.join(self.dir, "saved.bin")
        record = os.path.join(self.dir, "records.jsonl")
        with Emulator("--sessions", "2", "--save", saved) as emulator:
            proc = subprocess.Popen([CLI, "--yes", "--repeat", "2", "--record", record, "--port", emulator.port,
                                     image], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
            self.addCleanup(proc.stderr.close)
            self.addCleanup(proc.stdout.close)
            # The file is replaced while the first run sends it.
            for line in proc.stdout:
                if PROGRESS.match(line.rstrip("\n")):
                    break
            with open(image, "wb") as f:
                f.write(os.urandom(3000))
            out = proc.stdout.read()
            rc = proc.wait(timeout=RUN_LIMIT)
            err = proc.stderr.read()
            emulator.finish(wait=5)
        self.assertEqual(rc, 0, out + err)
        # The second run's box got the first image, and both records say so.
        with open(saved, "rb") as f:
            self.assertTrue(f.read() == fill(data), "the second run sent other bytes")
        with open(record) as f:
            records = [json.loads(line) for line in f]
        self.assertEqual([(r["end"], r["image_bytes"], r["image_sha256"]) for r in records],
                         [("completed", len(data), hashlib.sha256(data).hexdigest())] * 2)

    def test_repeat_stops_at_the_first_failure_with_status_1(self):
        image, _ = self.image(5000)
        with Emulator("--sessions", "2", "--refuse") as emulator:
            rc, out, err = run_cli("--yes", "--quiet", "--repeat", "3", "--port", emulator.port, image)
            emulator.finish(wait=1)
        self.assertEqual(rc, 1, out + err)
        self.assertEqual(out.count(MSG_REFUSED + "\n"), 1)
        self.assertIn("0 of 3 downloads completed", out)


class ForeignPeerTests(Workdir, unittest.TestCase):
    """lrzsz's rx, behind our relay, receives what kelvora-upgrader sends."""

    def _one(self, size):
        path, data = self.image(size, f"image-{size}.ssu")
        received = os.path.join(self.dir, f"rx-{size}.bin")
        log = os.path.join(self.dir, f"rx-{size}.log")
        relay = subprocess.Popen([sys.executable, RELAY, received, "--log", log, "--timeout", "60"],
                                 stdout=subprocess.PIPE, text=True)
        with relay:
            try:
                port = relay.stdout.readline().strip()
                rc, out, err = run_cli("--yes", "--quiet", "--port", port, path)
                relay_out = relay.stdout.read()
                relay.wait(timeout=10)
            finally:
                if relay.poll() is None:
                    relay.kill()
        # rx removes what it received when it gives up: its log says why.
        with open(log, errors="replace") as f:
            relay_out += f.read()
        if not os.path.exists(received):
            return data, rc, out + err + relay_out, b""
        with open(received, "rb") as f:
            return data, rc, out + err + relay_out, f.read()

    def test_rx_receives_the_image_byte_exact(self):
        if subprocess.run(["sh", "-c", "command -v rx"], capture_output=True).returncode != 0:
            self.skipTest("lrzsz is not installed")
        sizes = [1, 3000, 300 * 1024]
        with concurrent.futures.ThreadPoolExecutor(len(sizes)) as pool:
            results = list(pool.map(self._one, sizes))
        for size, (data, rc, log, received) in zip(sizes, results):
            with self.subTest(size=size):
                self.assertEqual(rc, 0, log)
                self.assertIn("rx_exit=0", log)
                self.assertTrue(received == fill(data), f"rx received {len(received)} bytes")


def _readable(fd):
    return bool(select.select([fd], [], [], 0.2)[0])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--version", required=True)
    known, rest = parser.parse_known_args()
    CLI, EMULATOR, VERSION = known.cli, known.emulator, known.version
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
