"""Guards against a call over ALSA that stops on an underrun or overrun, reports them more than once, or loses, alters or restarts the codec state across a codec change."""
import json
import time

import kvaudio
import kvtest

# About 25 s each, longer than the session: past its end only silence would be compared.
SPEECH_A = ("This is host A speaking over the advanced Linux sound architecture. The quick brown fox jumps "
            "over the lazy dog. Pack my box with five dozen liquor jugs. ") * 3
SPEECH_B = ("Host B answers by itself. Peter Piper picked a peck of pickled peppers. She sells sea shells "
            "by the sea shore. Six slippery snails slid slowly seaward. ") * 3


def sending_count(copy, peer):
    return copy.stdout_lines().count(f"Sending to host {peer.host.ip}")


def call(copy, peer):
    """copy calls peer through "/Connect/New" and waits until its transmission started."""
    before = sending_count(copy, peer)
    copy.new_connection(peer.host.ip)
    kvtest.poll(lambda: sending_count(copy, peer) > before, 10, f"{copy.name} to send to {peer.name}")


def packet_rates(run, copies, seconds):
    """Packets per second each copy sends on its link over the next `seconds`."""
    def sent(c):
        out = kvtest.run_quiet(["ip", "-j", "-s", "-n", c.host.ns, "link", "show", "dev", run.prefix + "v" + c.host.name])
        return json.loads(out.stdout)[0]["stats64"]["tx"]["packets"]
    start = [sent(c) for c in copies]
    time.sleep(seconds)
    return [(sent(c) - s) / seconds for c, s in zip(copies, start)]


def test_alsa_call(run, net2):
    (path_a, input_a), (path_b, input_b) = (kvaudio.speech_input(run, "a_in.raw", SPEECH_A),
                                            kvaudio.speech_input(run, "b_in.raw", SPEECH_B, "en-gb"))
    a = run.start("A", net2["a"], sound=True, dsp_in=path_a, alsa=True)
    b = run.start("B", net2["b"], sound=True, dsp_in=path_b, alsa=True)
    for copy in (a.ready(), b.ready()):
        kvaudio.check_alsa_startup(copy)

    started = time.monotonic()
    call(a, b)
    b.wait_output(f"Receiving from host {a.host.ip}")
    kvtest.poll(lambda: sending_count(b, a) == 1, 10, "B to answer")
    assert all(1.5 < r < 4 for r in packet_rates(run, (a, b), 4)), "GSM: one packet per 400 ms"

    # A mutes for 2.5 s: B's playback runs dry, A's capture is not read past its buffer.
    a.mute()
    a_sent = time.monotonic() - started
    time.sleep(2.5)
    assert b.stdout_lines().count(kvtest.SENDER_EXITED) == 0 and a.alive() and b.alive()
    resumed = time.monotonic()
    call(a, b)
    time.sleep(3.5)
    assert b.stdout_lines().count(kvtest.SENDER_EXITED) == 0, "B ran on through the underrun"
    assert a.stdout_lines().count(kvtest.SENDER_EXITED) == 1, "A resumed after the overrun"

    b.mute()
    a.mute()
    a_sent += time.monotonic() - resumed
    for copy in (a, b):
        copy.choose_codec("LD-GSM")
    resumed = time.monotonic()
    call(a, b)
    call(b, a)
    assert all(35 < r < 60 for r in packet_rates(run, (a, b), 3.5)), "LD-GSM: one packet per 20 ms"
    a_sent += time.monotonic() - resumed
    for copy in (a, b):
        copy.quit()

    kvaudio.check_alsa_reports(a, overrun_certain=True)
    kvaudio.check_alsa_reports(b, underrun_certain=True)
    # Whole session, GSM then LD-GSM: exactly the LD-GSM pipeline on the other side's input from
    # its start (no gap in capture, nothing lost, GSM states carried over).
    for receiver, source in ((b, input_a), (a, input_b)):
        played = kvtest.read_s16(receiver.dsp_out)
        assert played.size <= source.size, "past the end of the input only silence would be compared"
        kvaudio.assert_same(played, run.kvcodec("ldgsm", kvaudio.segment(source, 0, played.size)), receiver.name)
    assert kvtest.read_s16(b.dsp_out).size / 8000 > 0.6 * a_sent
