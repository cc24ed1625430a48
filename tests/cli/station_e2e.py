#!/usr/bin/env python3
"""End-to-end tests of the station: one kelvora-upgrader --station process,
a slot per box emulator, driven by lines on stdin as a line controller would.

    station_e2e.py --cli PATH --emulator PATH [unittest args]
"""

import fcntl
import hashlib
import json
import os
import re
import shlex
import signal
import sqlite3
import subprocess
import sys
import time
import unittest
import urllib.request
from unittest import mock
from contextlib import ExitStack
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from box_emulator import BoxWorkdir, Emulator, e2e_paths  # noqa: E402
from line_process import LineProcess  # noqa: E402
from modem_lines import ModemLines  # noqa: E402
import postgres_server  # noqa: E402

CLI = None
EMULATOR = None
MODEM_LINES = None  # the preload library giving pseudo-terminals modem lines
WAIT = 60  # a hang guard, not a timing


def fill(data):
    return data + b"\xff" * (-len(data) % 1024)


class StationProcess(LineProcess):
    """kelvora-upgrader --station on the given ports; lines go to its stdin,
    its stdout lines are collected as they come."""

    def __init__(self, ports, image, record, *extra, env=None):
        args = [CLI, "--station", "--record", record, "--station-name", "bench-7", *extra]
        for port in ports:
            args += ["--port", port]
        super().__init__(args + [image], wait=WAIT, env=env)


class StationCase(BoxWorkdir):
    image_size = 40 * 1024

    def boxes(self, stack, options_per_box):
        # A long autoboot window: a box waits for its slot's start.
        return super().boxes(stack, options_per_box, "--autoboot-ms", "60000")

    def station(self, stack, ports, *extra, env=None):
        station = StationProcess(ports, self.image, self.record, *extra, env=env)
        stack.callback(station.kill)
        return station

    def records(self):
        with open(self.record) as f:
            records = [json.loads(line) for line in f]
        for record in records:
            self.assertEqual(record["station"], "bench-7")
            self.assertEqual(record["image_sha256"], hashlib.sha256(self.data).hexdigest())
        return records

    def saved(self, path):
        with open(path, "rb") as f:
            return f.read()



