#!/usr/bin/python3
"""Load figures, run by hand: /usr/bin/python3 tests/system/load_engine.py --binary build/kestrelvox
--build-dir build --source-dir . [--calls 300] [--datagrams 1000000]. Calls in a row between copies
A and B (VmSize and threads must stay flat), then a hostile flood to B during a call from A, whose
speech carries a marker: B must be back to A's current speech within 1.5 s of the flood's end."""
import os
import random
import socket
import struct
import sys
import time

import numpy as np

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
from kvtest import check, note  # noqa: E402
from test_engine_commands import ENDED  # noqa: E402

COUNT = {"calls": 300, "datagrams": 1000000}


def status(copy):
    with open(f"/proc/{copy.pid}/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return {k: int(fields[k].split()[0]) for k in ("VmSize", "VmRSS", "Threads")}


def calls_in_a_row(a, b, n):
    note(f"{n} calls in a row, alternately from A and from B")
    figures = []
    for i in range(n):
        if i in (0, n // 2):
            figures.append((i, status(a), status(b)))
        caller, callee = (a, b) if i % 2 == 0 else (b, a)
        ended, line = caller.stdout_lines().count(ENDED), "Sending to host " + callee.host.ip
        caller.new_connection(callee.host.ip)
        kvtest.poll(lambda: caller.stdout_lines().count(line) > i // 2, 10, f"call {i}")
        caller.act(kvtest.TITLE, "Audio", "Mute")
        kvtest.poll(lambda: caller.stdout_lines().count(ENDED) > ended, 10, f"the end of call {i}")
    time.sleep(1)
    figures.append((n, status(a), status(b)))
    for i, sa, sb in figures:
        print(f"  after {i:3d} calls: A {sa}, B {sb}", flush=True)
    (_, a1, b1), (_, a2, b2) = figures[1:]
    check(all(y["VmSize"] <= x["VmSize"] + 1024 and y["Threads"] <= x["Threads"]
              for x, y in ((a1, a2), (b1, b2))),
          "the second half of the calls leaves VmSize (within 1 MiB) and the thread counts flat")


def flood_sender(target, count, out):
    rnd = random.Random(2047)
    frame = bytes([0xD0]) + bytes(32)
    kinds = [rnd.randbytes(n) for n in range(24)]  # shorter than the header
    kinds += [struct.pack(">16xIi", 0x20, n) + bytes(40) for n in (-1, -6400, 6401, 1 << 30, 100)]
    kinds += [struct.pack(">16xII", 1 << bit, 35) + b"\x00\xa0" + frame for bit in range(32)]
    kinds += [b"QuitAudioProcess!\x00", b"QuitAudioProcess!\x00" + bytes(100)]
    kinds += [rnd.randbytes(rnd.randrange(24, 1400)) for _ in range(20)]
    kinds += [struct.pack(">16xII", 0x20, 662) + b"\x0c\x80" + frame * 20] * 40  # 400 ms each
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    start, sent = time.monotonic(), 0
    while sent < count:
        for d in kinds:
            try:
                sock.sendto(d, (target, kvtest.PORT))
            except OSError:
                pass
        sent += len(kinds)
    with open(out, "w") as f:
        f.write(f"{sent} {time.monotonic() - start}\n")


def segment_at(samples, at):
    """A's speech marker: which 0.5 s segment (tone of 300 + 25 k Hz) sounds at sample `at`."""
    spectrum = np.abs(np.fft.rfft(samples[at:at + 320]))
    peak = int(np.argmax(spectrum))  # 25 Hz per bin; 300 Hz is bin 12
    clear = spectrum[peak] > 10 * np.median(spectrum) and 12 <= peak < 112
    return peak - 12 if clear else None


def flood(run, net, a, b, n):
    note(f"A calls B, then {n} hostile datagrams to B at full rate")
    a.new_connection(b.host.ip)
    a.wait_output("Sending to host " + b.host.ip)
    time.sleep(3)
    # Where B's playback is in A's marker before the flood, as a reference.
    t0, at0 = time.monotonic(), os.path.getsize(b.dsp_out) // 2
    before, out = status(b), os.path.join(run.workdir, "flood.txt")
    proc = kvtest.Proc(run, net["s"].exec_cmd(sys.executable, os.path.abspath(__file__), "--flood",
                                              b.host.ip, str(n), out),
                       stdout=out + ".out", stderr=out + ".err")
    check(proc.wait(600) == 0, "the flood ran")
    took_wall = time.monotonic() - t0
    sent, took = open(out).read().split()
    print(f"  sent {sent} datagrams in {float(took):.1f} s: {int(sent) / float(took):.0f}/s", flush=True)
    after = status(b)
    check(b.alive() and after["VmRSS"] - before["VmRSS"] <= 1024,
          f"B runs on; RSS {before['VmRSS']} -> {after['VmRSS']} kB")
    time.sleep(4)
    # B's device writes are paced by the card, so its output file runs in real time while the
    # call lasts: find where the flood's sound starts and where A's marker comes back.
    heard = kvtest.read_s16(b.dsp_out)
    marks = [(at, segment_at(heard, at)) for at in range(at0, len(heard) - 320, 400)]
    # The flood's sound: the first 0.2 s without the marker (a segment boundary is shorter).
    noise = next((at for i, (at, k) in enumerate(marks)
                  if all(m is None for _, m in marks[i:i + 4]) and len(marks) > i + 4), None)
    back = next(((at, k) for i, (at, k) in enumerate(marks) if noise is not None and at > noise
                 and None not in [m for _, m in marks[i:i + 4]] and len(marks) > i + 4), None)
    check(noise is not None and back is not None, "B plays the flood's sound, then A's marker again")
    old = (back[0] - noise) / 8000 - took_wall
    behind = (back[0] - at0) / 8000 - 0.5 * ((back[1] - marks[0][1]) % 100)
    check(old <= 1.5 and behind <= 1.5,
          f"B is back to A's speech {old:.2f} s after the flood's end, {behind:+.2f} s further behind "
          f"A than before the flood (marker segments of 0.5 s)")


def test(run):
    net = run.network("a", "b", "s")
    # A's speech marker: 0.5 s tones of 300, 325, ... 2775 Hz, over and over.
    t = np.arange(4000) / 8000
    marker = np.concatenate([9000 * np.sin(2 * np.pi * (300 + 25 * k) * t) for k in range(100)])
    a, b = run.start_pair(input_a=np.tile(marker, 20).astype(np.int16), net=net, accessibility=True)
    if COUNT["calls"]:
        calls_in_a_row(a, b, COUNT["calls"])
    flood(run, net, a, b, COUNT["datagrams"])
    for copy in (a, b):
        copy.key(copy.window, "ctrl+q")
        check(copy.wait_exit(15) == 0, f"{copy.name} quits")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--flood"]:
        sys.exit(flood_sender(sys.argv[2], int(sys.argv[3]), sys.argv[4]))
    for name in COUNT:
        if "--" + name in sys.argv:
            i = sys.argv.index("--" + name)
            COUNT[name] = int(sys.argv.pop(i + 1))
            sys.argv.pop(i)
    kvtest.main(test, time_limit=3600)
