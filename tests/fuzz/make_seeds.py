#!/usr/bin/env python3
"""Writes the seed inputs in tests/fuzz/corpus/<target>/.

The seeds are small, hand-made starting points: each reaches a path that random
bytes find only slowly (a marker across the window's wrap, a well-formed data
frame, a burning line followed by a verdict). Run it again after changing an
input layout; libFuzzer grows its own corpus from these in scripts/fuzz's copy.
"""
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

MENU = b"1.  Upgrade Application with SSU"
START = b"CCCCC"
REFUSAL = b"Image_parseSSU: software isn't match!"
BURNING = b"_burn_SSU_image: call this function!"
COMPLETION = b"_burn_SSU_image:Start to write flash..."


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# console_watch_fuzz: mode, [markers], then segments: filler count (2 bytes,
# little endian, up to the wrap; bit 15 for "this many bytes before the
# wrap"), filler byte,
# text up to and including the byte that completes a marker.
def segment(text, filler=0, filler_byte=b"x", before_wrap=None):
    count = 0x8000 | before_wrap if before_wrap is not None else filler
    return count.to_bytes(2, "little") + filler_byte + text


def watch(mode, *segments, markers=None):
    head = bytes([mode])
    if markers is not None:
        head += bytes([len(markers) - 1])
        for m in markers:
            head += bytes([len(m) - 1]) + m
    return head + b"".join(segments)


def console_seeds():
    t = "console_watch_fuzz"
    write(t, "menu_in_boot_text", watch(1, segment(b"U-Boot 1.1.3\r\nboot menu:\r\n" + MENU)))
    write(t, "start_after_short_runs", watch(2, segment(b"C\r\nCC\r\nCCCC CCCCC"), segment(b"CCCCC")))
    write(t, "burning_then_completion",
          watch(0, segment(b"load ok\r\n" + BURNING), segment(b"\r\n....\r\n" + COMPLETION)))
    write(t, "refusal_before_completion", watch(0, segment(REFUSAL), segment(b"\r\n" + COMPLETION)))
    # The completion marker straddles the window's wrap: from its first kept
    # byte, so only its last byte comes after the wrap.
    write(t, "completion_across_wrap", watch(0, segment(COMPLETION, before_wrap=len(COMPLETION) - 2)))
    write(t, "refusal_across_wrap", watch(0, segment(REFUSAL, before_wrap=20)))
    # Burning across the wrap, then the restarted window wraps at its own place.
    write(t, "burning_across_wrap_then_refusal",
          watch(0, segment(BURNING, before_wrap=10, filler_byte=b"-"), segment(REFUSAL, before_wrap=5)))
    # The window wraps on the way to the menu, with the text fed byte by byte.
    write(t, "menu_after_long_text", watch(1, segment(b"." * 100 + MENU, filler=1990, filler_byte=b" ")))
    # The window starts full of old marker text, which must never count.
    write(t, "stale_window", watch(4, segment(b"no marker here\r\n" + MENU[:-1] + b"\r\n")))
    # Markers from the input: same start, list order decides; one a suffix of another.
    write(t, "made_markers_same_start", watch(3, segment(b"zzabcd"), segment(b"cd"), markers=[b"abc", b"abcd", b"cd"]))
    write(t, "made_markers_across_wrap",
          watch(3, segment(b"0123456789" * 3, before_wrap=7), markers=[b"56789012", b"9"]))


def image_seeds():
    t = "image_framing_fuzz"
    rng = random.Random(1)
    write(t, "empty", b"")
    write(t, "one_byte", b"\x41")
    write(t, "block_less_one", bytes(rng.randrange(256) for _ in range(1023)))
    write(t, "one_block_of_ff", b"\xff" * 1024)
    write(t, "block_plus_one", bytes(rng.randrange(256) for _ in range(1025)))
    write(t, "three_blocks_text", (b"firmware \x1a\x00\r\n" * 300)[:3000])


# xmodem_receiver_fuzz reads its input with FuzzedDataProvider: byte runs from
# the front, numbers from the back (a number's first byte taken is its high
# byte). Seeds are built the same way: front runs and back numbers in the order
# the fuzzer takes them.
class Provider:
    OPS = ["Raw", "GoodFrame", "DamagedFrame", "PartFrame", "Expire", "Reject", "EndOrCancel", "Reset"]

    def __init__(self):
        self.front = b""
        self.back = []

    def number(self, value, nbytes=1):
        for i in reversed(range(nbytes)):
            self.back.append((value >> (8 * i)) & 0xFF)

    def in_range(self, value, low, nbytes=1):
        # ConsumeIntegralInRange(low, high) gives low + taken % (high - low + 1).
        self.number(value - low, nbytes)

    def bytes_(self, data):
        self.in_range(len(data), 1)
        self.front += data

    def op(self, name):
        self.number(self.OPS.index(name))

    def frame(self, which, seed=0, step=1, literal=b""):
        # which: 0 expected, 1 previous, 2 next, 3 the number given next
        self.number(which)
        if which == 3:
            self.number(0x42)
        self.number(seed)
        self.number(step)
        self.number(len(literal))
        self.front += literal

    def data(self):
        return self.front + bytes(reversed(self.back))


