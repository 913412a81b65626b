#!/usr/bin/python3
"""Load figures for the engine, run by hand (they take minutes, so CI does not run them):

  /usr/bin/python3 tests/system/load_engine.py --binary build/kestrelvox --build-dir build \
      --source-dir . [--calls 300] [--datagrams 1000000]

1. Calls in a row between two copies A (10.47.0.1) and B (10.47.0.2), each placed through
   "New Connection" and ended with Mute, alternately from A and from B; VmSize and the thread
   count of both are printed at the start, halfway and at the end, and must not grow.
2. A hostile flood from a third host (10.47.0.3) to B's port 2047 at full rate: every bad
   length, every codec bit, payload lengths that lie, quit look-alikes, random bytes, and valid
   GSM packets. B must keep running with its RSS within 1 MiB of its start; the rate is printed.
   Right after the flood A calls B with a tone: B must play the tone within 1.5 s of the
   flood's end (no queue of old packets before it), and play A's call on.
"""
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

COUNT = {"calls": 300, "datagrams": 1000000}
ENDED = "Audio transmission process exited gracefully"


def status(copy):
    with open(f"/proc/{copy.pid}/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return {k: int(fields[k].split()[0]) for k in ("VmSize", "VmRSS", "Threads")}


def mute(copy):
    copy.act(kvtest.TITLE, "Audio", "Mute")


def calls_in_a_row(a, b, n):
    note(f"{n} calls in a row, alternately from A and from B")
    figures = []
    for i in range(n):
        if i in (0, n // 2):
            figures.append((i, status(a), status(b)))
        caller, callee = (a, b) if i % 2 == 0 else (b, a)
        ended = caller.stdout_lines().count(ENDED)
        caller.new_connection(callee.host.ip)
        kvtest.poll(lambda: caller.stdout_lines().count("Sending to host " + callee.host.ip) > i // 2,
                    10, f"call {i}")
        mute(caller)
        kvtest.poll(lambda: caller.stdout_lines().count(ENDED) > ended, 10, f"the end of call {i}")
    time.sleep(1)
    figures.append((n, status(a), status(b)))
    for i, sa, sb in figures:
        print(f"  after {i:3d} calls: A VmSize {sa['VmSize']} kB, threads {sa['Threads']}; "
              f"B VmSize {sb['VmSize']} kB, threads {sb['Threads']}", flush=True)
    (_, a1, b1), (_, a2, b2) = figures[1], figures[-1]
    check(a2["VmSize"] <= a1["VmSize"] + 1024 and b2["VmSize"] <= b1["VmSize"] + 1024
          and a2["Threads"] <= a1["Threads"] and b2["Threads"] <= b1["Threads"],
          "the second half of the calls leaves VmSize (within 1 MiB) and the thread count of both flat")


def hostile_datagrams():
    rnd = random.Random(2047)
    gsm_frame = bytes([0xD0]) + bytes(32)
    kinds = []
    for n in range(0, 24):  # shorter than the header
        kinds.append(bytes(rnd.getrandbits(8) for _ in range(n)))
    for length in (-1, -6400, 6401, 1 << 30, 100, 5000):  # payload lengths that lie
        kinds.append(struct.pack(">16xIi", 0x20, length) + bytes(40))
    for bit in range(32):  # every codec bit, on a GSM-shaped payload
        kinds.append(struct.pack(">16xII", 1 << bit, 2 + 33) + b"\x00\xa0" + gsm_frame)
    kinds.append(b"QuitAudioProcess!\x00")  # not from B itself: no effect
    kinds.append(b"QuitAudioProcess!\x00" + bytes(100))
    for _ in range(20):
        kinds.append(bytes(rnd.getrandbits(8) for _ in range(rnd.randrange(24, 1400))))
    # Valid GSM packets of 3200 samples (400 ms each): what would queue up as old speech.
    kinds += [struct.pack(">16xII", 0x20, 662) + b"\x0c\x80" + gsm_frame * 20] * 40
    return kinds


def flood_sender(target, count, out):
    kinds = hostile_datagrams()
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
    sent = 0
    start = time.monotonic()
    while sent < count:
        for d in kinds:
            try:
                sock.sendto(d, (target, kvtest.PORT))
            except OSError:
                pass
            sent += 1
        if sent >= count:
            break
    took = time.monotonic() - start
    with open(out, "w") as f:
        f.write(f"{sent} {took}\n")


def flood(run, net, a, b, n):
    note(f"{n} hostile datagrams to B at full rate, then a call from A with a tone")
    before = status(b)
    out = os.path.join(run.workdir, "flood.txt")
    proc = kvtest.Proc(run, net["s"].exec_cmd(sys.executable, os.path.abspath(__file__), "--flood",
                                              b.host.ip, str(n), out),
                       stdout=os.path.join(run.workdir, "flood.out"),
                       stderr=os.path.join(run.workdir, "flood.err"))
    check(proc.wait(600) == 0, "the flood ran")
    flood_end = time.monotonic()
    played_at_end = os.path.getsize(b.dsp_out) // 2
    sent, took = open(out).read().split()
    print(f"  sent {sent} datagrams in {float(took):.1f} s: {int(sent) / float(took):.0f} datagrams/s",
          flush=True)
    after = status(b)
    check(b.alive() and after["VmRSS"] - before["VmRSS"] <= 1024,
          f"B runs on; RSS {before['VmRSS']} -> {after['VmRSS']} kB")
    calls = a.stdout_lines().count("Sending to host " + b.host.ip)
    a.new_connection(b.host.ip)
    kvtest.poll(lambda: a.stdout_lines().count("Sending to host " + b.host.ip) > calls, 10, "A's call")
    call_at = time.monotonic() - flood_end
    time.sleep(5)
    heard = kvtest.read_s16(b.dsp_out)[played_at_end:]
    # The tone: 1 kHz and loud; the first 20 ms window where it stands out.
    windows = heard[: len(heard) // 160 * 160].reshape(-1, 160).astype(float)
    spectrum = np.abs(np.fft.rfft(windows, axis=1))
    tone_bin = 1000 * 160 // 8000
    found = np.nonzero(spectrum[:, tone_bin] > 10 * (np.median(spectrum, axis=1) + 1))[0]
    check(found.size > 0, "B plays A's tone after the flood")
    tone_at = found[0] * 0.02
    check(tone_at - call_at <= 1.5,
          f"B plays A's speech {tone_at:.2f} s after the flood's end, {tone_at - call_at:.2f} s after "
          f"A's call started ({call_at:.2f} s after the flood): no old packets before it")


def test(run):
    net = run.network("a", "b", "s")
    tone = kvtest.tone(600, freq=1000.0, amplitude=12000)
    a, b = run.start_pair(input_a=tone, net=net, accessibility=True)
    calls_in_a_row(a, b, COUNT["calls"])
    flood(run, net, a, b, COUNT["datagrams"])
    for copy in (a, b):
        copy.key(copy.window, "ctrl+q")
        check(copy.wait_exit(15) == 0, f"{copy.name} quits")


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--flood":
        flood_sender(sys.argv[2], int(sys.argv[3]), sys.argv[4])
        sys.exit(0)
    for name in COUNT:
        flag = "--" + name
        if flag in sys.argv:
            i = sys.argv.index(flag)
            COUNT[name] = int(sys.argv[i + 1])
            del sys.argv[i:i + 2]
    kvtest.main(test)
