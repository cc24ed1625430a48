#!/usr/bin/env python3
"""Station benchmark: one kelvora-upgrader --station process driven by lines
on stdin, as a line controller drives it.

    bench/station.py [BUILD_DIR] [--only NAME,...] [--idle-seconds S] [--soak-runs N]

    BUILD_DIR       default build/linux
    --only          some of: paced16, paced64, start, web, hostile, exhaustion, slowopen, memory, soak,
                    lid, armed, shift, store
                    (default: all)

What it measures (about 7 minutes in all on 2 cores):

- paced16, paced64: 16 or 64 paced emulators (115200 baud, 256 KiB image),
  all started by one `start all` line. The slowest box's payload rate from its
  emulator's log ("transfer begins" to "end of transmission", as in
  bench/batch.py) against the 11 453 B/s line limit; the station's CPU (user +
  system of the whole process, from /proc/PID/stat) from the `start all` line
  to the last "completed" line, as % of one core per box. paced64 also
  measures the whole process idle with its 64 slots ready: once before the
  first start and once after every run has ended (the slots then keep reading
  their boxes' consoles), and splits that CPU between the main thread and the
  others, with their wake-ups (from /proc/PID/task/*/schedstat and status).
  Emulators keep serving (--sessions 0) so that no port hangs up meanwhile.
- start: from writing a `start N` line to the first byte arriving on that
  port, over 100 starts. The boxes are pseudo-terminals of this script's own
  (it holds the master side and notes when the first byte can be read), so no
  emulator's scheduling or log stamps sit in the measure; after the first byte
  the script sends `stop N` and waits for the slot's "cancelled" line.
- web: the station with --web 127.0.0.1:0. 16 paced emulators as in paced16,
  all started by one `POST /api/start`, while 10 clients read GET /events
  the whole time (a thread each, counting the events that arrive); the same
  run again without clients. Per run: the slowest box's rate against the line
  limit, the station's CPU (whole process, as paced16) and the web server
  thread's own CPU (/proc/PID/task/TID/schedstat; the thread is not named, so
  it is found as the one that worked while the script sent 200 GET
  /api/station before the start), and the events each client received per
  second. Then, as in start, 100 starts of 8 idle slots on pseudo-terminals
  of the script's own, each by `POST /api/slots/N/start` over one kept-open
  HTTP connection: from sending the request to the first byte on that port
  (the answer is read after), then `POST /api/slots/N/stop` and the slot's
  "cancelled" line.
- hostile: the station with --web 0.0.0.0:0 --web-token and one paced
  emulator as in paced16 (256 KiB, about 23 s), started by POST
  /api/slots/1/start with the token. Until its "completed" line, 5 threads
  send the bad requests of the web tests' table (tests/web/web_e2e.py
  hostile_rows: malformed, 1 MiB headers, bodies over the limit, unknown
  paths, wrong methods, foreign Origin and Host, and a missing or wrong token
  from an address off loopback when one reaches the station), each on a
  connection of its own, round and round; meanwhile 50 clients read /events
  and one more asks for them and never reads. The box's rate against the line
  limit, the requests sent and the share answered as the table expects, the
  station's CPU (whole process) over the transfer as % of one core, the
  events each reader got per second.
- exhaustion: the station with --web 127.0.0.1:0 and one idle slot on a
  pseudo-terminal of the script's own. 300 clients hold connections (half
  ask for /events and never read, half say nothing) while GET /, GET
  /api/station and POST /api/start are asked 20 times each, a connection
  each, timed from connecting to the whole answer; three rounds, the crowd
  leaving after each. Descriptors, threads and resident memory before, with
  the crowd, and after it left.
- slowopen: the station with --web 127.0.0.1:0 and one slot on a
  pseudo-terminal of the script's own whose every open takes a second (a
  small LD_PRELOAD library, built here with cc, sleeps in open() for that
  path). The script closes its side, so the slot's line is lost and each
  start opens the port again; 5 times, POST /api/slots/1/start on one
  connection while another client asks GET /api/station round and round on
  its own kept-open connection: the start's time to its answer, and the
  slowest and median GET /api/station answer while a start was under way.
- lid: 8 slots with --start-on dsr on pseudo-terminals of the script's own,
  given modem lines by the test library (tests/support/modem_lines.c,
  preloaded); 100 times the script raises a slot's DSR (the lid closes) and
  times it to the first byte on that port, then drops it (the lid opens,
  which stops the run) and waits for the slot's "cancelled" line.
- armed: 64 slots with --start-on auto on silent pseudo-terminals of the
  script's own; once every slot is armed, the whole process's CPU over the
  idle seconds, split as for paced64.
- shift: 8 paced emulators powered through a file, a 64 KiB image, 180 s
  twice: hands-free (--power-command writing the file, --start-on dsr) with
  an operator who opens the lid when a run ends, swaps the box in 2-10 s and
  closes it; then key starts with an operator who waits 5 s for the box to
  write its flash and reboot, switches it off, swaps it in 2-10 s, types the
  start line and switches the new box on 1-3 s later. Completed boxes per
  hour each (the same random operator, seeded).
- memory: 16 unthrottled emulators and a 16 MiB image, run to the end: the
  station's peak resident memory (VmHWM, its own high-water mark), also as it
  stands after set-up, and the largest VmRSS seen during the runs.
- soak: 8 unthrottled emulators that keep serving (--sessions 0), a 32 KiB
  image, N runs (default 500), each slot started again as soon as it ends.
  Descriptors (/proc/PID/fd), threads and resident memory (/proc/PID/status)
  sampled every 50 runs; afterwards the records are counted against the runs
  started and against the station's own closing counts.
- store: the unit store. import-records of 2000 records into SQLite and
  into PostgreSQL (a server started here, as the tests start it): rows per
  second. 64 unthrottled emulators, a 4 KiB image, started at once so that
  their runs end together: records (and rows) per second, from the first
  line in the record file to the last, with --db none, the default SQLite
  store and PostgreSQL (there also until the server has every row). Then 16 paced boxes (as paced16) while 16
  boxes that refuse the image are started again and again, so that rows are
  written the whole time: the slowest paced box against the line limit. Then
  a store of one million attempts (one real row copied with 1000 units) and
  `history --unit` for one unit (1000 attempts), 20 times: the whole
  process's wall time.
"""

import argparse
import datetime
import http.client
import json
import os
import platform
import random
import re
import select
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, os.path.join(ROOT, "tests", "web"))
from box_emulator import Emulator  # noqa: E402
from line_process import LineProcess  # noqa: E402
from modem_lines import ModemLines  # noqa: E402
from web_e2e import Web, address_off_loopback, hostile_rows  # noqa: E402
from batch import LINE_LIMIT, transfer_ms  # noqa: E402

KIB = 1024
MIB = 1024 * 1024
TICK = os.sysconf("SC_CLK_TCK")
WAIT = 120  # a hang guard for single steps, not a timing
# A box waits this long for the space that stops its autoboot: the station
# may take its time before it starts a slot.
AUTOBOOT_MS = "600000"
CLOSING = re.compile(r"^(\d+) completed, (\d+) failed$")