def receiver_seeds():
    t = "xmodem_receiver_fuzz"
    p = Provider()
    p.op("Raw"); p.bytes_(b"boot> C")
    for i in range(3):
        p.op("GoodFrame"); p.frame(0, seed=i, step=3, literal=b"\x02\x04\x18")
    p.op("GoodFrame"); p.frame(1)                      # the previous block again
    p.op("EndOrCancel"); p.number(1); p.number(0)      # 04 n FF-n with the expected n
    write(t, "three_blocks_repeat_end", p.data())

    p = Provider()
    p.op("GoodFrame"); p.frame(0)
    p.op("Reject")
    p.op("GoodFrame"); p.frame(0, seed=7)
    p.op("DamagedFrame"); p.frame(0); p.in_range(1028, 1, 2); p.in_range(0x01, 1)    # CRC low byte
    p.op("DamagedFrame"); p.frame(0); p.in_range(2, 1, 2); p.in_range(0x80, 1)       # complement
    p.op("GoodFrame"); p.frame(2)                      # a block skipped: wrong number
    p.op("EndOrCancel"); p.number(0); p.number(0x10); p.number(2)  # 18 n FF-n
    write(t, "reject_damage_cancel", p.data())

    p = Provider()
    p.op("PartFrame"); p.frame(0); p.in_range(500, 1, 2)
    p.op("Expire")
    p.op("EndOrCancel"); p.number(1); p.number(1)      # lone 04
    p.op("Expire")
    p.op("EndOrCancel"); p.number(1); p.number(3)      # 18 18
    p.op("Raw"); p.bytes_(b"\x04\x04\x05\xfa\x18\x02")
    p.op("Expire")
    p.op("Reset")
    p.op("GoodFrame"); p.frame(3)
    write(t, "partial_lone_end_reset", p.data())


# unit_pattern_fuzz: pattern length (1 byte), pattern, console.
def unit_seeds():
    t = "unit_pattern_fuzz"

    def unit(name, pattern, console):
        write(t, name, bytes([len(pattern)]) + pattern + console)

    unit("serial_line", rb"serial: (\S+)", b"boot\r\nBoard serial: SN-0042\r\n" + MENU + b"\r\n")
    unit("long_line", rb"[\s\S]*serial: (\S+)", b"serial: " + b"7" * 1500 + b"\nserial: 12\n")
    unit("nested", rb"(a+)+b", b"a" * 40 + b"\n" + b"a" * 1100 + b"b\n")
    unit("literal", b"SN-1", b"xSN\r-1\nSN-1")
    unit("counted", rb"(x{40}){40}|(\d{3}-\d+)", b"id 123-45\n")
    unit("refused", rb"(a)\1", b"aa\n")


# station_commands_fuzz: mode (bit 0 keys, bit 1 a pause after every read),
# read size, then what stdin sends.
def command_seeds():
    t = "station_commands_fuzz"

    def commands(name, mode, data, read_size=3):
        write(t, name, bytes([mode, read_size - 1]) + data)

    commands("lines", 0, b"start 1\nstart all\r\nstop 12\n  quit  \nstart 123456\nflash it\n\n")
    commands("line_with_escapes", 0, b"flash \x1b[2J\x07 now\nstart\x001\n")
    commands("line_over_the_cap", 0, b"start 1 " + b"x" * 4100 + b"\nstop 2\n", read_size=64)
    # Delete, PageUp, Home, F5, an arrow, the Linux console's F1, Alt-1, NUL.
    commands("escape_keys", 1, b"\x1b[3~\x1b[5~\x1b[1~\x1b[15~\x1bOA\x1b[[A\x1b1\x002")
    commands("stop_and_quit", 1, b"s\x1bs3qxqq\r")
    commands("lone_esc_cancels", 3, b"s\x1b1q\x1bq", read_size=1)


def main():
    console_seeds()
    image_seeds()
    receiver_seeds()
    command_seeds()
    unit_seeds()
    total = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(CORPUS) for f in fs)
    print(f"seeds written to {CORPUS}: {total} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
