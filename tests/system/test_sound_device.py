#!/usr/bin/python3
"""The sound device on the simulated sound card (OSS through libaoss, ALSA file devices paced by a
JACK dummy clock), observed by a trace library preloaded in front of libaoss:
- set-up opens /dev/dsp read-write and asks for full duplex, 4 fragments of 4096 bytes, mono,
  signed 16-bit little-endian samples and 8000 Hz, every request succeeding; standard error stays
  empty and standard output shows at most the fragment line, with the value the driver gave back;
- with received audio still queued in the device (uncompressed packets of a 400 Hz tone sent by a
  scripted peer in a second namespace), shut-down (Ctrl+Q) drains the device (SNDCTL_DSP_SYNC
  succeeds after the last write) and then closes it itself, promptly and with status 0; nothing
  touches the device after the close; the playback file holds exactly the bytes written, and they
  are the tone that was sent.
(libaoss's own close also plays out what is queued, so the trace, not the file size, is what shows
that the program drains.)
"""
import os
import re
import sys
import time

import numpy as np

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
from kvtest import check, note  # noqa: E402

O_RDWR = 2
AFMT_S16_LE = 0x10
DSP_CAP_DUPLEX = 0x100
FRAGMENT_REQUEST = 0x4000C
PACKETS = 8            # uncompressed packets the peer sends, 488 samples (61 ms) each
SAMPLES_PER_PACKET = 488
TONE_HZ = 400.0
FRAGMENT_LINE = re.compile(r"^4 fragments 4kb buffer not supported: ([0-9a-f]+)$")

# The set-up requests in the order they are made, with the value sent (None: no value).
SETUP = [("SETDUPLEX", None), ("GETCAPS", None), ("SETFRAGMENT", FRAGMENT_REQUEST),
         ("STEREO", 0), ("SETFMT", AFMT_S16_LE), ("SPEED", 8000)]


def describe(events):
    return "\n".join(f"      {t:.3f} {op} {fields}" for t, op, fields in events)


def check_setup(copy, events):
    opens = [e for e in events if e[1] == "open"]
    check(len(opens) == 1, "/dev/dsp is opened once", describe(events))
    fields = opens[0][2]
    check(fields["flags"] == O_RDWR and fields["result"] >= 0,
          "/dev/dsp opens read-write and the open succeeds", str(fields))
    fd = fields["result"]
    ioctls = [e[2] for e in events if e[1] == "ioctl"]
    setup = ioctls[:len(SETUP)]
    check([i["request"] for i in setup] == [name for name, _ in SETUP],
          "set-up asks for duplex, capabilities, fragments, mono, format and rate, in that order",
          describe(events))
    for (name, sent), request in zip(SETUP, setup):
        check(request["fd"] == fd and request["result"] == 0 and (sent is None or request["in"] == sent),
              f"{name}" + (f" with {sent:#x}" if sent is not None else "") + " succeeds on the device",
              str(request))
    by_name = {i["request"]: i for i in setup}
    check(by_name["GETCAPS"]["out"] & DSP_CAP_DUPLEX, "the simulated card offers full duplex")
    check(by_name["STEREO"]["out"] == 0 and by_name["SETFMT"]["out"] == AFMT_S16_LE
          and 7950 <= by_name["SPEED"]["out"] <= 8050,
          f"the driver gave mono, S16_LE and {by_name['SPEED']['out']} Hz")
    return fd, by_name["SETFRAGMENT"]["out"]


def check_output(copy, fragment, peer_ip):
    """Checked after the program ended, when all its buffered output is in the files: standard
    error is empty; standard output holds, besides the lines of the answered call and of
    shut-down, at most the fragment line, carrying the value the driver gave back."""
    check(copy.stderr() == "", "standard error stayed empty from set-up to exit", repr(copy.stderr()))
    expected_other = {f"Receiving from host {peer_ip}", f"Sending to host {peer_ip}",
                      "Quit audio receiving", "Main process exited", kvtest.RECEIVER_EXITED,
                      kvtest.SENDER_EXITED}
    lines = copy.stdout_lines()
    setup_lines = [line for line in lines if line not in expected_other]
    if fragment == FRAGMENT_REQUEST:
        check(setup_lines == [], "set-up printed nothing on standard output (the driver kept 0x4000c)",
              repr(lines))
    else:
        match = FRAGMENT_LINE.match(setup_lines[0]) if len(setup_lines) == 1 else None
        check(match is not None and int(match.group(1), 16) == fragment,
              f"set-up printed only the fragment line, with the driver's {fragment:#x}", repr(lines))


def dominant_frequency(samples, rate=8000):
    x = np.asarray(samples, dtype=np.float64)
    spectrum = np.abs(np.fft.rfft(x * np.hanning(x.size)))
    return float(np.argmax(spectrum[1:]) + 1) * rate / x.size