def cpu_seconds(pid):
    """User + system CPU of every thread of the process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def resources(pid):
    """Descriptors, threads and resident KiB of the process now."""
    status = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            status[key] = value.split()[0] if value.split() else ""
    return {"fds": len(os.listdir(f"/proc/{pid}/fd")), "threads": int(status["Threads"]),
            "rss": int(status["VmRSS"]), "hwm": int(status["VmHWM"])}


def load_average():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


class Station(LineProcess):
    """kelvora-upgrader --station on the given ports; lines go to its stdin,
    its stdout lines are taken as they come. web is the --web address, or
    None; the port it was bound to is self.web."""

    def __init__(self, cli, ports, image, work, record=None, web=None, extra=(), env=None):
        args = [cli, "--station", "--station-name", "bench", *extra]
        if record:
            args += ["--record", record]
        if web:
            args += ["--web", web]
        for port in ports:
            args += ["--port", port]
        self.stderr_path = os.path.join(work, "station.stderr")
        with open(self.stderr_path, "wb") as stderr:
            super().__init__(args + [image], stderr=stderr, wait=WAIT, env=env)
        try:
            self.wait_for(r"sha256 ")  # the header: every port is open
            if web:
                self.web = int(self.wait_for(r"^web: http://[0-9.]+:(\d+)/$")[1])
        except BaseException:
            self.kill()
            raise

    def describe(self):
        with open(self.stderr_path, errors="replace") as f:
            text = f.read()
        return super().describe() + ("\nstderr:\n" + text if text else "")

    def quit(self):
        """Quits (waiting for running slots); gives (exit status, completed, failed)."""
        self.send("quit")
        status, _, _ = self.finish()
        counts = None
        for line in self.out:
            match = CLOSING.match(line)
            if match:
                counts = int(match[1]), int(match[2])
        if counts is None:
            raise RuntimeError("no closing counts:\n" + self.describe())
        return status, counts[0], counts[1]


class Boxes:
    """N emulators with the same options, each logging to its own file."""

    def __init__(self, emulator, work, n, *args):
        self.logs = [os.path.join(work, f"emulator-{i}.log") for i in range(n)]
        self.emulators = []
        try:
            for log in self.logs:
                self.emulators.append(Emulator(emulator, *args, log=log))
        except BaseException:
            self.close()
            raise
        self.ports = [e.port for e in self.emulators]

    def close(self):
        """Stops every emulator; gives their summaries."""
        summaries = [e.finish(wait=0) for e in self.emulators]
        self.emulators = []
        return summaries


def threads_now(pid):
    """Per thread: (nanoseconds on a CPU, voluntary context switches)."""
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                ns = int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                switches = next(int(line.split()[1]) for line in f if line.startswith("voluntary_ctxt_switches"))
        except (OSError, StopIteration):
            continue
        threads[int(tid)] = (ns, switches)
    return threads


def idle_cpu(station, seconds):
    """The whole station process's CPU over seconds of idling, % of one core,
    and where it goes: the main thread's share and the other threads' share,
    each with its wake-ups per second (from the per-thread scheduler stats)."""
    before, threads_before, started = cpu_seconds(station.pid), threads_now(station.pid), time.monotonic()
    time.sleep(seconds)
    cpu, threads_after = cpu_seconds(station.pid), threads_now(station.pid)
    wall = time.monotonic() - started
    main, other = [0, 0], [0, 0]
    for tid, (ns, switches) in threads_after.items():
        if tid in threads_before:
            share = main if tid == station.pid else other
            share[0] += ns - threads_before[tid][0]
            share[1] += switches - threads_before[tid][1]
    return {"cpu": 100.0 * (cpu - before) / wall, "main": 100.0 * main[0] / 1e9 / wall, "main_wakes": main[1] / wall,
            "other": 100.0 * other[0] / 1e9 / wall, "other_wakes": other[1] / wall,
            "others": len(threads_after) - 1}


def web_connection(port):
    """An HTTP connection to the station's web server, already open; it sends
    Host as 127.0.0.1:PORT and no Origin, as a page of the station would."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT)
    conn.connect()
    return conn


def web_answer(conn, want):
    """Reads the answer to the request just sent; it must have status want."""
    response = conn.getresponse()
    body = response.read()
    if response.status != want:
        raise RuntimeError(f"HTTP {response.status}, want {want}: {body[:200]!r}")
    return json.loads(body)


def web_thread(pid, port, requests=200):
    """The web server's thread (it has no name of its own): the one that was
    on a CPU longest while requests GET /api/station were answered; gives it
    and its share of the process's CPU time meanwhile."""
    conn = web_connection(port)
    before = threads_now(pid)
    for _ in range(requests):
        conn.request("GET", "/api/station")
        web_answer(conn, 200)
    after = threads_now(pid)
    conn.close()
    worked = {tid: after[tid][0] - before[tid][0] for tid in after if tid in before}
    tid = max(worked, key=worked.get)
    return tid, worked[tid] / max(1, sum(worked.values()))