class StationTests(StationCase, unittest.TestCase):
    def test_slots_start_and_stop_on_their_own(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [
                ["--sessions", "3", "--serial", "SN-0042"],  # slot 1: the same box three times
                # slot 2: one slow transfer and a late verdict meanwhile
                ["--baud", "57600", "--verdict-delay", "10000"],
                ["--nak-block", "2"],           # slot 3: refuses block 2
                ["--baud", "57600"],            # slot 4: stopped mid-transfer
                ["--refuse"],                   # slot 5: refuses the image
                ["--silent-block", "3"],        # slot 6: no answer to block 3
            ])
            ports = [box.port for box, _ in boxes]
            station = self.station(stack, ports, "--unit-pattern", r"Board serial: (\S+)", "--reflash")
            station.send("start 2")
            station.send("start 4")
            station.wait_for(rf"^{re.escape(ports[3])}: 1024 / ")
            station.send("start 2")
            station.wait_for(r"slot 2 is running; not started again")
            station.send("stop 4")
            station.wait_for(rf"^{re.escape(ports[3])}: cancelled")
            station.send("start 3")
            station.send("start 5")
            station.send("start 6")
            station.wait_for(rf"^{re.escape(ports[2])}: Error 31 !!! at block 2$")
            for run in range(3):
                station.send("start 1")
                if run > 0:
                    station.wait_for(rf"^{re.escape(ports[0])}: unit SN-0042 already flashed in run \d+$")
                station.wait_for(rf"^{re.escape(ports[0])}: completed in .* \(unit SN-0042\)$")
            station.send("start 9")
            station.wait_for(r"no slot 9")
            station.send("flash everything")
            # Quit waits for the slow transfer on slot 2.
            station.send("quit")
            station.wait_for(r"^quitting: [12] still running")
            status, out, err = station.finish()
            summaries = [box.finish() for box, _ in boxes]
        self.assertEqual(status, 1, out + err)
        self.assertIn("unknown command 'flash everything'", err)
        self.assertRegex(out, rf"(?m)^{re.escape(ports[4])}: Download Failure !!!\s+SSU file incorrect !!!!$")
        self.assertRegex(out, rf"(?m)^{re.escape(ports[5])}: Error 3 !!! at block 3$")
        # The same unit three times is one box.
        self.assertIn("2 completed, 4 failed", out)
        self.assertEqual([s["verdict"] for s in summaries],
                         ["completed", "completed", "cancelled", "cancelled", "refused", "cancelled"])
        self.assertEqual(summaries[0]["sessions"], 3)
        for index in (0, 1):
            self.assertTrue(self.saved(boxes[index][1]) == fill(self.data), "saved image differs")
        records = self.records()
        self.assertEqual(len(records), 8)
        self.assertEqual(sorted(r["run"] for r in records), list(range(1, 9)))
        ends = {}
        for record in records:
            ends.setdefault(record["slot"], []).append(record["end"])
            self.assertEqual(record["port"], ports[record["slot"] - 1])
        self.assertEqual(ends, {1: ["completed"] * 3, 2: ["completed"], 3: ["error-31"], 4: ["cancelled"],
                                5: ["image-refused"], 6: ["error-3"]})
        unit_runs = sorted((r["run"], r.get("repeat_of")) for r in records if r.get("unit") == "SN-0042")
        first = unit_runs[0][0]
        self.assertEqual(unit_runs, [(first, None)] + [(run, first) for run, _ in unit_runs[1:]])

    def test_sigterm_cancels_running_slots_and_writes_their_records(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [["--baud", "57600"]] * 2)
            ports = [box.port for box, _ in boxes]
            station = self.station(stack, ports)
            station.send("start all")
            # Both slots under way, their first blocks in either order.
            sending = "|".join(re.escape(port) for port in ports)
            started = {station.wait_for(rf"^({sending}): 1024 / ")[1] for _ in ports}
            self.assertEqual(started, set(ports))
            station.proc.send_signal(signal.SIGTERM)
            status, out, err = station.finish()
            summaries = [box.finish(wait=5) for box, _ in boxes]
        self.assertEqual(status, 143, out + err)
        self.assertEqual([s["verdict"] for s in summaries], ["cancelled", "cancelled"])
        self.assertEqual(sorted(r["end"] for r in self.records()), ["cancelled", "cancelled"])

    def test_an_adapter_that_goes_and_comes_back_is_used_again(self):
        link = os.path.join(self.dir, "ttyUSB-bench")
        with ExitStack() as stack:
            other, _ = self.boxes(stack, [[]])[0]
            first = stack.enter_context(Emulator(EMULATOR, "--link", link, "--autoboot-ms", "60000"))
            station = self.station(stack, [link, other.port])
            station.send("start 1")
            station.wait_for(rf"^{re.escape(link)}: completed in ")
            first.finish()
            # Unplugged while idle: noticed, and a start says why.
            station.wait_for(rf"^{re.escape(link)}: port lost$")
            station.send("start 1")
            station.wait_for(rf"slot 1 {re.escape(link)}: cannot open port: No such file or directory")
            # Plugged in again at the same name.
            second = stack.enter_context(Emulator(EMULATOR, "--link", link, "--autoboot-ms", "60000"))
            station.wait_for(rf"^{re.escape(link)}: port back$")
            station.send("start 1")
            station.wait_for(rf"^{re.escape(link)}: completed in ")
            station.send("start 2")
            station.wait_for(rf"^{re.escape(other.port)}: completed in ")
            station.send("quit")
            status, out, err = station.finish()
            self.assertEqual(second.finish()["verdict"], "completed")
        self.assertEqual(status, 0, out + err)
        self.assertEqual([r["end"] for r in self.records()], ["completed"] * 3)

    def test_port_names_and_lines_from_outside_are_shown_printable(self):
        link = os.path.join(self.dir, "tty\x1b[2J\x1b[31mUSB\nbench")
        shown = re.escape(link.replace("\x1b", "\\x1b").replace("\n", "\\x0a"))
        with ExitStack() as stack:
            # AddressSanitizer keeps freed blocks aside for a while; what is
            # bounded here is what the program itself holds.
            asan = os.environ.get("ASAN_OPTIONS", "")
            stack.enter_context(mock.patch.dict(os.environ, {"ASAN_OPTIONS": asan + ":quarantine_size_mb=1"}))
            box = stack.enter_context(Emulator(EMULATOR, "--link", link, "--autoboot-ms", "60000"))
            station = self.station(stack, [link])
            station.wait_for(r"completed 0  failed 0")
            with open(f"/proc/{station.pid}/status") as f:
                base_kib = int(re.search(r"VmHWM:\s+(\d+) kB", f.read())[1])
            station.send("flash \x1b[2J\x07 now")
            # 50 MB without a line break, then the break: one complaint, and
            # the line is not kept.
            station.proc.stdin.write("start 1 " + "x" * (50 << 20))
            station.send("")
            station.send("start 1")
            station.wait_for(rf"^{shown}: completed in ")
            with open(f"/proc/{station.pid}/status") as f:
                peak_kib = int(re.search(r"VmHWM:\s+(\d+) kB", f.read())[1])
            station.send("quit")
            status, out, err = station.finish()
            self.assertEqual(box.finish()["verdict"], "completed")
        self.assertEqual(status, 0, out + err)
        self.assertLess(peak_kib - base_kib, 16 << 10)  # far less than the 50 MB line
        for text in (out, err):
            self.assertNotRegex(text, r"[\x00-\x09\x0b-\x1f\x7f]")
        self.assertIn("unknown command 'flash \\x1b[2J\\x07 now'", err)
        self.assertEqual(err.count("line longer than 4096 bytes ignored up to its end: 'start 1 xxx"), 1, err[:2000])
        self.assertLess(len(err), 2000)


