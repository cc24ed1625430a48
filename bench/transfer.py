#!/usr/bin/env python3
"""Transfer benchmark: how close kelvora-upgrader runs to the line's limit,
how its per-block turnaround compares with lrzsz's sx, and what a download
costs in CPU and memory.

    bench/transfer.py [BUILD_DIR]      (default: build/linux)

All transfer times come from the box emulator's own log (-v, millisecond
stamps): from "transfer begins" (the first byte of the first frame) to "end of
transmission". Per-block turnaround is that time divided by the blocks: a mean
over the transfer, not a median (the log's millisecond stamps are too coarse
for single blocks). CPU and peak resident memory are the kernel's accounting
of the finished kelvora-upgrader process (wait4) and its own high-water mark
(VmHWM), read while it runs.
"""

import datetime
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
import tty

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(ROOT, "build", "linux")
CLI = os.path.join(BUILD, "bin", "kelvora-upgrader")
EMULATOR = os.path.join(BUILD, "bin", "stb-emulator")
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from box_emulator import Emulator  # noqa: E402

LINE_BAUD = 115200
BYTES_PER_SECOND = LINE_BAUD // 10                    # 10 bits a byte: 11 520
# Per 1024 payload bytes the line carries a 1029-byte frame and a 1-byte ACK.
LINE_LIMIT = BYTES_PER_SECOND * 1024 / (1029 + 1)     # payload bytes/s

STAMP = re.compile(r"^stb-emulator:\s+(\d+) ms: (.*)$")
KIB = 1024
MIB = 1024 * 1024


def transfer_time(log):
    """(milliseconds, blocks) of the last transfer in the emulator's log."""
    begin = end = None
    blocks = 0
    stamps = [(int(m[1]), m[2]) for m in map(STAMP.match, log.splitlines()) if m]
    for ms, text in stamps:
        if text.startswith("transfer begins"):
            begin, blocks = ms, 0
        elif " acknowledged" in text and text.startswith("block "):
            blocks += 1
        elif text.startswith("end of transmission"):
            end = ms
    if begin is None or end is None:
        raise RuntimeError("no whole transfer in the emulator's log:\n" +
                           "\n".join(t for _, t in stamps[-10:]))
    return end - begin, blocks


def image(directory, size):
    path = os.path.join(directory, f"image-{size}.bin")
    with open(path, "wb") as f:
        f.write(os.urandom(size))
    return path


def high_water_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def wait_measured(proc):
    """Waits for proc; gives (exit status, user+sys seconds, peak RSS KiB).

    The peak is the process's own high-water mark, read while it runs: the
    kernel's ru_maxrss of a child also counts the forked Python image it was
    started from."""
    peak = 0
    while True:
        hwm = high_water_kib(proc.pid)
        if hwm is not None:
            peak = hwm
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid != 0:
            break
        time.sleep(0.01)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, usage.ru_utime + usage.ru_stime, peak


def run_upgrader(port, path):
    proc = subprocess.Popen([CLI, "--yes", "--quiet", "--port", port, path],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    return wait_measured(proc)


def run_sx(port, path):
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        proc = subprocess.Popen(["sx", "-k", path], stdin=fd, stdout=fd, stderr=subprocess.DEVNULL)
        return wait_measured(proc)
    finally:
        os.close(fd)


def measure(runner, path, *emulator_args):
    with Emulator(EMULATOR, "-v", *emulator_args, log=path + ".log") as emulator:
        rc, cpu, rss = runner(emulator.port, path)
        emulator.finish(wait=5)
    if rc != 0:
        raise RuntimeError(f"{runner.__name__} ended with {rc}; emulator: {emulator.summary_line}")
    ms, blocks = transfer_time(emulator.log_text())
    return ms, blocks, cpu, rss


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    for tool in (CLI, EMULATOR):
        if not os.access(tool, os.X_OK):
            sys.exit(f"transfer.py: {tool} is missing; build first")
    have_sx = subprocess.run(["sh", "-c", "command -v sx"], capture_output=True).returncode == 0

    rows = []
    with tempfile.TemporaryDirectory(prefix="kelvora-bench-") as work:
        paced = image(work, 256 * KIB)
        ms, blocks, _, _ = measure(run_upgrader, paced, "--baud", str(LINE_BAUD))
        seconds = ms / 1000
        rate = 256 * KIB / seconds
        rows.append(("paced 115200 baud, 256 KiB", "kelvora-upgrader",
                     f"{seconds:.2f} s, {rate:,.0f} payload B/s, "
                     f"{100 * rate / LINE_LIMIT:.1f} % of the {LINE_LIMIT:,.0f} B/s limit"))

        fast = image(work, 4 * MIB)
        ms, blocks, _, _ = measure(run_upgrader, fast)
        ours = ms / blocks
        rows.append(("unthrottled pty, 4 MiB, per-block turnaround", "kelvora-upgrader",
                     f"{ours:.3f} ms/block ({blocks} blocks in {ms} ms)"))
        if have_sx:
            ms, blocks, _, _ = measure(run_sx, fast, "--plain")
            theirs = ms / blocks
            rows.append(("", "lrzsz sx -k",
                         f"{theirs:.3f} ms/block ({blocks} blocks in {ms} ms); "
                         f"ours {ours - theirs:+.3f} ms"))
        else:
            rows.append(("", "lrzsz sx -k", "not installed"))

        big = image(work, 16 * MIB)
        ms, blocks, cpu, rss = measure(run_upgrader, big)
        rows.append(("unthrottled pty, 16 MiB", "kelvora-upgrader",
                     f"{cpu / 16:.3f} CPU s/MiB (user+sys {cpu:.2f} s), peak RSS {rss / KIB:.1f} MiB, "
                     f"{ms / blocks:.3f} ms/block"))

    print(f"KelvoraUpgrader transfer benchmark, {datetime.date.today().isoformat()}, "
          f"{os.cpu_count()} CPUs ({cpu_model()}), {platform.system()} {platform.release()}")
    width = max(len(r[0]) for r in rows)
    for what, tool, result in rows:
        print(f"  {what:<{width}}  {tool:<17} {result}")


if __name__ == "__main__":
    main()
