#!/usr/bin/env python3
"""The far end of a serial line for the Windows build under Wine.

Creates a pseudo-terminal pair, writes the slave's path to DIR/pty (Wine maps
COM1 to it) and plays the peer on the master side: every byte it receives is
echoed back unless told otherwise. The test executable cannot reach the Linux
side directly, so it drives the peer through files in DIR (Wine's Z: drive):
it writes DIR/cmd with one line "SEQ VERB [ARG]", the peer carries it out,
removes DIR/cmd and answers in DIR/ack-SEQ.

Verbs:
  echo         echo every received byte back (the start mode)
  sink         stop reading, so the line backs up and writes stall
  burst N      send N bytes: byte i is i % 251
  hangup N     close the master after N more received bytes (0: now)
  scramble     set the line to 9600 baud, two stop bits, RTS/CTS and
               XON/XOFF, so that what it reads after an open is the
               opener's doing (Linux keeps a pseudo-terminal at 8 bits
               without parity whatever is asked)
  state        answer "slave_open=0|1 received=N speed=BAUD cstopb=0|1
               crtscts=0|1 ixon=0|1 ixoff=0|1"
               (slave_open: somebody holds the slave)
  quit         end
"""
import argparse
import os
import select
import sys
import termios
import time
import tty


def write_atomic(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def line_settings_away_from_ours(fd):
    """Raw, but 9600 baud, two stop bits, hardware and software flow control:
    whatever the port is set to after an open is then the opener's doing."""
    tty.setraw(fd)
    attrs = termios.tcgetattr(fd)
    attrs[0] |= termios.IXON | termios.IXOFF
    attrs[2] |= termios.CSTOPB | termios.CRTSCTS
    attrs[4] = termios.B9600
    attrs[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


class Peer:
    def __init__(self, directory):
        self.dir = directory
        self.master, slave = os.openpty()
        self.slave_path = os.ttyname(slave)
        line_settings_away_from_ours(slave)
        # Only the opener under test may hold the slave: the master reports
        # its hang-up, and tcgetattr on the master reads the slave's settings.
        os.close(slave)
        os.set_blocking(self.master, False)
        self.mode = "echo"
        self.received = 0
        self.pending_out = bytearray()
        self.hangup_after = None
        self.closed = False

    def slave_open(self):
        # With every opener of the slave gone the master polls as hung up.
        p = select.poll()
        p.register(self.master, select.POLLIN | select.POLLHUP)
        for _, ev in p.poll(0):
            if ev & select.POLLHUP:
                return 0
        return 1

    def state(self):
        iflag, _, cflag, _, ispeed, ospeed, _ = termios.tcgetattr(self.master)
        speeds = {getattr(termios, "B" + str(b)): b for b in (9600, 19200, 38400, 57600, 115200, 230400)}
        fields = [
            ("slave_open", self.slave_open()),
            ("received", self.received),
            ("speed", speeds.get(ospeed, -1) if ispeed == ospeed else -1),
            ("cstopb", int(bool(cflag & termios.CSTOPB))),
            ("crtscts", int(bool(cflag & termios.CRTSCTS))),
            ("ixon", int(bool(iflag & termios.IXON))),
            ("ixoff", int(bool(iflag & termios.IXOFF))),
        ]
        return " ".join("%s=%d" % f for f in fields)

    def command(self, text):
        parts = text.split()
        seq, verb, arg = parts[0], parts[1], (int(parts[2]) if len(parts) > 2 else 0)
        answer = "ok"
        if verb == "echo" or verb == "sink":
            self.mode = verb
        elif verb == "burst":
            self.pending_out += bytes(i % 251 for i in range(arg))
        elif verb == "hangup":
            self.hangup_after = self.received + arg
        elif verb == "scramble":
            # Settings made on the master apply to the slave's line.
            line_settings_away_from_ours(self.master)
        elif verb == "state":
            answer = self.state()
        elif verb == "quit":
            self.closed = True
        else:
            answer = "unknown verb " + verb
        write_atomic(os.path.join(self.dir, "ack-" + seq), answer + "\n")

    def pump(self):
        want = select.POLLIN if self.mode == "echo" else 0
        if self.pending_out:
            want |= select.POLLOUT
        p = select.poll()
        p.register(self.master, want)
        events = p.poll(5)
        hung_up = False
        for _, ev in events:
            if ev & select.POLLHUP:
                hung_up = True
            if ev & select.POLLIN and self.mode == "echo":
                self.receive()
            if ev & select.POLLOUT and self.pending_out:
                self.send()
        if hung_up or not events:
            # Nobody holds the slave (between tests), or the line is idle.
            time.sleep(0.002)

    def receive(self):
        try:
            data = os.read(self.master, 65536)
        except (BlockingIOError, OSError):
            return
        if self.hangup_after is not None and self.received + len(data) >= self.hangup_after:
            self.received += len(data)
            self.close_master()
            return
        self.received += len(data)
        self.pending_out += data

    def send(self):
        try:
            n = os.write(self.master, self.pending_out)
        except (BlockingIOError, OSError):
            return
        del self.pending_out[:n]

    def close_master(self):
        os.close(self.master)
        self.master = None
        self.closed = True

    def run(self):
        write_atomic(os.path.join(self.dir, "pty"), self.slave_path + "\n")
        cmd = os.path.join(self.dir, "cmd")
        while not self.closed:
            if os.path.exists(cmd):
                with open(cmd) as f:
                    text = f.read().strip()
                os.remove(cmd)
                if text:
                    self.command(text)
                if self.hangup_after is not None and self.received >= self.hangup_after:
                    self.close_master()
                    break
                if self.closed:
                    break
            self.pump()
        # A hung-up peer stays alive (without the master) until told to quit,
        # so the test can still ask it nothing more and the runner can reap it.
        while self.master is None and not os.path.exists(os.path.join(self.dir, "stop")):
            time.sleep(0.05)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("dir", help="control directory (created if missing)")
    args = ap.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    Peer(args.dir).run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
