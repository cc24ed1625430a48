#!/usr/bin/env python3
"""Soak: 100 downloads in a row in one kelvora-upgrader process against one box
emulator that reboots after each. Every download must complete, and the
process must end with as many descriptors and about as much resident memory
as it had at the start (both are printed).

    soak.py --cli PATH --emulator PATH [--downloads 100] [--growth-kib 2048]

Exits 1 when a check fails.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from box_emulator import Emulator  # noqa: E402

MSG_COMPLETED = ("Download Complted !!!\n\nPlease wait till STB rebooting automatically "
                 "and don't power off..")
AT_START = re.compile(r"at start: descriptors (\d+), resident (\d+) KiB")
AT_END = re.compile(r"at end: descriptors (\d+), resident (\d+) KiB; (\d+) of (\d+) downloads completed")
RESOURCES_END = re.compile(r"^resources: buffers_obtained=(\d+) buffers_released=(\d+) "
                           r"threads=(\d+) fds=(\d+)$")
RESOURCES_START = re.compile(r"^resources-start: fds=(\d+)$")

IMAGE_SIZE = 8 * 1024
# Unthrottled, with a short power-on delay and quick C requests: each download
# then takes a fraction of a second. The long autoboot window keeps a reboot
# that the next download is slow to catch from ending the session.
BOX = ["--sessions", "0", "--boot-delay", "20", "--c-interval", "20", "--autoboot-ms", "120000"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--downloads", type=int, default=100)
    parser.add_argument("--growth-kib", type=int, default=2048,
                        help="largest resident-memory growth accepted")
    parser.add_argument("--sanitize", default="", help="the sanitizers the build uses")
    parser.add_argument("--limit", type=float, default=240, help="hang guard, seconds")
    args = parser.parse_args()
    n = args.downloads

    problems = []
    with tempfile.TemporaryDirectory(prefix="kelvora-soak-") as tmp:
        image = os.path.join(tmp, "soak.ssu")
        with open(image, "wb") as f:
            f.write(os.urandom(IMAGE_SIZE))

        with Emulator(args.emulator, *BOX) as box:
            env = dict(os.environ, KELVORA_RESOURCE_REPORT="1")
            try:
                done = subprocess.run([args.cli, "--yes", "--quiet", "--repeat", str(n), "--port", box.port,
                                       image], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                      env=env, timeout=args.limit)
                rc, out, err = done.returncode, done.stdout, done.stderr
            except subprocess.TimeoutExpired as expired:
                rc = None
                out = (expired.stdout or b"").decode(errors="replace") if isinstance(expired.stdout, bytes) \
                    else (expired.stdout or "")
                err = ""
                problems.append(f"hang: {n} downloads did not end within {args.limit:.0f} s")
            summary = box.finish(wait=0)

    if rc is not None and rc != 0:
        problems.append(f"exit status {rc}, want 0")
    completed = out.count(MSG_COMPLETED + "\n")
    if completed != n:
        problems.append(f"{completed} completion messages, want {n}")

    start = AT_START.search(out)
    end = AT_END.search(out)
    if start is None or end is None:
        problems.append("no 'at start' / 'at end' resource lines from --repeat")
    else:
        fds0, rss0 = int(start[1]), int(start[2])
        fds1, rss1 = int(end[1]), int(end[2])
        print(f"descriptors: {fds0} at start, {fds1} at end")
        print(f"resident memory: {rss0} KiB at start, {rss1} KiB at end ({rss1 - rss0:+d} KiB)")
        if (int(end[3]), int(end[4])) != (n, n):
            problems.append(f"{end[3]} of {end[4]} downloads completed, want {n} of {n}")
        if fds1 != fds0:
            problems.append(f"descriptors grew from {fds0} to {fds1}")
        if args.sanitize:
            # Freed blocks stay in the sanitizer's quarantine and shadow, so
            # resident memory measures the sanitizer here, not the program.
            print(f"note: resident memory not bounded under the {args.sanitize} sanitizer")
        elif rss1 - rss0 >= args.growth_kib:
            problems.append(f"resident memory grew by {rss1 - rss0} KiB (limit {args.growth_kib} KiB)")

    # The report of the buffers and threads, when the command line gives it.
    lines = err.splitlines()
    report = RESOURCES_END.match(lines[-1]) if lines else None
    report_start = RESOURCES_START.match(lines[0]) if lines else None
    if report is None:
        print("note: no resource report on stderr; buffers and threads not checked")
    else:
        print(lines[-1])
        if (int(report[1]), int(report[2])) != (n, n):
            problems.append(f"buffers obtained {report[1]}, released {report[2]}, want {n} each")
        if "thread" in args.sanitize:
            print("note: threads left at exit not checked: the thread sanitizer runs a thread of its own")
        elif int(report[3]) != 1:
            problems.append(f"{report[3]} threads left at exit, want 1")
        if report_start is None or int(report[4]) != int(report_start[1]):
            problems.append("descriptors at exit differ from the start: " + lines[-1])

    if summary is None:
        problems.append("the emulator printed no summary")
    else:
        print(box.summary_line)
        if summary["blocks"] != n * IMAGE_SIZE // 1024:
            problems.append(f"the box acknowledged {summary['blocks']} blocks, want {n * IMAGE_SIZE // 1024}")
        if summary["crc_errors"] != 0:
            problems.append(f"the box saw {summary['crc_errors']} frames with a bad CRC")

    for problem in problems:
        print("FAIL: " + problem)
    if problems:
        print("\n".join("  | " + line for line in (out + err).splitlines()[-20:]))
    print(f"soak: {n} downloads, {'failed' if problems else 'passed'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