class EventReader:
    """A client of GET /events: a thread reads the stream and notes when
    each event (its data line) arrived."""

    def __init__(self, port, token=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        auth = f"Authorization: Bearer {token}\r\n" if token else ""
        self.sock.sendall(f"GET /events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n{auth}\r\n".encode())
        self.times = []  # appended by the reader, read by the script once it stopped
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        kind = False
        try:
            with self.sock.makefile("rb") as stream:
                for line in stream:
                    # The state messages: an event of the log comes with
                    # its kind on the line before its data.
                    if line.startswith(b"data: ") and not kind:
                        self.times.append(time.monotonic())
                    kind = line.startswith(b"event: ")
        except OSError:
            pass

    def between(self, since, until):
        return sum(since <= t <= until for t in self.times)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(timeout=10)


def paced(args, work, image, n, idle_seconds, web_clients=None):
    """n paced boxes started at once; with idle_seconds, the idle process too.
    With web_clients (a number), the station serves the web, its boxes are
    started by POST /api/start and that many clients read /events meanwhile."""
    result = {"n": n, "load": load_average()}
    boxes = Boxes(args.emulator, work, n, "-v", "--baud", "115200", "--sessions", "0", "--autoboot-ms", AUTOBOOT_MS)
    station = None
    readers = []
    try:
        station = Station(args.cli, boxes.ports, image, work, web="127.0.0.1:0" if web_clients is not None else None)
        if idle_seconds:
            time.sleep(3)  # the boxes' banners come and go
            result["idle_before"] = idle_cpu(station, idle_seconds)
        if web_clients is not None:
            tid, result["probe_share"] = web_thread(station.pid, station.web)
            readers = [EventReader(station.web) for _ in range(web_clients)]
            deadline = time.monotonic() + WAIT
            while not all(r.times for r in readers):  # each has its first event
                if time.monotonic() > deadline:
                    raise RuntimeError("a client of /events got no first event")
                time.sleep(0.05)
            conn = web_connection(station.web)
            web_before = threads_now(station.pid)[tid][0]
        before, started = cpu_seconds(station.pid), time.monotonic()
        if web_clients is None:
            station.send("start all")
        else:
            conn.request("POST", "/api/start")
            if len(web_answer(conn, 202)["started"]) != n:
                raise RuntimeError(f"POST /api/start did not start all {n} slots")
            conn.close()
        completed = set()
        deadline = started + WAIT + 60
        while len(completed) < n:
            line = station.next_line(max(0.0, deadline - time.monotonic()))
            if line is None:
                raise RuntimeError(f"{len(completed)} of {n} completed in time:\n" + "\n".join(station.out[-20:]))
            match = re.match(r"^(\S+): completed in ", line)
            if match:
                completed.add(match[1])
        ended = time.monotonic()
        wall = ended - started
        cpu = cpu_seconds(station.pid) - before
        result.update(wall=wall, cpu=100.0 * cpu / wall / n, hwm=resources(station.pid)["hwm"] / KIB)
        if web_clients is not None:
            result["web_cpu"] = 100.0 * (threads_now(station.pid)[tid][0] - web_before) / 1e9 / wall
            result["events"] = sorted(r.between(started, ended) / wall for r in readers)
        if idle_seconds:
            time.sleep(3)  # the boxes reboot and show their banners
            result["idle_after"] = idle_cpu(station, idle_seconds)
        status, done, failed = station.quit()
        if status != 0 or done != n or failed != 0:
            raise RuntimeError(f"station exit {status}: {done} completed, {failed} failed")
    finally:
        for reader in readers:
            reader.close()
        if station:
            station.kill()
        summaries = boxes.close()
    bad = [s for s in summaries if not s or s["blocks"] != 256 or s["verdict"] != "completed"]
    if bad:
        raise RuntimeError(f"boxes without a whole image: {bad}")
    rates = sorted(os.path.getsize(image) * 1000.0 / transfer_ms(log) for log in boxes.logs)
    result["rate"], result["median_rate"] = rates[0], statistics.median(rates)
    result["load_after"] = load_average()
    return result


def hostile(args, work, image, senders=5, listeners=20, token="s3cret"):
    """One paced box started through the API of a station on 0.0.0.0 with a
    token, while senders threads fire the bad requests of the web tests'
    table over and over until the transfer ends, listeners clients read
    /events and one more asks for them and never reads."""
    result = {"load": load_average()}
    boxes = Boxes(args.emulator, work, 1, "-v", "--baud", "115200", "--sessions", "0", "--autoboot-ms", AUTOBOOT_MS)
    station = None
    readers = []
    stuck = None
    try:
        station = Station(args.cli, boxes.ports, image, work, web="0.0.0.0:0", extra=("--web-token", token))
        web = Web("127.0.0.1", station.web)
        far_address = address_off_loopback()
        far = Web(far_address, station.web) if far_address else None
        far = far if far and far.reachable() else None
        rows = hostile_rows(web, far, token)
        readers = [EventReader(station.web, token) for _ in range(listeners)]
        stuck = socket.socket()
        stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)
        stuck.connect(("127.0.0.1", station.web))
        stuck.sendall(f"GET /events HTTP/1.1\r\nHost: 127.0.0.1:{station.web}\r\n"
                      f"Authorization: Bearer {token}\r\n\r\n".encode())
        deadline = time.monotonic() + WAIT
        while not all(r.times for r in readers):  # each has its first event
            if time.monotonic() > deadline:
                raise RuntimeError("a client of /events got no first event")
            time.sleep(0.05)

        ended = threading.Event()
        # kind -> [sent, right, {other answer: times}]; each sender writes its own
        tallies = [{} for _ in range(senders)]

        def send(index):
            tally = tallies[index]
            i = index * len(rows) // senders  # the senders start at different rows
            while not ended.is_set():
                kind, through, data, wanted = rows[i % len(rows)]
                i += 1
                try:
                    got = through.raw(data)
                except OSError as e:
                    got = type(e).__name__
                counts = tally.setdefault(kind, [0, 0, {}])
                counts[0] += 1
                if got in wanted:
                    counts[1] += 1
                else:
                    counts[2][got] = counts[2].get(got, 0) + 1

        before, started = cpu_seconds(station.pid), time.monotonic()
        status, body = web.post("/api/slots/1/start", {"Authorization": f"Bearer {token}"})
        if status != 202:
            raise RuntimeError(f"POST /api/slots/1/start: {status} {body}")
        threads = [threading.Thread(target=send, args=(i,), daemon=True) for i in range(senders)]
        for thread in threads:
            thread.start()
        try:
            station.wait_for(r"^\S+: completed in ", timeout=WAIT + 60)
        finally:
            ended.set()
            for thread in threads:
                thread.join(timeout=WAIT)
        done = time.monotonic()
        wall = done - started
        result.update(wall=wall, cpu=100.0 * (cpu_seconds(station.pid) - before) / wall, far=far is not None,
                      events=sorted(r.between(started, done) / wall for r in readers))
        kinds = {}
        for tally in tallies:
            for kind, (sent, right, wrong) in tally.items():
                total = kinds.setdefault(kind, [0, 0, {}])
                total[0] += sent
                total[1] += right
                for got, n in wrong.items():
                    total[2][got] = total[2].get(got, 0) + n
        result["kinds"] = kinds
        result["sent"] = sum(k[0] for k in kinds.values())
        result["right"] = sum(k[1] for k in kinds.values())
        result["rows"] = len(rows)
        result["after"] = web.request("GET", "/api/station", {"Authorization": f"Bearer {token}"})[0]
        status, completed, failed = station.quit()
        if status != 0 or completed != 1 or failed != 0:
            raise RuntimeError(f"station exit {status}: {completed} completed, {failed} failed")
    finally:
        if stuck:
            stuck.close()
        for reader in readers:
            reader.close()
        if station:
            station.kill()
        summaries = boxes.close()
    if not summaries[0] or summaries[0]["verdict"] != "completed":
        raise RuntimeError(f"the box did not get the whole image: {summaries}")
    result["rate"] = os.path.getsize(image) * 1000.0 / transfer_ms(boxes.logs[0])
    result["load_after"] = load_average()
    return result