class BoxFaultTests(StationCase, unittest.TestCase):
    """Boxes that talk too much, or come back: the station goes on."""

    def test_a_hostile_identity_line_stalls_no_other_slot(self):
        cases = [
            # A 40 KB serial: matched on its first 1 KiB only.
            (r"serial: ([0-9]+)", "7" * 40000, "7" * (1024 - len("Board serial: "))),
            # A pattern that backtracks without bound, and a line that makes it.
            (r"(a+)+b", "a" * 40, None),
        ]
        for pattern, serial, unit in cases:
            with self.subTest(pattern=pattern), ExitStack() as stack:
                open(self.record, "w").close()
                # The other box prints 40 KB of boot text before its menu.
                # Paced as a line (230400 baud: 1.7 s of text, within the
                # catch's 6 s even on a busy machine).
                boxes = self.boxes(stack, [["--serial", serial, "--baud", "230400"],
                                           ["--spam", "40000", "--baud", "230400"]])
                ports = [box.port for box, _ in boxes]
                station = self.station(stack, ports, "--unit-pattern", pattern)
                station.send("start all")
                either = "|".join(re.escape(port) for port in ports)
                done = {station.wait_for(rf"^({either}): completed in ")[1] for _ in ports}
                self.assertEqual(done, set(ports))
                station.send("quit")
                status, out, err = station.finish()
                self.assertEqual(status, 0, out + err)
                records = sorted(self.records(), key=lambda r: r["slot"])
                self.assertEqual([r["end"] for r in records], ["completed", "completed"])
                self.assertEqual(records[0].get("unit"), unit)

    def test_a_box_already_flashed_is_not_flashed_again(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [["--sessions", "2", "--serial", "SN-7"], ["--serial", "SN-7"]])
            ports = [box.port for box, _ in boxes]
            open(self.record, "w").close()
            station = self.station(stack, ports, "--unit-pattern", r"serial: (\S+)", "--target", "2")
            station.send("start 1")
            # A line controller starts the slot again as soon as its record is there.
            deadline = time.monotonic() + WAIT
            while not os.path.getsize(self.record) and time.monotonic() < deadline:
                time.sleep(0.01)
            station.send("start all")
            either = "|".join(re.escape(port) for port in ports)
            refused = {station.wait_for(rf"^({either}): unit SN-7 already flashed in run 1: not flashed again$")[1]
                       for _ in range(4)}  # the run's message, then its event
            self.assertEqual(refused, set(ports))
            station.send("quit")
            status, out, err = station.finish()
            summaries = [box.finish(wait=5) for box, _ in boxes]
        self.assertEqual(status, 0, out + err)
        self.assertNotIn("is running", err)
        self.assertIn("1 completed, 0 failed", out)
        records = sorted(self.records(), key=lambda r: r["run"])
        self.assertEqual([(r["slot"], r["end"], r.get("repeat_of")) for r in records],
                         [(1, "completed", None), (1, "already-flashed", 1), (2, "already-flashed", 1)])
        self.assertEqual({r["unit"] for r in records}, {"SN-7"})
        # Nothing of the image went to the boxes the second time.
        self.assertEqual([s["blocks"] for s in summaries], [len(fill(self.data)) // 1024, 0])

    def test_sigterm_ends_waits_for_a_locked_record_file(self):
        with ExitStack() as stack, open(self.record, "a") as held:
            fcntl.lockf(held, fcntl.LOCK_EX)
            boxes = self.boxes(stack, [[]] * 3)
            ports = [box.port for box, _ in boxes]
            station = self.station(stack, ports)
            station.send("start all")
            # Each run has ended (its message shown); its record waits for the file.
            ended = "|".join(re.escape(port) for port in ports)
            finished = {station.wait_for(rf"^({ended}): Download Complted")[1] for _ in ports}
            self.assertEqual(finished, set(ports))
            station.proc.send_signal(signal.SIGTERM)
            status, out, err = station.finish()
        self.assertEqual(status, 143, out + err)
        self.assertEqual(err.count("cannot write the record of"), 3, err)
        lost = [json.loads(line) for line in err.splitlines() if line.startswith("{")]
        self.assertEqual(sorted(r["slot"] for r in lost), [1, 2, 3])
        self.assertIn("3 records not written", out)


class KeysTests(StationCase, unittest.TestCase):
    """The station in a real terminal: tmux types the keys and reads the screen."""

    def screen(self, session, pattern):
        deadline = time.monotonic() + WAIT
        text = ""
        while time.monotonic() < deadline:
            text = subprocess.run(["tmux", "capture-pane", "-p", "-t", session], capture_output=True,
                                  text=True).stdout
            if re.search(pattern, text):
                return text
            time.sleep(0.2)
        raise AssertionError(f"no {pattern!r} on the screen:\n{text}")

    def keys(self, session, *keys):
        subprocess.run(["tmux", "send-keys", "-t", session, *keys], check=True)

    def tmux(self, stack, command, columns, rows):
        """Runs the command (an argument list) in a new tmux window of that
        size; gives the session's name."""
        session = f"kelvora-{os.getpid()}"
        script = os.path.join(self.dir, "station.sh")
        with open(script, "w") as f:
            f.write(" ".join(shlex.quote(arg) for arg in command) + "; echo exit=$?; sleep 60\n")
        subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", str(columns), "-y", str(rows),
                        "bash", script], check=True)
        stack.callback(subprocess.run, ["tmux", "kill-session", "-t", session])
        return session

    def station_command(self, ports, image, *extra):
        return [CLI, "--station", "--record", self.record, "--station-name", "bench-7", *extra,
                *[arg for port in ports for arg in ("--port", port)], image]

    def test_keys_start_and_stop_slots_and_the_screen_counts(self):
        # 120 columns and a long image name: the rows keep what the operator
        # needs before the message, the header its target.
        image = os.path.join(self.dir, "kelvora-stb-firmware-2026-12-release-candidate.ssu")
        os.rename(self.image, image)
        with ExitStack() as stack:
            boxes = self.boxes(stack, [["--sessions", "2"], ["--baud", "57600"]])
            ports = [box.port for box, _ in boxes]
            session = self.tmux(stack, self.station_command(ports, image, "--target", "3"), 120, 30)
            self.screen(session, r"completed 0  failed 0 .*target 3: 3 left")
            self.keys(session, "1")
            self.screen(session, rf"(?m)^1  completed\s+last byte \d+ s ago\s+{re.escape(ports[0])}\s+1 ok 0 failed"
                                 r"\s+Download")
            self.keys(session, "2")
            self.screen(session, rf"(?m)^2  sending\s+\[#*\.*\]\s+\d+%\s+(\d+:\d\d|--:--) left\s+last byte \d+ s ago"
                                 rf"\s+{re.escape(ports[1])}\s+0 ok 0 failed")
            self.keys(session, "s", "2")
            self.screen(session, rf"(?m)^2  cancelled\s.*{re.escape(ports[1])}\s+0 ok 1 failed")
            # A stop waits for its slot's key, on screen; Esc cancels it and
            # the next key starts a slot again.
            self.keys(session, "s")
            self.screen(session, r"(?m)^stop: press the slot's key \(Esc cancels\)$")
            self.keys(session, "Escape")
            self.screen(session, r"(?m)^keys: slot key starts it")
            self.keys(session, "1")
            self.screen(session, r"completed 2  failed 1 .*target 3: 1 left")
            # A quit is asked once more; any other key goes on.
            self.keys(session, "q")
            self.screen(session, r"(?m)^quit\? q again, any other key goes on$")
            self.keys(session, "x")
            self.screen(session, r"(?m)^keys: slot key starts it")
            self.keys(session, "q")
            self.screen(session, r"(?m)^quit\? q again")
            self.keys(session, "q")
            text = self.screen(session, r"exit=\d+")
        self.assertIn("exit=1", text)
        self.assertIn("2 completed, 1 failed", text)
        self.assertEqual(len(self.records()), 3)

    def test_many_slots_keep_the_header_and_other_keys_start_nothing(self):
        # 28 slots on 30 rows, one of them on a link whose name has an escape
        # sequence and a line break.
        link = os.path.join(self.dir, "tty\x1b[2J\x1b[31mUSB\nbench")
        with ExitStack() as stack:
            boxes = self.boxes(stack, [[]] * 27)
            stack.enter_context(Emulator(EMULATOR, "--link", link, "--autoboot-ms", "60000"))
            ports = [box.port for box, _ in boxes] + [link]
            session = self.tmux(stack, self.station_command(ports, self.image), 200, 30)
            text = self.screen(session, r"(?m)^keys: slot key starts it")
            self.assertEqual(text.count("completed 0  failed 0"), 1, text)
            self.assertEqual(len(re.findall(r"\S  ready\b", text)), 28, text)
            # Delete, PageUp, Home, End, F5, an arrow, Tab and Ctrl-Space
            # (NUL): none is a slot's key.
            self.keys(session, "DC", "PPage", "Home", "End", "F5", "Up", "Tab", "C-Space", "C-a")
            self.keys(session, "s")
            text = self.screen(session, r"(?m)^stop: press the slot's key")
            self.assertIn("running 0", text)
            self.assertEqual(len(re.findall(r"\S  ready\b", text)), 28, text)
            self.keys(session, "Escape")
            self.screen(session, r"(?m)^keys: slot key starts it")
            # Narrower: one column, drawn afresh, nothing left of the two.
            subprocess.run(["tmux", "resize-window", "-t", session, "-x", "80", "-y", "30"], check=True)
            text = self.screen(session, r"(?m)^u  ready")
            lines = text.splitlines()
            self.assertEqual(text.count("completed 0  failed 0"), 1, text)
            self.assertTrue(lines[0].endswith("completed 0  failed 0  yield -  0.0 boxes/h  running 0"), text)
            keys = [line[0] for line in lines if re.match(r"^\S  ready", line)]
            self.assertEqual(keys, list("123456789abcdefghijklmnoprtu"), text)
            self.keys(session, "q")
            self.screen(session, r"quit\? q again")
            self.keys(session, "q")
            text = self.screen(session, r"exit=\d+")
        self.assertIn("exit=0", text)
        self.assertNotIn("\x1b", text)


