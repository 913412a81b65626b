"""Guards against a codec changed during a call, a bad address placing a call, and a Mute that does not end the transmission within one block or cuts the other direction."""
import time

import kvaudio
import kvtest

DIALOG = "Audio Compression Mode"
BUSY = "Audio encoding busy!"
# The device hands captured blocks over about every 256 ms: the block being read when Mute is
# clicked can end this much later than its 400 ms.
DELIVERY_SLACK = 0.3


def open_dialog(copy):
    """Opens the compression dialog; returns (label, checked) of its radio buttons, top to bottom."""
    copy.act(kvtest.TITLE, "Audio", "Compression")
    window = copy.tree(DIALOG)
    return [(r["name"], "checked" in r["states"]) for r in kvtest.find_nodes(window, role="radio button")]


def close_dialog(copy, button="Cancel"):
    copy.act(DIALOG, button)
    copy.window_gone(DIALOG)


def test_controls_and_mute(run):
    speech_a, sent_a = kvaudio.speech_input(run, "a.raw", "Hello, can you hear me? I am calling from the office.")
    speech_b, sent_b = kvaudio.speech_input(run, "b.raw", "Yes, I can hear you well. The weather here is cold and "
                                            "windy today, and it will rain again tomorrow.", "en-gb")
    a, b = run.start_pair(speech_a, speech_b, trace=True)

    modes = ["ADPCM", "GSM", "LD-GSM", "LPC10"]
    assert open_dialog(a) == [(m, m == "GSM") for m in modes]
    close_dialog(a)
    assert not [line for line in a.stdout_lines() if line.startswith("Audio mode:")]
    assert open_dialog(b) == [(m, m == "GSM") for m in modes]
    b.act(DIALOG, "LD-GSM")
    close_dialog(b, "  OK  ")
    assert b.stdout_lines().count("Audio mode: LD-GSM") == 1
    assert open_dialog(b) == [(m, m == "LD-GSM") for m in modes]
    close_dialog(b)

    # An address that is not one: "Error" box, no call, the box stays open for a correction.
    box = a.new_connection("10.47.0.300")
    a.wait_window("Error")
    assert "Not a valid IP address!" in a.labels("Error")
    assert box in a.find_windows("New Connection")
    a.act("Error", "OK")
    a.window_gone("Error")
    assert not [line for line in a.stdout_lines() if line.startswith(("Sending to", "Receiving from"))]
    a.key(box, "ctrl+a")
    a.type_text(box, b.host.ip)
    a.key(box, "Return")
    a.window_gone("New Connection")
    b.wait_output(f"Receiving from host {a.host.ip}", timeout=5)
    a.wait_output(f"Receiving from host {b.host.ip}", timeout=5)

    for copy in (a, b):  # the caller and the side that answered by itself
        copy.act(kvtest.TITLE, "Audio", "Compression")
        copy.wait_count(BUSY, 1, 5)
        time.sleep(0.5)
        assert copy.stdout_lines().count(BUSY) == 1
        assert not copy.find_windows(DIALOG)

    kvtest.poll(lambda: len(a.device_transfers("read")) >= 4, 10, "A to send four blocks")
    a.act(kvtest.TITLE, "Audio", "Mute")
    clicked = time.monotonic()
    kvtest.poll(lambda: kvtest.SENDER_EXITED in a.stdout_lines(), 3, "A's transmission to end", 0.01)
    exited = time.monotonic()
    late = [t for t, op, f in a.dsp_trace() if op == "read" and f.get("result", 0) > 0 and t > clicked]
    assert len(late) <= 1, "after the click A reads at most the block it was capturing"
    assert exited - clicked <= 3200 / 8000 + DELIVERY_SLACK
    assert b.alive() and kvtest.SENDER_EXITED not in b.stdout_lines()
    assert open_dialog(a) == [(m, m == "GSM") for m in modes], "muted, the dialog opens again"
    close_dialog(a)

    # B goes on until its whole sentence and one block after it were captured.
    kvtest.poll(lambda: len(b.device_transfers("read")) >= -(-len(sent_b) // 160) + 1, 15,
                "B to capture its sentence", interval=0.2)
    b.mute()
    kvtest.poll(lambda: len(a.device_transfers("write")) >= len(b.device_transfers("read")), 3,
                "A to play B's last block")
    assert len([t for t, op, _ in a.dsp_trace() if op == "write" and t > exited]) * 160 >= 8000
    for copy in (a, b):
        copy.quit(5)
    kvaudio.check_call_lines(a, b.host.ip, caller=True)
    kvaudio.check_call_lines(b, a.host.ip, caller=False)
    assert a.stdout_lines().count(kvtest.SENDER_EXITED) == 1
    kvaudio.check_direction(run, a, b, sent_a, "gsm")
    kvaudio.check_direction(run, b, a, sent_b, "ldgsm")