def exhaustion(args, work, image, crowd=300, asks=20, rounds=3):
    """The station with --web 127.0.0.1:0 and one idle slot. Per round:
    crowd clients open connections and hold them, half asking for events
    that they never read, half saying nothing; meanwhile asks times each of
    GET /, GET /api/station and POST /api/start, each on a connection of its
    own, timed from connecting to the whole answer. The crowd then leaves;
    descriptors, threads and resident memory before the first round, with
    the crowd there, and 3 s after it left."""
    result = {"load": load_average(), "times": {}, "failed": 0, "samples": []}
    master, slave = os.openpty()
    station = None
    try:
        station = Station(args.cli, [os.ttyname(slave)], image, work, web="127.0.0.1:0")
        port = station.web
        web = Web("127.0.0.1", port)
        asked = [("GET", "/"), ("GET", "/api/station"), ("POST", "/api/start")]
        web.get("/api/station")
        time.sleep(1)
        result["samples"].append(("before", resources(station.pid)))
        for round_ in range(rounds):
            held = []
            try:
                for i in range(crowd):
                    sock = socket.socket()
                    held.append(sock)
                    if i % 2:
                        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)
                        sock.connect(("127.0.0.1", port))
                        sock.sendall(f"GET /events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
                    else:
                        sock.connect(("127.0.0.1", port))
                time.sleep(0.5)
                if round_ == 0:
                    result["samples"].append(("crowd", resources(station.pid)))
                for _ in range(asks):
                    for method, path in asked:
                        began = time.monotonic()
                        try:
                            status = web.request(method, path)[0]
                        except OSError:
                            status = None
                        result["times"].setdefault(f"{method} {path}", []).append(1000 * (time.monotonic() - began))
                        result["failed"] += status not in (200, 202)
            finally:
                for sock in held:
                    sock.close()
            time.sleep(3)
        result["samples"].append(("after", resources(station.pid)))
        station.send("stop 1")
    finally:
        if station:
            station.kill()
        os.close(master)
        os.close(slave)
    result["load_after"] = load_average()
    return result


SLOW_OPEN_C = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
static int slowed(const char* path, int flags, va_list ap, const char* name) {
    const char* slow = getenv("KELVORA_BENCH_SLOW_OPEN");
    if (slow && path && strcmp(slow, path) == 0) sleep(1);
    int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, name);
    return real(path, flags, (mode_t)va_arg(ap, int));
}
int open(const char* path, int flags, ...) {
    va_list ap; va_start(ap, flags); int fd = slowed(path, flags, ap, "open"); va_end(ap); return fd;
}
int open64(const char* path, int flags, ...) {
    va_list ap; va_start(ap, flags); int fd = slowed(path, flags, ap, "open64"); va_end(ap); return fd;
}
"""


def slow_open(args, work, image, starts=5):
    """GET /api/station from one client while another's POST start opens a
    port that takes a second to open."""
    library = os.path.join(work, "slow_open.so")
    source = library[:-3] + ".c"
    with open(source, "w") as f:
        f.write(SLOW_OPEN_C)
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", library, source, "-ldl"], check=True)
    master, slave = os.openpty()
    port = os.ttyname(slave)
    saved = {k: os.environ.get(k) for k in ("LD_PRELOAD", "KELVORA_BENCH_SLOW_OPEN")}
    os.environ.update(LD_PRELOAD=library, KELVORA_BENCH_SLOW_OPEN=port)
    station = None
    try:
        station = Station(args.cli, [port], image, work, web="127.0.0.1:0")
    finally:
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
    result = {"starts": [], "asks": [], "load": load_average()}
    try:
        os.close(master)
        os.close(slave)
        web = Web("127.0.0.1", station.web)
        web.slots_until(lambda slots: slots[0]["state"] == "port-lost")
        asker = web_connection(station.web)
        starter = web_connection(station.web)
        for _ in range(starts):
            began = time.monotonic()
            done = []
            thread = threading.Thread(target=lambda: (starter.request("POST", "/api/slots/1/start"),
                                                      done.append(starter.getresponse().read())))
            thread.start()
            while not done:
                asked = time.monotonic()
                asker.request("GET", "/api/station")
                web_answer(asker, 200)
                result["asks"].append(1000 * (time.monotonic() - asked))
            thread.join()
            result["starts"].append(1000 * (time.monotonic() - began))
        station.quit()
    finally:
        station.kill()
    result["load_after"] = load_average()
    return result


def start_latency(args, work, image, starts=100, slots=8, web=False):
    """Milliseconds from a `start N` line to the first byte on the port; with
    web, from a POST /api/slots/N/start over one kept-open connection."""
    pairs = [os.openpty() for _ in range(slots)]
    ports = [os.ttyname(slave) for _, slave in pairs]
    for master, _ in pairs:
        os.set_blocking(master, False)
    station = None
    latencies = []
    firsts = set()
    try:
        station = Station(args.cli, ports, image, work, web="127.0.0.1:0" if web else None)
        conn = web_connection(station.web) if web else None
        for i in range(starts):
            slot = i % slots
            master = pairs[slot][0]
            drain(master)
            sent = time.monotonic()
            if web:
                conn.request("POST", f"/api/slots/{slot + 1}/start")
            else:
                station.send(f"start {slot + 1}")
            ready, _, _ = select.select([master], [], [], 10)
            arrived = time.monotonic()
            if not ready:
                raise RuntimeError(f"nothing on {ports[slot]} 10 s after the start:\n" + "\n".join(station.out[-20:]))
            firsts.add(os.read(master, 1)[0])
            latencies.append(1000.0 * (arrived - sent))
            if web:
                web_answer(conn, 202)
                conn.request("POST", f"/api/slots/{slot + 1}/stop")
                web_answer(conn, 202)
            else:
                station.send(f"stop {slot + 1}")
            station.wait_for(rf"^{re.escape(ports[slot])}: cancelled$")
            time.sleep(0.05)
        station.quit()
    finally:
        if station:
            station.kill()
        for master, slave in pairs:
            os.close(master)
            os.close(slave)
    latencies.sort()
    return {"median": statistics.median(latencies), "p90": latencies[int(0.9 * len(latencies))],
            "min": latencies[0], "max": latencies[-1], "firsts": firsts, "starts": starts, "slots": slots}


def fixture_env(args, work):
    """The environment that gives the station's pseudo-terminals modem lines
    (the test library, preloaded), and the folder of their state files."""
    folder = os.path.join(work, "lines")
    os.makedirs(folder, exist_ok=True)
    library = os.path.join(os.path.abspath(args.build), "lib", "libkelvora_modem_lines.so")
    return dict(os.environ, LD_PRELOAD=library, KELVORA_MODEM_LINES=folder), folder


def lid_latency(args, work, image, starts=100, slots=8):
    """Milliseconds from a lid's line (DSR) rising to the first byte on the
    port, the slot started by --start-on dsr; the lid then opens, which
    stops the run."""
    env, folder = fixture_env(args, work)
    pairs = [os.openpty() for _ in range(slots)]
    ports = [os.ttyname(slave) for _, slave in pairs]
    for master, _ in pairs:
        os.set_blocking(master, False)
    lids = [ModemLines(folder, port) for port in ports]
    station = None
    latencies = []
    try:
        station = Station(args.cli, ports, image, work, extra=("--start-on", "dsr"), env=env)
        for i in range(starts):
            slot = i % slots
            master = pairs[slot][0]
            drain(master)
            lids[slot].set("dsr", True)
            closed = time.monotonic()
            ready, _, _ = select.select([master], [], [], 10)
            arrived = time.monotonic()
            if not ready:
                raise RuntimeError(f"nothing on {ports[slot]} 10 s after its lid closed:\n" + station.describe())
            latencies.append(1000.0 * (arrived - closed))
            lids[slot].set("dsr", False)
            station.wait_for(rf"^{re.escape(ports[slot])}: cancelled$")
        station.quit()
    finally:
        if station:
            station.kill()
        for lid in lids:
            lid.close()
        for master, slave in pairs:
            os.close(master)
            os.close(slave)
    latencies.sort()
    return {"median": statistics.median(latencies), "p90": latencies[int(0.9 * len(latencies))],
            "max": latencies[-1], "starts": starts, "slots": slots}


def armed_idle(args, work, image, seconds, slots=64):
    """The station's CPU with 64 slots armed (--start-on auto) on silent
    pseudo-terminals of the script's own."""
    pairs = [os.openpty() for _ in range(slots)]
    ports = [os.ttyname(slave) for _, slave in pairs]
    station = None
    try:
        station = Station(args.cli, ports, image, work,
                          extra=("--start-on", "auto", "--gone-after", "1", "--unit-pattern", "SN-[0-9]+"))
        for _ in ports:
            station.wait_for(r": armed$")
        return idle_cpu(station, seconds)
    finally:
        if station:
            station.kill()
        for master, slave in pairs:
            os.close(master)
            os.close(slave)


