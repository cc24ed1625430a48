#!/usr/bin/env python3
"""A box stand-in whose XMODEM receiver is lrzsz's rx, an implementation
written by nobody here.

    lrzsz_relay.py OUTPUT_FILE [--log FILE] [--timeout SECONDS]

Owns a pseudo-terminal and prints its device path as the first stdout line;
kelvora-upgrader opens that path. When spaces arrive it prints a menu with the
upgrade entry; on "1" it starts `rx -c -y NAME` in OUTPUT_FILE's directory on a
second pseudo-terminal and relays bytes both ways until rx exits, then prints
the loader's write-flash line so the sender sees its verdict. The last stdout
line is a summary: "lrzsz_relay: rx_exit=N relayed_in=B relayed_out=B".

What rx needs from the relay:
- rx sends one "C" at start and then only every 14 s, but answers a junk byte
  with a fresh "C" after about 1 s: the relay pokes it until the sender has
  had the five "C"s it waits for.
- rx flushes its input right after each answer it writes, so bytes of ours
  that reach it before that flush are lost. rx's pseudo-terminal is in packet
  mode, which reports each flush to the relay: after an answer from rx our
  bytes wait for its flush (or, should none come, for a second).
- rx allows 0.1 s between the bytes of a block: our bytes go on a whole frame
  at a time, never a frame split by a pause of our own.
- rx takes an end of transfer only as a lone EOT followed by silence, so of our
  three-byte end frame (04 n FF-n) only the 0x04 goes on.
- rx's stderr goes to a log, never to the line.
"""

import argparse
import fcntl
import os
import pty
import select
import subprocess
import struct
import sys
import termios
import time
import tty

STX = 0x02
EOT = 0x04
CAN = 0x18
DATA_FRAME = 1029
SHORT_FRAME = 3

MENU = (b"\r\nKelvora relay loader (lrzsz rx)\r\n"
        b"0.  Boot Application\r\n"
        b"1.  Upgrade Application with SSU\r\n"
        b"Select: ")
VERDICT = b"\r\n_burn_SSU_image:Start to write flash...\r\n"
C_WANTED = 5
POKE = b"\x00"
FLUSH_WAIT_LIMIT = 1.0
VERDICT_GRACE = 1.0


def open_raw_pty():
    master, slave = pty.openpty()
    tty.setraw(slave)
    tty.setraw(master)
    return master, slave, os.ttyname(slave)


def write_all(fd, data):
    while data:
        try:
            n = os.write(fd, data)
        except BlockingIOError:
            time.sleep(0.0005)
            continue
        data = data[n:]


class SenderFrames:
    """Follows our sender's frames: hands on whole frames only, and of an end
    frame only the lone EOT rx wants."""

    def __init__(self):
        self.left = 0      # bytes still to come in the current frame
        self.drop = 0      # bytes of an end frame to swallow
        self.partial = bytearray()
        self.ready = bytearray()

    def feed(self, data):
        for b in data:
            if self.drop:
                self.drop -= 1
                continue
            if self.left:
                self.left -= 1
                self.partial.append(b)
            else:
                if b == STX:
                    self.left = DATA_FRAME - 1
                elif b == EOT:
                    self.drop = SHORT_FRAME - 1
                elif b == CAN:
                    self.left = SHORT_FRAME - 1
                self.partial.append(b)
            if not self.left:
                self.ready.extend(self.partial)
                self.partial.clear()

    def take(self):
        taken = bytes(self.ready)
        self.ready.clear()
        return taken


def open_packet_pty():
    """A raw pseudo-terminal whose master reads report the slave's flushes."""
    master, slave, _ = open_raw_pty()
    fcntl.ioctl(master, termios.TIOCPKT, struct.pack("i", 1))
    os.set_blocking(master, False)
    return master, slave


