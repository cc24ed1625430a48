#!/usr/bin/env python3
"""Batch benchmark: N boxes flashed by one kelvora-upgrader process, against
the same N boxes flashed by N single-port processes.

    bench/batch.py [BUILD_DIR]      (default: build/linux)

For N = 1, 4, 8 and 16 paced emulators (115200 baud, 256 KiB image) it
prints the slowest box's payload rate against the line limit, the flasher's
CPU as % of one core per box, and peak memory; then one line for 16 boxes
with a 16 MiB image, unthrottled (memory only). Transfer times come from
each emulator's own log (-v, millisecond stamps): from "transfer begins" to
"end of transmission". CPU and peak memory are the kernel's accounting of the
finished flasher processes (wait4: user + system time) and each one's own
high-water mark (VmHWM, read while it runs); for N separate processes the
CPU is summed and so are the peaks (they all run at once, so that is what
they hold together).
"""

import datetime
import os
import platform
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from box_emulator import Emulator  # noqa: E402
from transfer import high_water_kib  # noqa: E402

BUILD = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(ROOT, "build", "linux")
CLI = os.path.join(BUILD, "bin", "kelvora-upgrader")
EMULATOR = os.path.join(BUILD, "bin", "stb-emulator")

# 11 520 bytes/s on the line; per 1024 payload bytes a 1029-byte frame and a
# 1-byte ACK.
LINE_LIMIT = 115200 // 10 * 1024 / (1029 + 1)
STAMP = re.compile(r"^stb-emulator:\s+(\d+) ms: (.*)$")
KIB = 1024
MIB = 1024 * 1024


def transfer_ms(log):
    begin = end = None
    with open(log, errors="replace") as f:
        for line in f:
            match = STAMP.match(line.rstrip("\n"))
            if not match:
                continue
            if match[2].startswith("transfer begins"):
                begin = int(match[1])
            elif match[2].startswith("end of transmission"):
                end = int(match[1])
    if begin is None or end is None:
        raise RuntimeError(f"no whole transfer in {log}")
    return end - begin


def measured(procs):
    """Waits for every process; (CPU seconds, summed peak KiB, exit codes).
    The peak is each process's own high-water mark (VmHWM), read while it
    runs: ru_maxrss would count the Python process it was forked from."""
    cpu = 0.0
    peaks = {proc.pid: 0 for proc in procs}
    codes = {}
    while len(codes) < len(procs):
        for proc in procs:
            if proc.pid in codes:
                continue
            peaks[proc.pid] = max(peaks[proc.pid], high_water_kib(proc.pid) or 0)
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid == proc.pid:
                codes[pid] = os.waitstatus_to_exitcode(status)
                proc.returncode = codes[pid]
                cpu += usage.ru_utime + usage.ru_stime
        time.sleep(0.05)
    return cpu, sum(peaks.values()), list(codes.values())


def flash(work, n, image, separate, paced=True):
    args = ["-v", "--baud", "115200"] if paced else ["-v"]
    logs = [os.path.join(work, f"emulator-{i}.log") for i in range(n)]
    emulators = [Emulator(EMULATOR, *args, log=log) for log in logs]
    try:
        started = time.monotonic()
        common = [CLI, "--yes", "--quiet"]
        if separate:
            procs = [subprocess.Popen(common + ["--port", e.port, image], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL) for e in emulators]
        else:
            ports = [arg for e in emulators for arg in ("--port", e.port)]
            procs = [subprocess.Popen(common + ports + [image], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)]
        cpu, peak, codes = measured(procs)
        wall = time.monotonic() - started
        for e in emulators:
            e.finish(wait=5)
    finally:
        for e in emulators:
            e.__exit__(None, None, None)
    if any(codes):
        raise RuntimeError(f"a flasher failed: exit codes {codes}")
    slowest = max(transfer_ms(log) for log in logs) / 1000.0
    return {"rate": os.path.getsize(image) / slowest, "cpu": 100.0 * cpu / wall / n, "peak": peak / 1024.0,
            "wall": wall}


def main():
    with tempfile.TemporaryDirectory(prefix="kelvora-bench-batch-") as work:
        image = os.path.join(work, "image-256k.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(256 * KIB))
        print(f"# kelvora-upgrader batch benchmark, {datetime.date.today()}, {platform.node()}, "
              f"{os.cpu_count()} cores")
        print(f"# paced 115200 baud, 256 KiB image; line limit {LINE_LIMIT:.0f} payload B/s")
        print("| boxes | flasher | slowest box B/s | % of limit | CPU % of a core per box | peak MiB | wall s |")
        print("|---:|---|---:|---:|---:|---:|---:|")
        for n in (1, 4, 8, 16):
            for separate in (False, True):
                r = flash(work, n, image, separate)
                kind = f"{n} processes" if separate else "one process"
                print(f"| {n} | {kind} | {r['rate']:.0f} | {100 * r['rate'] / LINE_LIMIT:.1f} | "
                      f"{r['cpu']:.2f} | {r['peak']:.1f} | {r['wall']:.1f} |", flush=True)
        big = os.path.join(work, "image-16m.bin")
        with open(big, "wb") as f:
            f.write(os.urandom(16 * MIB))
        for separate in (False, True):
            r = flash(work, 16, big, separate, paced=False)
            kind = "16 processes" if separate else "one process"
            print(f"| 16, 16 MiB, unthrottled | {kind} | | | | {r['peak']:.1f} | {r['wall']:.1f} |", flush=True)


if __name__ == "__main__":
    main()
