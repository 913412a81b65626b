#!/usr/bin/python3
"""A call over the ALSA backend alone: two copies in two namespaces without libaoss, so /dev/dsp
does not open and each finds the simulated sound card (an asymmetric ALSA file device paced by a
JACK dummy clock) as ALSA's default device:
- standard error says "open /dev/dsp: No such file or directory" and standard output says once
  that ALSA's default device is used;
- A calls B with GSM and B answers by itself; A mutes for 2.5 s, so B's playback runs dry (an
  underrun) and A's capture is not read for longer than its one-second buffer (an overrun), then
  A calls again; both sides mute, both choose LD-GSM, and each calls the other;
- the call survives both events: B's transmission never stops until B mutes, A's resumes, and each
  event is reported at most once on standard error (the certain ones exactly once), with nothing
  else there but the line about /dev/dsp;
- what each side's device received over the whole session, GSM and LD-GSM, is exactly what the
  program's own LD-GSM pipeline (tools/kvcodec) makes of the other side's capture input: the
  capture input is read without gaps, nothing is lost, and the GSM states carry over from the
  GSM part of the call to the LD-GSM part.
"""
import json
import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import test_voice_file as vf  # noqa: E402
from kvtest import check, note  # noqa: E402

NO_DSP = vf.NO_DSP


def new_connection(copy, address):
    copy.key(copy.window, "ctrl+n")
    box = copy.wait_window("New Connection")
    copy.type_text(box, address)
    copy.key(box, "Return")


def sending_count(copy, peer):
    return copy.stdout_lines().count(f"Sending to host {peer.host.ip}")


def call(copy, peer):
    """copy calls peer through "/Connect/New" and waits until its transmission started."""
    before = sending_count(copy, peer)
    new_connection(copy, peer.host.ip)
    kvtest.poll(lambda: sending_count(copy, peer) > before, 10,
                f"{copy.name} to start sending to {peer.name}")


def mute(copy):
    before = copy.stdout_lines().count(kvtest.SENDER_EXITED)
    copy.act(kvtest.TITLE, "Audio", "Mute")
    kvtest.poll(lambda: copy.stdout_lines().count(kvtest.SENDER_EXITED) > before, 10,
                f"{copy.name}'s transmission to end after Mute")


def sent_packets(run, copy):
    """Packets sent so far on the copy's link to the other namespace."""
    dev = run.prefix + "v" + copy.host.name
    out = kvtest.run_quiet(["ip", "-j", "-s", "-n", copy.host.ns, "link", "show", "dev", dev])
    return json.loads(out.stdout)[0]["stats64"]["tx"]["packets"]


class PacketRate:
    """Packets per second each copy sends during one phase of the call."""

    def __init__(self, run, copies):
        self.run, self.copies = run, copies
        self.start = {c.name: sent_packets(run, c) for c in copies}
        self.started = time.monotonic()

    def rates(self):
        took = time.monotonic() - self.started
        return {c.name: (sent_packets(self.run, c) - self.start[c.name]) / took
                for c in self.copies}


def check_received(run, receiver, sender_input, sender):
    played = kvtest.read_s16(receiver.dsp_out)
    seconds = played.size / 8000
    # Past the end of the input only silence would be compared.
    check(played.size <= sender_input.size,
          f"{receiver.name} played {seconds:.1f} s from {sender.name}, within "
          f"{sender.name}'s {sender_input.size / 8000:.1f} s of speech")
    expected = vf.kvcodec(run, "ldgsm", vf.segment(sender_input, 0, played.size))
    vf.compare_played(played, expected,
                      f"{receiver.name} from {sender.name}, against the LD-GSM pipeline on "
                      f"{sender.name}'s input from its start")
    return seconds