class StoreTests(StationCase, unittest.TestCase):
    """The unit store: stations sharing one SQLite file, its guard across
    sessions and stations, a station killed mid-shift."""

    unit = ["--unit-pattern", r"Board serial: (\S+)"]

    def history(self, db, *args, env=None):
        run = subprocess.run([CLI, "history", "--db", db, "--json", *args], capture_output=True, text=True,
                             timeout=WAIT, env=env)
        self.assertIn(run.returncode, (0, 1), run.stderr)
        return [json.loads(line) for line in run.stdout.splitlines()]

    def test_a_unit_flashed_at_another_station_or_session_is_not_flashed_again_with_the_same_image(self):
        db = os.path.join(self.dir, "line.db")
        other_image = os.path.join(self.dir, "other.ssu")
        other = os.urandom(3000)
        with open(other_image, "wb") as f:
            f.write(other)
        with ExitStack() as stack:
            (a1, _), (b1, _), (b2, _), (c1, _) = self.boxes(stack, [
                ["--serial", "SN-1"], ["--serial", "SN-1", "--sessions", "2"], ["--serial", "SN-2"],
                ["--serial", "SN-1", "--sessions", "2"]])
            # Two stations at once on one file.
            a = self.station(stack, [a1.port], "--db", db, *self.unit)
            b = StationProcess([b1.port, b2.port], self.image, self.record + ".b", "--db", db,
                               "--station-name", "bench-8", *self.unit)
            stack.callback(b.kill)
            a.send("start 1")
            a.wait_for(rf"^{re.escape(a1.port)}: completed in \S+ \(unit SN-1\)$")
            b.send("start all")
            b.wait_for(rf"^{re.escape(b1.port)}: unit SN-1 already flashed with this image at bench-7 \(run 1\) "
                       r"on 2\d{3}-\d\d-\d\dT[\d:.]+Z: not flashed again$")
            b.wait_for(rf"^{re.escape(b2.port)}: completed in \S+ \(unit SN-2\)$")
            for station in (a, b):
                station.send("quit")
                self.assertEqual(station.finish()[0], 0)
            # The next session: another image is flashed, the same image
            # only with --reflash.
            for image, options in [(other_image, []), (self.image, ["--reflash"])]:
                with self.subTest(image=image):
                    c = StationProcess([c1.port], image, self.record + ".c", "--db", db, "--station-name", "bench-9",
                                       *self.unit, *options)
                    stack.callback(c.kill)
                    c.send("start 1")
                    c.wait_for(rf"^{re.escape(c1.port)}: completed in \S+ \(unit SN-1\)$")
                    c.send("quit")
                    self.assertEqual(c.finish()[0], 0)
        rows = self.history(db)
        self.assertEqual(sorted((r["station"], r["unit"], r["end"]) for r in rows), [
            ("bench-7", "SN-1", "completed"), ("bench-8", "SN-1", "already-flashed"), ("bench-8", "SN-2", "completed"),
            ("bench-9", "SN-1", "completed"), ("bench-9", "SN-1", "completed")])
        self.assertEqual({r["attempt"] for r in rows}, self.attempts(self.record, self.record + ".b", self.record + ".c"))
        # Each row of the next session says what the unit had before it.
        sha = hashlib.sha256
        self.assertEqual([(r["image_sha256"], r.get("had_image_sha256")) for r in rows if r["station"] == "bench-9"],
                         [(sha(self.data).hexdigest(), sha(other).hexdigest()),
                          (sha(other).hexdigest(), sha(self.data).hexdigest())])

    def test_two_stations_share_a_postgres_server_that_goes_away_mid_shift(self):
        try:
            server = postgres_server.PostgresServer().__enter__()
        except postgres_server.Unavailable as e:
            self.skipTest(str(e))
        self.addCleanup(server.__exit__, None, None, None)
        # Each station on a machine of its own: a spool each.
        env = {name: dict(os.environ, PGPASSWORD=postgres_server.PASSWORD,
                          KELVORA_SPOOL_DIR=os.path.join(self.dir, f"spool-{name}")) for name in "ab"}
        records = {name: f"{self.record}.{name}" for name in "ab"}
        with ExitStack() as stack:
            (a1, _), (a2, _), (b1, _), (b2, _) = self.boxes(stack, [
                ["--serial", "SN-1"], ["--serial", "SN-3"], ["--serial", "SN-1"], ["--serial", "SN-2"]])
            a = StationProcess([a1.port, a2.port], self.image, records["a"], "--db", server.uri, *self.unit,
                               env=env["a"])
            b = StationProcess([b1.port, b2.port], self.image, records["b"], "--db", server.uri,
                               "--station-name", "bench-8", *self.unit, env=env["b"])
            for station in (a, b):
                stack.callback(station.kill)
            a.send("start 1")
            a.wait_for(rf"^{re.escape(a1.port)}: completed in \S+ \(unit SN-1\)$")
            b.send("start 1")
            b.wait_for(rf"^{re.escape(b1.port)}: unit SN-1 already flashed with this image at bench-7 \(run 1\)")
            # The server goes away: both go on flashing, their rows wait.
            server.pause()
            a.send("start 2")
            a.wait_for(rf"^{re.escape(a2.port)}: completed in \S+ \(unit SN-3\)$")
            b.send("start 2")
            b.wait_for(rf"^{re.escape(b2.port)}: completed in \S+ \(unit SN-2\)$")
            a.saw(r"^station: unit store: PostgreSQL server at \S+ cannot be reached: .*; \d+ rows? wait")
            server.resume()
            a.wait_for(r"^station: unit store: the server answers again$")
            for station in (a, b):
                station.send("quit")
                status, out, err = station.finish()
                self.assertEqual(status, 0, out + err)
                self.assertNotIn(postgres_server.PASSWORD, out + err)
        rows = self.history(server.uri, env=env["a"])
        self.assertEqual(len(rows), 4)
        self.assertEqual({r["attempt"] for r in rows}, self.attempts(*records.values()))
        # A password the server refuses stops the set-up, and is shown nowhere.
        wrong = server.uri.replace("kelvora@", "kelvora:Wrong-9x@")
        run = subprocess.run([CLI, "--station", "--db", wrong, "--port", a1.port, self.image],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=WAIT,
                             env=dict(os.environ, PGPASSWORD="Wrong-7y"))
        self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
        self.assertIn("cannot use the unit store 'postgresql://kelvora@127.0.0.1:", run.stderr)
        for secret in ("Wrong-9x", "Wrong-7y"):
            self.assertNotIn(secret, run.stdout + run.stderr)

    def attempts(self, *files):
        """The attempt ids of the records in files: their lines' SHA-256."""
        ids = set()
        for name in filter(os.path.exists, files):
            with open(name, "rb") as f:
                ids |= {hashlib.sha256(line.rstrip(b"\n")).hexdigest() for line in f}
        return ids

    def test_a_station_killed_mid_shift_leaves_a_row_for_every_record_and_set_up_refuses_a_bad_store(self):
        with ExitStack() as stack:
            boxes = self.boxes(stack, [["--sessions", "0"]] * 3)
            ports = [box.port for box, _ in boxes]
            # The default store, in the user's (here the case's) state folder.
            station = self.station(stack, ports)
            deadline = time.monotonic() + WAIT
            while time.monotonic() < deadline and len(self.attempts(self.record)) < 6:
                station.send("start all")
                time.sleep(0.2)
            station.proc.kill()
            station.finish()
        db = os.path.join(self.dir, "state", "kelvora", "units.db")
        with sqlite3.connect(db) as store:
            self.assertEqual(store.execute("PRAGMA integrity_check").fetchall(), [("ok",)])
        # A row is added before its record is appended: at most the run
        # written at the kill has a row and no record yet.
        rows = {r["attempt"] for r in self.history(db)}
        records = self.attempts(self.record)
        self.assertGreaterEqual(len(records), 6)
        self.assertLessEqual(records, rows)
        self.assertLessEqual(len(rows - records), 1)
        # Set-up refusals name the store and say why (exit 2, nothing sent).
        not_a_store = os.path.join(self.dir, "notes.txt")
        with open(not_a_store, "w") as f:
            f.write("not a database\n" * 100)
        with ExitStack() as stack:
            (box, _), = self.boxes(stack, [[]])
            for db, complaint in [(not_a_store, "file is not a database|not a unit store"),
                                  (self.dir, ".+")]:  # a folder
                with self.subTest(db=db):
                    run = subprocess.run([CLI, "--station", "--db", db, "--port", box.port, self.image],
                                         stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=WAIT)
                    self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
                    self.assertRegex(run.stderr, rf"cannot use the unit store '{re.escape(db)}': ({complaint})")
            self.assertEqual(box.finish()["bytes"], 0)