def read_packets(fd):
    """Reads what rx's side has: (bytes rx wrote, whether rx flushed its input
    after writing them, whether its side is still open). A flush is reported
    ahead of bytes that were already waiting, and rx writes nothing more until
    it has our next frame, so a flush anywhere in what is read follows rx's
    last answer."""
    data = bytearray()
    flushed = False
    while True:
        try:
            packet = os.read(fd, 4096)
        except BlockingIOError:
            return bytes(data), flushed, True
        except OSError:
            return bytes(data), flushed, False
        if not packet:
            return bytes(data), flushed, False
        if packet[0] == termios.TIOCPKT_DATA:
            data.extend(packet[1:])
        elif packet[0] & termios.TIOCPKT_FLUSHREAD:
            flushed = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("output")
    parser.add_argument("--log", default=os.devnull)
    parser.add_argument("--timeout", type=float, default=120.0)
    args = parser.parse_args()

    out_dir = os.path.dirname(os.path.abspath(args.output))
    out_name = os.path.basename(args.output)

    line, line_slave, line_name = open_raw_pty()
    # The slave stays open here too: a sender closing its end must not hang
    # up the line before it reads the verdict.
    print(line_name, flush=True)

    deadline = time.monotonic() + args.timeout
    menu_shown = False
    rx = None
    rx_line = None
    rx_exit = None
    c_seen = 0
    sender_started = False
    last_from_rx = 0.0
    rx_flushed = True
    last_poke = 0.0
    frames = SenderFrames()
    relayed_in = relayed_out = 0
    log = open(args.log, "wb")

    try:
        while time.monotonic() < deadline:
            fds = [line] + ([rx_line] if rx_line is not None else [])
            ready, _, _ = select.select(fds, [], [], 0.05)
            now = time.monotonic()

            if line in ready:
                data = os.read(line, 4096)
                if rx is None:
                    if not menu_shown and b" " in data:
                        write_all(line, MENU)
                        menu_shown = True
                    if menu_shown and b"1" in data:
                        rx_line, rx_slave = open_packet_pty()
                        rx = subprocess.Popen(["rx", "-c", "-y", out_name], cwd=out_dir,
                                              stdin=rx_slave, stdout=rx_slave, stderr=log,
                                              start_new_session=True)
                        os.close(rx_slave)
                elif rx_exit is None:
                    frames.feed(data)
                    sender_started = sender_started or bool(frames.ready or frames.partial)

            if rx_line is not None and rx_line in ready:
                data, flushed, open_still = read_packets(rx_line)
                if data:
                    last_from_rx = time.monotonic()
                    rx_flushed = flushed
                    if not sender_started:
                        c_seen += data.count(b"C")
                    write_all(line, data)
                    relayed_out += len(data)
                elif flushed:
                    rx_flushed = True
                if not open_still:
                    os.close(rx_line)
                    rx_line = None

            # Our frames go on once rx has flushed after its last answer.
            if (frames.ready and rx_line is not None
                    and (rx_flushed or now - last_from_rx >= FLUSH_WAIT_LIMIT)):
                held = frames.take()
                write_all(rx_line, held)
                relayed_in += len(held)

            # A poke per second until the sender has its "C"s.
            if (rx_line is not None and not sender_started and c_seen < C_WANTED
                    and now - last_poke >= 1.0 and now - last_from_rx >= 0.2):
                write_all(rx_line, POKE)
                last_poke = now

            if rx is not None and rx_exit is None and rx.poll() is not None:
                rx_exit = rx.returncode
                # Whatever rx still had to say has been read; then the verdict.
                time.sleep(0.05)
                write_all(line, VERDICT)
                deadline = min(deadline, time.monotonic() + VERDICT_GRACE)
    finally:
        if rx is not None and rx.poll() is None:
            rx.kill()
            rx.wait()
            if rx_exit is None:
                rx_exit = "killed"
        log.close()
        print(f"lrzsz_relay: rx_exit={rx_exit} relayed_in={relayed_in} relayed_out={relayed_out}",
              flush=True)
        os.close(line)
        os.close(line_slave)
    return 0 if rx_exit == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
