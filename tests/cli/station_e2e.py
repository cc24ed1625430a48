#!/usr/bin/env python3
"""End-to-end tests of the station: one kelvora-upgrader --station process,
a slot per box emulator, driven by lines on stdin as a line controller would.

    station_e2e.py --cli PATH --emulator PATH [unittest args]
"""

import hashlib
import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest
from contextlib import ExitStack

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from box_emulator import BoxWorkdir, Emulator, e2e_paths  # noqa: E402
from line_process import LineProcess  # noqa: E402

CLI = None
EMULATOR = None
WAIT = 60  # a hang guard, not a timing


def fill(data):
    return data + b"\xff" * (-len(data) % 1024)


class StationProcess(LineProcess):
    """kelvora-upgrader --station on the given ports; lines go to its stdin,
    its stdout lines are collected as they come."""

    def __init__(self, ports, image, record, *extra):
        args = [CLI, "--station", "--record", record, "--station-name", "bench-7", *extra]
        for port in ports:
            args += ["--port", port]
        super().__init__(args + [image], wait=WAIT)


class StationCase(BoxWorkdir):
    image_size = 40 * 1024

    def boxes(self, stack, options_per_box):
        # A long autoboot window: a box waits for its slot's start.
        return super().boxes(stack, options_per_box, "--autoboot-ms", "60000")

    def station(self, stack, ports, *extra):
        station = StationProcess(ports, self.image, self.record, *extra)
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
                ["--baud", "57600"],            # slot 2: one slow transfer meanwhile
                ["--nak-block", "2"],           # slot 3: refuses block 2
                ["--baud", "57600"],            # slot 4: stopped mid-transfer
                ["--refuse"],                   # slot 5: refuses the image
                ["--silent-block", "3"],        # slot 6: no answer to block 3
            ])
            ports = [box.port for box, _ in boxes]
            station = self.station(stack, ports, "--unit-pattern", r"Board serial: (\S+)")
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
        self.assertIn("4 completed, 4 failed", out)
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
            # Unplugged: the slot says why and stays ready.
            while os.path.lexists(link):
                time.sleep(0.05)
            station.send("start 1")
            station.wait_for(rf"slot 1 {re.escape(link)}: cannot open port: No such file or directory")
            # Plugged in again at the same name.
            second = stack.enter_context(Emulator(EMULATOR, "--link", link, "--autoboot-ms", "60000"))
            station.send("start 1")
            station.wait_for(rf"^{re.escape(link)}: completed in ")
            station.send("start 2")
            station.wait_for(rf"^{re.escape(other.port)}: completed in ")
            station.send("quit")
            status, out, err = station.finish()
            self.assertEqual(second.finish()["verdict"], "completed")
        self.assertEqual(status, 0, out + err)
        self.assertEqual([r["end"] for r in self.records()], ["completed"] * 3)


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

    def test_keys_start_and_stop_slots_and_the_screen_counts(self):
        session = f"kelvora-{os.getpid()}"
        with ExitStack() as stack:
            boxes = self.boxes(stack, [["--sessions", "2"], ["--baud", "57600"]])
            ports = [box.port for box, _ in boxes]
            command = " ".join([CLI, "--station", "--record", self.record, "--station-name", "bench-7",
                                "--target", "3", *[f"--port {p}" for p in ports], self.image])
            subprocess.run(["tmux", "new-session", "-d", "-s", session, "-x", "200", "-y", "30",
                            f"{command}; echo exit=$?; sleep 60"], check=True)
            stack.callback(subprocess.run, ["tmux", "kill-session", "-t", session])
            self.screen(session, r"completed 0  failed 0")
            self.keys(session, "1")
            self.screen(session, rf"(?m)^1  {re.escape(ports[0])}\s+1 ok 0 failed\s+Download Complted !!!")
            self.keys(session, "1")
            self.screen(session, r"completed 2  failed 0 .*target 3: 1 left")
            self.keys(session, "2")
            self.screen(session, rf"(?m)^2  {re.escape(ports[1])}\s+0 ok 0 failed\s+sending\s+\[#*\.*\]  \d+ / \d+ bytes")
            self.keys(session, "s", "2")
            self.screen(session, rf"(?m)^2  {re.escape(ports[1])}\s+0 ok 1 failed\s+cancelled")
            self.keys(session, "q")
            text = self.screen(session, r"exit=\d+")
        self.assertIn("exit=1", text)
        self.assertIn("2 completed, 1 failed", text)
        self.assertEqual(len(self.records()), 3)


if __name__ == "__main__":
    CLI, EMULATOR, rest = e2e_paths()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