def shift(args, work, image, hands_free, seconds=180, slots=8):
    """A shift of slots x paced boxes with an operator model: boxes per hour.
    Hands-free (--power-command, --start-on dsr): once a slot's run has ended
    (the box is then off) the operator opens the lid, swaps the box in 2-10 s
    and closes the lid. Key starts: the operator waits 5 s for the box to
    write its flash and reboot, switches it off, swaps it in 2-10 s, starts
    the slot, and switches the new box on 1-3 s later."""
    env, folder = fixture_env(args, work)
    rng = random.Random(7)
    script = os.path.join(work, "switch")
    with open(script, "w") as f:
        f.write('#!/bin/sh\necho "$2" > "$1"\n')
    os.chmod(script, 0o755)
    powers = [os.path.join(work, f"power-{'hf' if hands_free else 'key'}-{slot}") for slot in range(1, slots + 1)]
    boxes = [Emulator(args.emulator, "--baud", "115200", "--power-file", power) for power in powers]
    ports = [box.port for box in boxes]
    lids = [ModemLines(folder, port) for port in ports]
    extra = ("--power-command", f"{script} {work}/power-hf-{{slot}} {{state}}", "--off-time", "1",
             "--gone-after", "2", "--start-on", "dsr") if hands_free else ()
    station = None
    completed = 0
    try:
        station = Station(args.cli, ports, image, work, extra=extra, env=env)
        actions = []  # (when, slot, what)
        began = time.monotonic()
        for slot in range(slots):
            actions.append((began + rng.uniform(0, 2), slot, "lid" if hands_free else "start"))
        ended = re.compile(rf"^({'|'.join(re.escape(port) for port in ports)}): (completed in|Error|cancelled)")
        while time.monotonic() < began + seconds:
            actions.sort()
            wait = min(actions[0][0] if actions else began + seconds, began + seconds) - time.monotonic()
            line = station.next_line(max(0.0, wait))
            now = time.monotonic()
            match = ended.match(line) if line else None
            if match:
                slot = ports.index(match[1])
                completed += match[2] == "completed in"
                if hands_free:
                    lids[slot].set("dsr", False)  # the lid opens; the box is off already
                    actions.append((now + rng.uniform(2, 10), slot, "lid"))
                else:
                    actions.append((now + 5, slot, "off"))
            while actions and actions[0][0] <= now:
                _, slot, what = actions.pop(0)
                if what == "lid":
                    lids[slot].set("dsr", True)
                elif what == "off":
                    with open(powers[slot], "w") as f:
                        f.write("off\n")
                    actions.append((now + rng.uniform(2, 10), slot, "start"))
                elif what == "start":
                    station.send(f"start {slot + 1}")
                    actions.append((now + rng.uniform(1, 3), slot, "on"))
                elif what == "on":
                    with open(powers[slot], "w") as f:
                        f.write("on\n")
                actions.sort()
        station.kill()
    finally:
        if station:
            station.kill()
        for lid in lids:
            lid.close()
        for box in boxes:
            box.kill()
    return {"completed": completed, "per_hour": completed * 3600.0 / seconds, "seconds": seconds, "slots": slots}


def drain(fd):
    while True:
        try:
            if not os.read(fd, 65536):
                return
        except BlockingIOError:
            return


def memory(args, work, n=16):
    """Peak memory of the station flashing a 16 MiB image into n boxes."""
    image = os.path.join(work, "image-16m.bin")
    with open(image, "wb") as f:
        f.write(os.urandom(16 * MIB))
    boxes = Boxes(args.emulator, work, n, "--sessions", "0", "--autoboot-ms", AUTOBOOT_MS)
    station = None
    try:
        station = Station(args.cli, boxes.ports, image, work)
        setup = resources(station.pid)
        rss = 0
        started = time.monotonic()
        station.send("start all")
        completed = 0
        while completed < n:
            line = station.next_line(0.05)
            rss = max(rss, resources(station.pid)["rss"])
            if time.monotonic() - started > 600:
                raise RuntimeError("the 16 MiB transfers did not end in 10 minutes")
            if line and re.match(r"^\S+: completed in ", line):
                completed += 1
        wall = time.monotonic() - started
        peak = resources(station.pid)["hwm"]
        status, done, failed = station.quit()
        if status != 0 or done != n:
            raise RuntimeError(f"station exit {status}: {done} completed, {failed} failed")
    finally:
        if station:
            station.kill()
        boxes.close()
        os.unlink(image)
    return {"n": n, "peak": peak / KIB, "setup_peak": setup["hwm"] / KIB, "setup_rss": setup["rss"] / KIB,
            "rss": rss / KIB, "wall": wall}