class FixtureTests(StationCase, unittest.TestCase):
    """Slots that power their box and start on a lid, and the boot check:
    the pseudo-terminals get modem lines from the preloaded library, the
    emulators are powered by DTR or by a file a power command writes."""

    image_size = 8 * 1024
    booted = ["--boot-expect", r"firmware \S+ booted", "--boot-fail", "Kernel panic"]

    def setUp(self):
        super().setUp()
        if MODEM_LINES is None:
            self.skipTest("no --modem-lines library given")
        self.lines_dir = os.path.join(self.dir, "lines")
        os.mkdir(self.lines_dir)
        # The emulators read the lines' files; only the upgrader is preloaded.
        patcher = mock.patch.dict(os.environ, {"KELVORA_MODEM_LINES": self.lines_dir})
        patcher.start()
        self.addCleanup(patcher.stop)
        # Preloaded ahead of a sanitizer's runtime, which must not refuse it.
        asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        self.env = dict(os.environ, LD_PRELOAD=MODEM_LINES, ASAN_OPTIONS=asan)

    def station(self, stack, ports, *extra):
        # Ready once it shows its header: set up, the lids looked at.
        station = super().station(stack, ports, *extra, env=self.env)
        station.wait_for(r"^image\.ssu ")
        if "--web" in extra:
            self.web = station.wait_for(r"^web: (http://\S+/)$")[1]
        return station

    def get(self, path):
        with urllib.request.urlopen(self.web + path, timeout=WAIT) as answer:
            return answer.read().decode()

    def box(self, stack, *options):
        self.boxes_made = getattr(self, "boxes_made", 0) + 1
        saved = os.path.join(self.dir, f"saved-{self.boxes_made}.bin")
        box = stack.enter_context(Emulator(EMULATOR, "--save", saved, *options))
        return box, stack.enter_context(ModemLines(self.lines_dir, box.port))

    def test_a_lid_and_dtr_power_flash_box_after_box_without_a_key(self):
        with ExitStack() as stack:
            box, lines = self.box(stack, "--power-line", "dtr", "--units", "SN-1,SN-2,SN-3")
            station = self.station(stack, [box.port], "--power", "dtr", "--start-on", "dsr", "--off-time", "1",
                                   "--unit-pattern", r"Board serial: (\S+)", *self.booted)
            self.assertFalse(lines.get()["dtr"], "the box is off after set-up")
            for unit in ["SN-1", "SN-2", "SN-3"]:
                lines.set("dsr", True)  # the lid closes on a box
                station.wait_for(rf"^{re.escape(box.port)}: completed in .*; booted: Kelvora STB firmware 2.0 "
                                 rf"booted \(unit {unit}\)$")
                self.assertTrue(lines.wait_for("dtr", False, WAIT), "the box is switched off once it booted")
                lines.set("dsr", False)
                station.wait_for(rf"^{re.escape(box.port)}: lid opened$")
            station.proc.send_signal(signal.SIGTERM)
            status, out, err = station.finish()
            self.assertFalse(lines.get()["dtr"])
        self.assertEqual(status, 143, out + err)
        records = self.records()
        self.assertEqual([(r["unit"], r["end"], r["ok"], r["boot"]) for r in records],
                         [(unit, "completed", True, "verified") for unit in ["SN-1", "SN-2", "SN-3"]])

    def switch(self):
        """A power command: a script that writes on or off into the power
        file of its slot, which that slot's emulator reads."""
        script = os.path.join(self.dir, "switch")
        with open(script, "w") as f:
            f.write('#!/bin/sh\necho "$2" > "$1"\n')
        os.chmod(script, 0o755)
        return ["--power-command", f"{script} {self.dir}/power-{{slot}} {{state}}", "--off-time", "1"]

    def powered_box(self, stack, slot, *options):
        return self.box(stack, "--power-file", os.path.join(self.dir, f"power-{slot}"), *options)

    def test_boot_checks_fail_on_a_panic_on_silence_and_on_sigterm(self):
        with ExitStack() as stack:
            # Slot 4's firmware first prints 3 KiB without a line end (the
            # boot check reads lines of at most 1 KiB).
            endless = ["--boot-text", "\x1b[2J" + "#" * 3072 + "\r\nKelvora STB firmware 2.0 booted"]
            boxes = [self.powered_box(stack, slot, *fault)[0]
                     for slot, fault in enumerate((["--boot-panic"], ["--no-boot"], ["--no-boot"], endless), 1)]
            ports = [box.port for box in boxes]
            station = self.station(stack, ports, *self.switch(), *self.booted, "--boot-within", "10", "--web", "0")
            for slot in (1, 2, 4):
                station.send(f"start {slot}")
            # In any order; what each boot check found is in the records.
            started = "|".join(re.escape(ports[slot - 1]) for slot in (1, 2, 4))
            for _ in range(3):
                station.wait_for(rf"^({started}): completed in .*; boot")
            metrics = self.get("metrics")
            for port, result, count in [(ports[0], "boot-failed", 1), (ports[1], "boot-failed", 1),
                                        (ports[2], "verified", 0), (ports[3], "verified", 1)]:
                self.assertIn(f'kelvora_boot_checks_total{{port="{port}",result="{result}"}} {count}\n', metrics)
            slots = json.loads(self.get("api/station"))["slots"]
            self.assertEqual([slot.get("wait") for slot in slots], ["remove the box", "remove the box", None,
                                                                   "remove the box"])
            # SIGTERM while slot 3 waits for its boot text: the check fails,
            # the record is written, the box is switched off.
            station.send("start 3")
            station.wait_for(rf"^{re.escape(ports[2])}: Waiting for the new firmware to boot$")
            station.proc.send_signal(signal.SIGTERM)
            status, out, err = station.finish()
            powers = [Path(self.dir, f"power-{slot}").read_text().strip() for slot in range(1, 5)]
        self.assertEqual(status, 143, out + err)
        self.assertIn("1 completed, 3 failed", out)
        self.assertEqual(powers, ["off"] * 4)
        boots = {(r["port"], r["end"], r["ok"], r["boot"], r["boot_text"]) for r in self.records()}
        self.assertEqual(boots, {
            (ports[0], "completed", False, "boot-failed", "Kernel panic - not syncing: VFS: Unable to mount root fs"),
            (ports[1], "completed", False, "boot-failed", "no boot text within 10 s"),
            (ports[2], "completed", False, "boot-failed", "stopped before the box booted"),
            (ports[3], "completed", True, "verified", "Kelvora STB firmware 2.0 booted")})

    def test_armed_slots_catch_each_box_the_operator_switches_on(self):
        with ExitStack() as stack:
            # Slot 3's box goes back to its loader after its flash and sits
            # there quietly: its slot arms again and flashes nothing more.
            boxes = [self.powered_box(stack, slot, "--units", f"SN-{slot}A,SN-{slot}B",
                                      *(["--reboot-into-loader"] if slot == 3 else []))[0] for slot in range(1, 5)]
            ports = [box.port for box in boxes]
            # Quiet longer than the box is between its completion and its new
            # firmware's text (a 1 s flash write, a 3 s autoboot window).
            station = self.station(stack, ports, "--start-on", "auto", "--gone-after", "4",
                                   "--unit-pattern", r"Board serial: (\S+)")
            any_port = "|".join(re.escape(port) for port in ports)

            def switch(slot, state):
                with open(os.path.join(self.dir, f"power-{slot}"), "w") as f:
                    f.write(state + "\n")

            def wait_each(pattern):
                seen = {station.wait_for(rf"^({any_port}): {pattern}")[1] for _ in ports}
                self.assertEqual(seen, set(ports))

            wait_each("armed$")
            for slot in range(1, 5):
                switch(slot, "on")
            wait_each(r"completed in \S+ \(unit SN-\dA\)$")
            # Slot 2's box rebooted into its new firmware, went quiet, and is
            # swapped for the next: switched off, then a new one on.
            station.wait_for(rf"^{re.escape(ports[1])}: armed$")
            switch(2, "off")
            time.sleep(0.2)  # the box's power input is looked at every few ms
            switch(2, "on")
            station.wait_for(rf"^{re.escape(ports[1])}: completed in \S+ \(unit SN-2B\)$")
            station.send("quit")
            status, out, err = station.finish()
        self.assertEqual(status, 0, out + err)
        self.assertEqual(sorted((r["unit"], r["end"]) for r in self.records()),
                         [(unit, "completed") for unit in ["SN-1A", "SN-2A", "SN-2B", "SN-3A", "SN-4A"]])

    def test_a_box_back_in_its_loader_is_refused_on_the_next_lid_unless_reflashed(self):
        # The lid bounces as it closes; with the driver's wait, and with
        # polling where the driver refuses to wait (some adapters do).
        cases = [([], False, "already-flashed", r"unit SN-9 already flashed in run 1: not flashed again"),
                 (["--reflash"], True, "completed", r"completed in \S+ \(unit SN-9\)")]
        for options, polled, second, shown in cases:
            with self.subTest(options=options, polled=polled), ExitStack() as stack:
                box, lines = self.box(stack, "--serial", "SN-9", "--reboot-into-loader", "--sessions", "0",
                                      "--autoboot-ms", "60000")
                lines.refuse(wait=polled)
                station = self.station(stack, [box.port], "--start-on", "dcd", "--unit-pattern",
                                       r"Board serial: (\S+)", *options)
                for expected in [r"completed in \S+ \(unit SN-9\)", shown]:
                    for closed in [True, False, True, False, True]:
                        lines.set("dcd", closed)
                        time.sleep(0.005)
                    station.wait_for(rf"^{re.escape(box.port)}: {expected}$")
                    lines.set("dcd", False)
                    station.wait_for(rf"^{re.escape(box.port)}: lid opened$")
                station.send("quit")
                status, out, err = station.finish()
                self.assertEqual(status, 0, out + err)
                self.assertNotIn("the run is stopped", out)
                self.assertEqual([(r["end"], r.get("repeat_of")) for r in self.records()],
                                 [("completed", None), (second, 1)])
                os.remove(self.record)

    def test_a_power_command_switches_the_box_and_its_failures_stop_the_set_up(self):
        # The command at each run's end gets the record on its stdin; its
        # failure is told and changes nothing else.
        on_end = os.path.join(self.dir, "on-end")
        with open(on_end, "w") as f:
            f.write('#!/bin/sh\ncat >> "$1"\necho "printer offline" >&2\nexit 1\n')
        os.chmod(on_end, 0o755)
        got = os.path.join(self.dir, "on-end.jsonl")
        with ExitStack() as stack:
            box, _ = self.powered_box(stack, 1)
            station = self.station(stack, [box.port], *self.switch(), "--gone-after", "1",
                                   "--on-end", f"{on_end} {got} {{end}}")
            station.send("start 1")
            station.wait_for(rf"^{re.escape(box.port)}: completed in ")
            station.wait_for(rf"^{re.escape(box.port)}: on-end command '{re.escape(on_end)} .* completed' failed: "
                             r"exit status 1: printer offline$")
            station.send("quit")
            status, out, err = station.finish()
            with open(os.path.join(self.dir, "power-1")) as f:
                self.assertEqual(f.read().strip(), "off")
        self.assertEqual(status, 0, out + err)
        self.assertEqual([r["end"] for r in self.records()], ["completed"])
        with open(got) as f, open(self.record) as records:
            self.assertEqual(f.read(), records.read())
        # Set-up errors (exit 2, nothing started): a port without modem lines,
        # a power command that fails, and one that does not end.
        with ExitStack() as stack:
            box, lines = self.box(stack)
            lines.refuse(all=True)
            cases = [
                (["--power", "!rts"], rf"port {re.escape(box.port)} has no modem lines \(.*\): --power"),
                (["--power-command", "sh -c 'echo relay jammed >&2; exit 3'"],
                 r"power command 'sh -c echo relay jammed >&2; exit 3' failed: exit status 3: relay jammed"),
                # 6 MB on stderr: its last line is what is told.
                (["--power-command", "sh -c 'yes flood | head -n 1000000 >&2; echo relay stuck >&2; exit 4'"],
                 r"failed: exit status 4: relay stuck\n"),
                (["--power-command", "sleep 30"], r"power command 'sleep 30' failed: no exit within 10 s"),
            ]
            for options, complaint in cases:
                with self.subTest(options=options):
                    run = subprocess.run([CLI, "--station", "--port", box.port, *options, self.image],
                                         stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                         env=self.env, timeout=WAIT)
                    self.assertEqual(run.returncode, 2, run.stdout + run.stderr)
                    self.assertRegex(run.stderr, complaint)
            self.assertEqual(box.finish()["bytes"], 0, "nothing was sent")


if __name__ == "__main__":
    CLI, EMULATOR, rest = e2e_paths()
    if "--modem-lines" in rest:
        at = rest.index("--modem-lines")
        MODEM_LINES = rest[at + 1]
        del rest[at:at + 2]
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
