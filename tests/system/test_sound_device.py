"""Guards against a wrong /dev/dsp set-up (mode, format, rate, fragments), stray output, and a shut-down that does not drain and close the device."""
import re
import time

import kvaudio
import kvtest

O_RDWR, AFMT_S16_LE, DSP_CAP_DUPLEX, FRAGMENT_REQUEST = 2, 0x10, 0x100, 0x4000C
PACKETS, SAMPLES_PER_PACKET, TONE_HZ = 8, 488, 400.0
FRAGMENT_LINE = re.compile(r"^4 fragments 4kb buffer not supported: ([0-9a-f]+)$")
SETUP = [("SETDUPLEX", None), ("GETCAPS", None), ("SETFRAGMENT", FRAGMENT_REQUEST),
         ("STEREO", 0), ("SETFMT", AFMT_S16_LE), ("SPEED", 8000)]


def test_setup_and_draining_shutdown(run, net2):
    speech, _ = kvaudio.speech_input(run, "speech.raw", "Testing the simulated sound card, one two three.")
    # Without the accessibility bridge: standard error must stay empty.
    copy = run.start("device", net2["a"], sound=True, dsp_in=speech, trace=True, accessibility=False).ready()
    kvtest.poll(lambda: any(f.get("request") == "SPEED" for _, _, f in copy.dsp_trace()), 10,
                "the device set-up in the trace")
    events = copy.dsp_trace()
    opens = [f for _, op, f in events if op == "open"]
    assert len(opens) == 1 and opens[0]["flags"] == O_RDWR and opens[0]["result"] >= 0, events
    fd = opens[0]["result"]
    setup = [f for _, op, f in events if op == "ioctl"][:len(SETUP)]
    assert [(i["request"], i["fd"], i["result"]) for i in setup] == [(n, fd, 0) for n, _ in SETUP]
    assert all(sent is None or i["in"] == sent for (_, sent), i in zip(SETUP, setup)), setup
    got = {i["request"]: i.get("out") for i in setup}
    assert got["GETCAPS"] & DSP_CAP_DUPLEX and got["STEREO"] == 0 and got["SETFMT"] == AFMT_S16_LE
    assert 7950 <= got["SPEED"] <= 8050
    assert copy.stderr() == "" and kvtest.read_s16(copy.dsp_out).size == 0

    tone = kvtest.tone(PACKETS * SAMPLES_PER_PACKET / 8000, TONE_HZ)
    ulaw = kvaudio.ulaw_codes(tone)
    run.peer("peer", net2["b"], copy.host.ip, duration=30, sends=[
        (0.1 + 0.061 * i, kvtest.media_packet(ulaw[i * SAMPLES_PER_PACKET:(i + 1) * SAMPLES_PER_PACKET]))
        for i in range(PACKETS)])
    kvtest.poll(lambda: len(copy.device_transfers("write")) >= PACKETS, 10, f"{PACKETS} writes")
    asked = time.monotonic()
    copy.quit(5)  # with the last packets still queued in the device
    assert time.monotonic() - asked < 3.0
    # The automatic answer to the peer is still transmitting: its exit line may come in between.
    lines = copy.stdout_lines()
    assert kvtest.quit_tail_ok(lines, (kvtest.RECEIVER_EXITED, kvtest.SENDER_EXITED)), lines
    expected_other = {f"Receiving from host {net2['b'].ip}", f"Sending to host {net2['b'].ip}",
                      "Quit audio receiving", "Main process exited", kvtest.RECEIVER_EXITED,
                      kvtest.SENDER_EXITED}
    setup_lines = [line for line in lines if line not in expected_other]
    if got["SETFRAGMENT"] == FRAGMENT_REQUEST:
        assert setup_lines == []
    else:  # only the fragment line, with the value the driver gave back
        assert len(setup_lines) == 1 and int(FRAGMENT_LINE.match(setup_lines[0]).group(1), 16) == got["SETFRAGMENT"]
    assert copy.stderr() == ""

    events = copy.dsp_trace()
    ops = [(i, op, f) for i, (_, op, f) in enumerate(events)
           if op in ("ioctl", "read", "write", "close") and f.get("fd") == fd]
    writes = [x for x in ops if x[1] == "write"]
    assert [(f["count"], f["result"]) for _, _, f in writes] == [(2 * SAMPLES_PER_PACKET,) * 2] * PACKETS
    syncs = [x for x in ops if x[1] == "ioctl" and x[2]["request"] == "SYNC"]
    closes = [x for x in ops if x[1] == "close"]
    # Drained after the last write, then closed by the program itself, once; nothing after.
    assert syncs and syncs[-1][2]["result"] == 0 and syncs[-1][0] > writes[-1][0], events
    assert [(x[2]["result"], x[0] > syncs[-1][0]) for x in closes] == [(0, True)], events
    assert ops[-1][0] == closes[0][0], events

    played = kvtest.read_s16(copy.dsp_out)
    assert played.size * 2 == sum(f["result"] for _, _, f in writes)
    kvaudio.assert_same(played, kvaudio.U2S[ulaw], "the u-law levels of the packets")