def soak(args, work, image, runs, slots=8, sample_every=50):
    """runs downloads over slots, each slot restarted as soon as it ends."""
    record = os.path.join(work, "soak.jsonl")
    boxes = Boxes(args.emulator, work, slots, "--sessions", "0", "--autoboot-ms", AUTOBOOT_MS)
    station = None
    samples = []
    open(record, "w").close()
    try:
        station = Station(args.cli, boxes.ports, image, work, record=record)
        slot_of = {port: i + 1 for i, port in enumerate(boxes.ports)}
        samples.append(("before", resources(station.pid)))
        started_runs = ended = refused = 0
        pending = ""
        retry = []  # slots whose restart was refused: their run was still leaving
        with open(record) as records_file:
            for slot in range(1, slots + 1):
                station.send(f"start {slot}")
                started_runs += 1
            began = time.monotonic()
            while ended < started_runs:
                if time.monotonic() - began > 30 * 60:
                    raise RuntimeError(f"soak stalled after {ended} runs")
                line = station.next_line(0.05)
                to_start, retry = retry, []
                completed = line is not None and re.match(r"^(\S+): completed in ", line)
                if completed:
                    ended += 1
                    to_start.append(slot_of[completed[1]])
                refusal = line is not None and re.match(r"^slot (\d+) is running; not started again$", line)
                if refusal:
                    refused += 1
                    started_runs -= 1
                    retry.append(int(refusal[1]))
                # A run that did not complete is found by its record, written
                # just before its slot is ready again (a start may come too soon).
                pending += records_file.read()
                *texts, pending = pending.split("\n")
                for text in texts:
                    r = json.loads(text)
                    if r["end"] != "completed":
                        ended += 1
                        to_start.append(r["slot"])
                for slot in to_start:
                    if started_runs < runs:
                        station.send(f"start {slot}")
                        started_runs += 1
                if completed and ended % sample_every == 0:
                    samples.append((str(ended), resources(station.pid)))
            time.sleep(1)  # every slot's last run has left
            samples.append(("all ended", resources(station.pid)))
        status, done, failed = station.quit()
        wall = time.monotonic() - began
    finally:
        if station:
            station.kill()
        boxes.close()
    with open(record) as f:
        records = [json.loads(r) for r in f]
    run_numbers = sorted(r["run"] for r in records)
    return {"runs": started_runs, "refused": refused, "records": len(records), "completed": done, "failed": failed,
            "status": status, "runs_numbered": run_numbers == list(range(1, started_runs + 1)),
            "ends": sorted({r["end"] for r in records}), "samples": samples, "wall": wall, "slots": slots}


def rows_together(args, work, image, db, n=64, server_rows=None, env=None):
    """n unthrottled boxes started at once with a 4 KiB image, so that their
    runs end together: the record file's lines are watched (every 0.2 ms)
    and the rate is the rows after the first over the time to the last.
    db: the --db given (a file, a postgresql:// address, or none); with
    server_rows (a function giving the rows on the server), also the time
    from the first record to the last row on the server."""
    record = os.path.join(work, f"rows-{abs(hash(db))}.jsonl")
    boxes = Boxes(args.emulator, work, n, "--sessions", "0", "--autoboot-ms", AUTOBOOT_MS)
    station = None
    result = {"n": n}
    try:
        station = Station(args.cli, boxes.ports, image, work, record=record, extra=["--db", db], env=env)
        station.send("start all")
        seen, times = 0, []
        deadline = time.monotonic() + WAIT
        while seen < n and time.monotonic() < deadline:
            with open(record, "rb") as f:
                count = f.read().count(b"\n")
            times += [time.monotonic()] * (count - seen)
            seen = count
            time.sleep(0.0002)
        if seen < n:
            raise RuntimeError(f"{seen} of {n} records in time")
        while server_rows and server_rows() < n and time.monotonic() < deadline:
            time.sleep(0.01)
        if server_rows:
            result["server"] = (n - 1) / (time.monotonic() - times[0])
        status, done, failed = station.quit()
        if status != 0 or done != n:
            raise RuntimeError(f"station exit {status}: {done} completed, {failed} failed")
    finally:
        if station:
            station.kill()
        boxes.close()
    return dict(result, rate=(n - 1) / (times[-1] - times[0]), spread=times[-1] - times[0])


def paced_while_rows(args, work, image, n=16, churn=16):
    """n paced boxes (as paced16) started at once, while `churn` boxes that
    refuse the image are started again and again, so that rows go into the
    default unit store (SQLite) the whole time: the slowest paced box's
    rate against the line limit, and the rows written meanwhile."""
    record = os.path.join(work, "churn.jsonl")
    os.makedirs(os.path.join(work, "churn"), exist_ok=True)
    paced_boxes = Boxes(args.emulator, work, n, "-v", "--baud", "115200", "--sessions", "0",
                        "--autoboot-ms", AUTOBOOT_MS)
    churners = Boxes(args.emulator, os.path.join(work, "churn"), churn, "--refuse", "--sessions", "0",
                     "--autoboot-ms", AUTOBOOT_MS)
    station = None
    try:
        station = Station(args.cli, paced_boxes.ports + churners.ports, image, work, record=record)
        for slot in range(1, n + 1):
            station.send(f"start {slot}")
        completed = 0
        deadline = time.monotonic() + WAIT + 60
        while completed < n and time.monotonic() < deadline:
            for slot in range(n + 1, n + churn + 1):
                station.send(f"start {slot}")
            end = time.monotonic() + 0.3
            while (line := station.next_line(max(0.0, end - time.monotonic()))) is not None:
                completed += bool(re.match(r"^\S+: completed in ", line))
        with open(record) as f:
            rows = sum(1 for _ in f)
        station.quit()
    finally:
        if station:
            station.kill()
        summaries = paced_boxes.close()
        churners.close()
    if completed < n or any(s["verdict"] != "completed" for s in summaries):
        raise RuntimeError(f"{completed} of {n} paced boxes completed")
    rates = sorted(os.path.getsize(image) * 1000.0 / transfer_ms(log) for log in paced_boxes.logs)
    return {"rate": rates[0], "rows": rows}


def import_rate(args, work, db, rows=2000, env=None):
    """import-records of `rows` records (each its own synced row, as a
    station writes them) into db: rows per second, the whole process (into
    PostgreSQL: until the spool has reached the server)."""
    records = os.path.join(work, f"import-{abs(hash(db))}.jsonl")
    with open(records, "w") as f:
        for n in range(rows):
            f.write(json.dumps({"port": "/dev/ttyUSB0", "slot": n % 64 + 1, "run": n + 1, "station": "bench",
                                "unit": f"SN-{n}", "end": "completed", "ok": True, "message": "", "blocks": 4,
                                "image": "image.ssu", "image_bytes": 4096, "image_sha256": "0" * 64,
                                "started": f"2026-12-01T00:00:{n // 1000:02d}.{n % 1000:03d}Z",
                                "ended": "2026-12-01T00:01:00.000Z", "seconds": {}, "console": ""}) + "\n")
    started = time.monotonic()
    subprocess.run([args.cli, "import-records", records, "--db", db], check=True, capture_output=True, env=env)
    return rows / (time.monotonic() - started)