def test(run):
    net = run.network("a", "b")
    if os.path.exists("/dev/dsp"):
        note("this machine has /dev/dsp; libaoss still takes the device's place for the test")
    speech = os.path.join(run.workdir, "speech.raw")
    samples = kvtest.speech("Testing the simulated sound card, one two three.", speech)
    note(f"capture input: {len(samples) / 8000:.1f} s of speech")

    copy = run.start("device", net["a"], sound=True, dsp_in=speech, trace=True)
    wid = copy.wait_window()
    copy.wait_bound()
    # Set-up is finished once the rate was asked for; the receiving thread starts after it.
    kvtest.poll(lambda: any(f.get("request") == "SPEED" for _, op, f in copy.dsp_trace()), 10,
                "the device set-up in the trace")
    fd, fragment = check_setup(copy, copy.dsp_trace())
    check(copy.stderr() == "", "standard error is empty after set-up", repr(copy.stderr()))
    check(os.path.exists(copy.dsp_out) and os.path.getsize(copy.dsp_out) == 0,
          "the device's playback file exists and nothing was played while idle")

    note(f"a peer in namespace b sends {PACKETS} uncompressed packets of a {TONE_HZ:g} Hz tone")
    tone = kvtest.tone(PACKETS * SAMPLES_PER_PACKET / 8000, TONE_HZ, amplitude=8000)
    ulaw = kvtest.g711_ulaw(tone)
    sends = [(0.1 + 0.061 * i, kvtest.media_packet(ulaw[i * SAMPLES_PER_PACKET:(i + 1) * SAMPLES_PER_PACKET]))
             for i in range(PACKETS)]
    # The peer binds 2047 so that the automatic answer to it is received, not refused.
    run.peer("peer", net["b"], copy.host.ip, sends, duration=30)

    def writes():
        return [f for _, op, f in copy.dsp_trace() if op == "write" and f.get("fd") == fd]

    kvtest.poll(lambda: len(writes()) >= PACKETS, 10, f"{PACKETS} writes to the device")
    note("Ctrl+Q at once, with the last packets still queued in the device")
    asked = time.monotonic()
    copy.key(wid, "ctrl+q")
    rc = copy.wait_exit(5)
    took = time.monotonic() - asked
    check(rc == 0, f"the program ends with status 0, {took:.2f} s after Ctrl+Q", f"status {rc}")
    check(took < 3.0, "it ends promptly (under 3 s)")
    # The automatic answer to the peer is still transmitting: its exit line may come in between.
    racing = (kvtest.RECEIVER_EXITED, kvtest.SENDER_EXITED)
    check(kvtest.quit_tail_ok(copy.stdout_lines(), racing),
          "standard output ends with \"Quit audio receiving\", \"Main process exited\"",
          repr(copy.stdout_lines()[-4:]))
    check_output(copy, fragment, net["b"].ip)

    events = copy.dsp_trace()
    device_ops = [(i, op, f) for i, (_, op, f) in enumerate(events)
                  if op in ("ioctl", "read", "write", "close") and f.get("fd") == fd]
    written_ops = [x for x in device_ops if x[1] == "write"]
    check(len(written_ops) == PACKETS and all(x[2]["count"] == 2 * SAMPLES_PER_PACKET
                                              and x[2]["result"] == 2 * SAMPLES_PER_PACKET
                                              for x in written_ops),
          f"each received packet went to the device as one write of {2 * SAMPLES_PER_PACKET} bytes",
          describe([events[x[0]] for x in written_ops]))
    syncs = [x for x in device_ops if x[1] == "ioctl" and x[2]["request"] == "SYNC"]
    closes = [x for x in device_ops if x[1] == "close"]
    check(len(syncs) >= 1 and syncs[-1][2]["result"] == 0 and syncs[-1][0] > written_ops[-1][0],
          f"shut-down drains the device after the last write (SYNC succeeds, blocked "
          f"{syncs[-1][2].get('took', 0) if syncs else 0} ms)", describe(events))
    # The trace sees only the program's own close calls, not the kernel's at process end.
    check(len(closes) == 1 and closes[0][2]["result"] == 0 and closes[0][0] > syncs[-1][0],
          "then closes it itself, once, successfully", describe(events))
    check(device_ops[-1][0] == closes[0][0], "nothing uses the device after it was closed",
          describe(events))

    written = sum(x[2]["result"] for x in written_ops)
    played = kvtest.read_s16(copy.dsp_out)
    check(played.size * 2 == written, f"the playback file holds exactly the {written} bytes written",
          f"file has {played.size * 2} bytes")
    freq = dominant_frequency(played)
    level = kvtest.rms(played)
    check(abs(freq - TONE_HZ) < 20 and 0.5 < level / kvtest.rms(tone) < 2,
          f"what was played is the tone that was sent ({freq:.0f} Hz, rms {level:.0f} "
          f"against {kvtest.rms(tone):.0f})")


if __name__ == "__main__":
    kvtest.main(test, time_limit=100)