def test(run):
    net = run.network("a", "b")
    path_a, input_a = vf.speech_input(
        run, "a_in.raw", "This is host A speaking over the advanced Linux sound architecture. "
        "The quick brown fox jumps over the lazy dog. Now a short pause, and then more speech. "
        "Pack my box with five dozen liquor jugs. How vexingly quick daft zebras jump. "
        "The five boxing wizards jump quickly, and a wizard's job is to vex chumps quickly in "
        "fog. Sphinx of black quartz, judge my vow. That is the end of what host A has to say.")
    path_b, input_b = vf.speech_input(
        run, "b_in.raw", "Host B answers by itself. Peter Piper picked a peck of pickled peppers. "
        "She sells sea shells by the sea shore, and the shells she sells are surely sea shells. "
        "Red lorry, yellow lorry, red lorry, yellow lorry. How much wood would a woodchuck "
        "chuck if a woodchuck could chuck wood? Six slippery snails slid slowly seaward. "
        "A proper copper coffee pot. And that is all from host B for today.", voice="en-gb")
    a = run.start("A", net["a"], sound=True, dsp_in=path_a, accessibility=True, alsa=True)
    b = run.start("B", net["b"], sound=True, dsp_in=path_b, accessibility=True, alsa=True)
    for copy in (a, b):
        copy.window = copy.wait_window()
        copy.wait_bound()
    for copy in (a, b):
        copy.wait_output(NO_DSP, timeout=5, stream="stderr")
        lines = [line for line in copy.stdout_lines() if "ALSA" in line]
        check(len(lines) == 1 and "default" in lines[0],
              f"{copy.name}: \"{NO_DSP}\" on standard error, then on standard output: {lines[0]!r}"
              if lines else f"{copy.name}: standard output says ALSA's default device is used",
              repr(copy.stdout_lines()))

    note("A calls B with GSM")
    started = time.monotonic()
    call(a, b)
    b.wait_output(f"Receiving from host {a.host.ip}")
    kvtest.poll(lambda: sending_count(b, a) == 1, 10, "B to answer")
    check(True, "B answers by itself")
    gsm_rate = PacketRate(run, (a, b))
    time.sleep(4)
    rates = gsm_rate.rates()
    check(all(1.5 < r < 4 for r in rates.values()),
          "with GSM each side sends one packet per 400 ms "
          f"({', '.join(f'{n}: {r:.1f}/s' for n, r in rates.items())})")

    note("A mutes for 2.5 s: B's playback runs dry, A's capture is not read")
    mute(a)
    a_sent = time.monotonic() - started
    time.sleep(2.5)
    check(b.stdout_lines().count(kvtest.SENDER_EXITED) == 0 and a.alive() and b.alive(),
          "B keeps sending while A is silent")
    resumed = time.monotonic()
    call(a, b)
    time.sleep(3.5)
    check(b.stdout_lines().count(kvtest.SENDER_EXITED) == 0,
          "B's transmission ran on through the underrun")
    check(a.stdout_lines().count(kvtest.SENDER_EXITED) == 1,
          "A's transmission resumed and runs on after the overrun")

    note("both mute and choose LD-GSM; each calls the other")
    mute(b)
    mute(a)
    a_sent += time.monotonic() - resumed
    for copy in (a, b):
        vf.choose_codec(copy, "ldgsm")
    resumed = time.monotonic()
    call(a, b)
    call(b, a)
    ldgsm_rate = PacketRate(run, (a, b))
    time.sleep(3.5)
    rates = ldgsm_rate.rates()
    check(all(35 < r < 60 for r in rates.values()),
          "with LD-GSM each side sends one packet per 20 ms "
          f"({', '.join(f'{n}: {r:.1f}/s' for n, r in rates.items())})")
    a_sent += time.monotonic() - resumed

    for copy in (a, b):
        copy.key(copy.window, "ctrl+q")
    for copy in (a, b):
        rc = copy.wait_exit(10)
        check(rc == 0, f"{copy.name} quits with status 0", f"status {rc}")

    vf.check_alsa_reports(a, overrun_certain=True, underrun_certain=False)
    vf.check_alsa_reports(b, overrun_certain=False, underrun_certain=True)
    heard_b = check_received(run, b, input_a, a)
    check_received(run, a, input_b, b)
    check(heard_b > 0.6 * a_sent,
          f"B played {heard_b:.1f} s of A's {a_sent:.1f} s of sending (wall clock)")


if __name__ == "__main__":
    kvtest.main(test, time_limit=120)