def history_million(args, work, attempts=1_000_000, asks=20):
    """A store of `attempts` rows (one real record copied with other units,
    times and ids, 1000 units), then `history --unit` asked `asks` times
    for one unit: the whole process's wall time."""
    db = os.path.join(work, "million.db")
    records = os.path.join(work, "one-record.jsonl")
    with open(records, "w") as f:
        f.write(json.dumps({"port": "/dev/ttyUSB0", "slot": 1, "run": 1, "station": "bench", "unit": "SN-0",
                            "end": "completed", "ok": True, "message": "", "blocks": 4, "image": "image.ssu",
                            "image_bytes": 4096, "image_sha256": "0" * 64, "started": "2026-12-01T00:00:00.000Z",
                            "ended": "2026-12-01T00:00:10.000Z", "seconds": {}, "console": ""}) + "\n")
    subprocess.run([args.cli, "import-records", records, "--db", db], check=True, capture_output=True)
    with sqlite3.connect(db) as store:
        columns = [row[1] for row in store.execute("PRAGMA table_info(attempts)")]
        copied = {"attempt": "printf('%064x', n)", "unit": "'SN-' || (n % 1000)", "run": "n",
                  "started": "strftime('%Y-%m-%dT%H:%M:%S.000Z', '2026-12-01', '+' || n || ' seconds')"}
        select = ", ".join(copied.get(c, c) for c in columns)
        store.execute(f"WITH RECURSIVE k(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM k WHERE n < {attempts - 1}) "
                      f"INSERT INTO attempts ({', '.join(columns)}) SELECT {select} FROM k, attempts")
    times = []
    for _ in range(asks):
        started = time.monotonic()
        run = subprocess.run([args.cli, "history", "--db", db, "--unit", "SN-500"], capture_output=True, text=True)
        times.append(1000 * (time.monotonic() - started))
        if run.returncode != 0 or len(run.stdout.splitlines()) != 1 + attempts // 1000:
            raise RuntimeError(f"history --unit: exit {run.returncode}, {len(run.stdout.splitlines())} lines")
    return {"attempts": attempts, "median": statistics.median(times), "max": max(times)}


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return f"{os.cpu_count()} CPUs ({model}), Linux {platform.release()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build", nargs="?", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--only",
                        default="paced16,paced64,start,web,hostile,exhaustion,slowopen,memory,soak,lid,armed,shift,store")
    parser.add_argument("--idle-seconds", type=float, default=30)
    parser.add_argument("--soak-runs", type=int, default=500)
    args = parser.parse_args()
    args.cli = os.path.join(os.path.abspath(args.build), "bin", "kelvora-upgrader")
    args.emulator = os.path.join(os.path.abspath(args.build), "bin", "stb-emulator")
    only = args.only.split(",")

    print(f"# kelvora-upgrader station benchmark, {datetime.datetime.now():%Y-%m-%d %H:%M}, {machine()}")
    print(f"# line limit {LINE_LIMIT:.0f} payload B/s at 115200 baud", flush=True)
    with tempfile.TemporaryDirectory(prefix="kelvora-bench-station-") as work:
        # The stations' unit store goes here, not into the user's folder.
        os.environ["XDG_STATE_HOME"] = os.path.join(work, "state")
        image = os.path.join(work, "image-256k.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(256 * KIB))
        small = os.path.join(work, "image-32k.bin")
        with open(small, "wb") as f:
            f.write(os.urandom(32 * KIB))
        for n in (16, 64):
            if f"paced{n}" not in only:
                continue
            r = paced(args, work, image, n, args.idle_seconds if n == 64 else 0)
            print(f"paced {n} boxes, 256 KiB, `start all`: slowest box {r['rate']:.0f} B/s = "
                  f"{100 * r['rate'] / LINE_LIMIT:.1f} % of the limit (goal >= 99), median box "
                  f"{100 * r['median_rate'] / LINE_LIMIT:.1f} %; station CPU "
                  f"{r['cpu']:.2f} % of a core per box (goal <= 0.5); all done in {r['wall']:.1f} s; "
                  f"peak {r['hwm']:.1f} MiB; load average before {r['load']}, after {r['load_after']}", flush=True)
            if "idle_before" in r:
                for when in ("before", "after"):
                    i = r[f"idle_{when}"]
                    print(f"idle, {n} slots, {args.idle_seconds:.0f} s, {when} the runs: {i['cpu']:.2f} % of one "
                          f"core (goal <= 0.5); main thread {i['main']:.2f} % at {i['main_wakes']:.0f} wake-ups/s, "
                          f"{i['others']} other threads {i['other']:.2f} % at {i['other_wakes']:.0f} wake-ups/s",
                          flush=True)
        if "start" in only:
            r = start_latency(args, work, image)
            firsts = ", ".join(f"0x{b:02x}" for b in sorted(r["firsts"]))
            print(f"start line to first byte on the port, {r['starts']} starts over {r['slots']} idle slots: "
                  f"median {r['median']:.2f} ms (goal <= 50), 90th percentile {r['p90']:.2f} ms, "
                  f"min {r['min']:.2f} ms, max {r['max']:.2f} ms; first bytes seen: {firsts}", flush=True)
        if "lid" in only:
            r = lid_latency(args, work, image)
            print(f"lid (DSR) rising to first byte on the port, --start-on dsr, {r['starts']} starts over "
                  f"{r['slots']} slots: median {r['median']:.2f} ms (goal <= 50), 90th percentile {r['p90']:.2f} ms, "
                  f"max {r['max']:.2f} ms", flush=True)
        if "shift" in only:
            shift_image = os.path.join(work, "image-64k.bin")
            with open(shift_image, "wb") as f:
                f.write(os.urandom(64 * KIB))
            results = {mode: shift(args, work, shift_image, mode == "hands-free") for mode in ("hands-free", "key")}
            print("shift, 8 paced boxes, 64 KiB, an operator swapping each box 2-10 s after it is done: " +
                  "; ".join(f"{mode} {r['completed']} boxes in {r['seconds']} s = {r['per_hour']:.0f} boxes/h"
                            for mode, r in results.items()), flush=True)
        if "store" in only:
            small4k = os.path.join(work, "image-4k.bin")
            with open(small4k, "wb") as f:
                f.write(os.urandom(4 * KIB))
            print(f"store, import-records of 2000 records, one synced row each: "
                  f"{import_rate(args, work, os.path.join(work, 'import.db')):.0f} rows/s into SQLite", flush=True)
            for db in ("none", os.path.join(work, "rows.db")):
                r = rows_together(args, work, small4k, db)
                print(f"store, {r['n']} unthrottled boxes (4 KiB) ending together, --db "
                      f"{'none' if db == 'none' else 'FILE (SQLite)'}: {r['rate']:.0f} records/s written "
                      f"({r['spread'] * 1000:.0f} ms from the first to the last)", flush=True)
            sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
            import postgres_server
            with postgres_server.PostgresServer() as server:
                env = dict(os.environ, PGPASSWORD=postgres_server.PASSWORD,
                           KELVORA_SPOOL_DIR=os.path.join(work, "spool"))

                def server_rows():
                    count = subprocess.run(["psql", "-Atc", "SELECT count(*) FROM attempts", server.uri],
                                           env=env, capture_output=True, text=True).stdout.strip()
                    return int(count or 0)

                print(f"store, import-records of 2000 records into PostgreSQL (a server on this machine), through "
                      f"the spool: {import_rate(args, work, server.uri, env=env):.0f} rows/s", flush=True)
                r = rows_together(args, work, small4k, server.uri, server_rows=server_rows, env=env)
                print(f"store, {r['n']} unthrottled boxes (4 KiB) ending together, --db postgresql://... (a server "
                      f"on this machine): {r['rate']:.0f} records/s written, {r['server']:.0f} rows/s on the server "
                      f"(first record to the last row there)", flush=True)
            r = paced_while_rows(args, work, image)
            print(f"store, paced 16 boxes (256 KiB) while 16 refusing boxes are started again and again: slowest "
                  f"box {r['rate']:.0f} B/s = {100 * r['rate'] / LINE_LIMIT:.1f} % of the limit (goal >= 99), "
                  f"{r['rows']} rows and records written meanwhile", flush=True)
            r = history_million(args, work)
            print(f"store, `history --unit` (1000 attempts of the unit) on {r['attempts']} attempts, whole process: "
                  f"median {r['median']:.1f} ms, max {r['max']:.1f} ms (goal < 50)", flush=True)
        if "armed" in only:
            i = armed_idle(args, work, image, args.idle_seconds)
            print(f"idle, 64 slots armed (--start-on auto), {args.idle_seconds:.0f} s: {i['cpu']:.2f} % of one core "
                  f"(goal <= 1); main thread {i['main']:.2f} % at {i['main_wakes']:.0f} wake-ups/s, "
                  f"{i['others']} other threads {i['other']:.2f} % at {i['other_wakes']:.0f} wake-ups/s", flush=True)
        if "web" in only:
            for clients in (10, 0):
                r = paced(args, work, image, 16, 0, web_clients=clients)
                events = (f"events per client per second min {r['events'][0]:.1f}, median "
                          f"{statistics.median(r['events']):.1f} (at most 10)" if clients else "no clients")
                print(f"web, paced 16 boxes, 256 KiB, `POST /api/start`, {clients} clients on /events: slowest box "
                      f"{r['rate']:.0f} B/s = {100 * r['rate'] / LINE_LIMIT:.1f} % of the limit (goal >= 99), median "
                      f"box {100 * r['median_rate'] / LINE_LIMIT:.1f} %; station CPU {r['cpu']:.2f} % of a core per "
                      f"box, {r['cpu'] * r['n']:.1f} % in all, web thread {r['web_cpu']:.2f} % of a core (it did "
                      f"{100 * r['probe_share']:.0f} % of the work of 200 GET /api/station); {events}; all done in "
                      f"{r['wall']:.1f} s; load average before {r['load']}, after {r['load_after']}", flush=True)
            r = start_latency(args, work, image, web=True)
            firsts = ", ".join(f"0x{b:02x}" for b in sorted(r["firsts"]))
            print(f"POST /api/slots/N/start to first byte on the port, {r['starts']} starts over {r['slots']} idle "
                  f"slots, one kept-open connection: median {r['median']:.2f} ms (goal <= 50), 90th percentile "
                  f"{r['p90']:.2f} ms, min {r['min']:.2f} ms, max {r['max']:.2f} ms; first bytes seen: {firsts}",
                  flush=True)
        if "hostile" in only:
            r = hostile(args, work, image)
            parts = [
                f"box {r['rate']:.0f} B/s = {100 * r['rate'] / LINE_LIMIT:.1f} % of the limit (goal >= 99)",
                f"{r['sent']} bad requests ({r['rows']} rows{'' if r['far'] else ', none from off loopback'}) "
                f"from 5 threads in {r['wall']:.1f} s, {100 * r['right'] / r['sent']:.3f} % answered as expected",
            ]
            parts += [f"{kind}: {sent - right} of {sent} answered otherwise: "
                      + ", ".join(f"{n} x {got}" for got, n in gots.items())
                      for kind, (sent, right, gots) in r["kinds"].items() if sent != right]
            parts += [f"20 clients on /events got min {r['events'][0]:.1f}, median "
                      f"{statistics.median(r['events']):.1f} events/s, one never reads",
                      f"station CPU {r['cpu']:.1f} % of one core", f"GET /api/station after: {r['after']}",
                      f"load average before {r['load']}, after {r['load_after']}"]
            print("hostile, paced 1 box, 256 KiB, `POST /api/slots/1/start` with the token, --web 0.0.0.0:0: "
                  + "; ".join(parts), flush=True)
            print("  " + ", ".join(f"{kind} {sent}" for kind, (sent, _, _) in r["kinds"].items()), flush=True)
        if "exhaustion" in only:
            r = exhaustion(args, work, image)
            times = "; ".join(f"{what}: median {statistics.median(ms):.1f} ms, max {max(ms):.1f} ms"
                              for what, ms in r["times"].items())
            held = ", ".join(f"{when} {x['fds']} fds {x['threads']} threads {x['rss'] / 1024:.1f} MiB"
                             for when, x in r["samples"])
            print(f"exhaustion, 300 held connections (150 on /events never read, 150 idle), 3 rounds, 20 asks "
                  f"of each per round, --web 127.0.0.1:0: {times}; {r['failed']} not answered 200/202; "
                  f"{held}; load average before {r['load']}, after {r['load_after']}", flush=True)
        if "slowopen" in only:
            r = slow_open(args, work, image)
            print(f"slow open, 1 slot whose port takes 1 s to open, {len(r['starts'])} POST /api/slots/1/start "
                  f"(median {statistics.median(r['starts']):.0f} ms to the answer): {len(r['asks'])} GET "
                  f"/api/station from another client meanwhile, median {statistics.median(r['asks']):.2f} ms, "
                  f"max {max(r['asks']):.2f} ms (goal < 50); load average before {r['load']}, after "
                  f"{r['load_after']}", flush=True)
        if "memory" in only:
            r = memory(args, work)
            print(f"{r['n']} slots, 16 MiB image, unthrottled, run to the end in {r['wall']:.1f} s: peak (VmHWM) "
                  f"{r['peak']:.1f} MiB (goal <= 40); after set-up, before any start: VmHWM {r['setup_peak']:.1f} "
                  f"MiB, VmRSS {r['setup_rss']:.1f} MiB; largest VmRSS seen during the runs {r['rss']:.1f} MiB",
                  flush=True)
        if "soak" in only:
            r = soak(args, work, small, args.soak_runs)
            print(f"soak: {r['runs']} runs over {r['slots']} slots in {r['wall']:.0f} s, 32 KiB unthrottled: "
                  f"{r['records']} records (run numbers 1..{r['runs']}: {'yes' if r['runs_numbered'] else 'NO'}), "
                  f"closing counts {r['completed']} completed + {r['failed']} failed, exit {r['status']}, "
                  f"ends {', '.join(r['ends'])}, {r['refused']} restarts refused and retried", flush=True)
            print("  after runs | descriptors | threads | VmRSS KiB")
            for ended, s in r["samples"]:
                print(f"  {ended:>10} | {s['fds']:11d} | {s['threads']:7d} | {s['rss']:9d}", flush=True)


if __name__ == "__main__":
    main()
