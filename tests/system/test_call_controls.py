#!/usr/bin/python3
"""The call controls, on two copies in two namespaces with simulated sound cards:
- "Audio Compression Mode" opens with "GSM" active at start-up; Cancel changes nothing; after
  "LD-GSM" and OK the program prints "Audio mode: LD-GSM", and the dialog opened again shows
  "LD-GSM" active; that copy then answers the call in LD-GSM (what it sends is LD-GSM);
- "New Connection" with an address that is not one shows the "Error" box "Not a valid IP
  address!", places no call and stays open; corrected in the same box, the address places the call;
- during the call the compression dialog, on the caller and on the side that answered by itself,
  prints "Audio encoding busy!" and opens nothing;
- "/Audio/Mute" on the caller ends its transmission within one block: at most the block being
  captured is read after the click, and "Audio transmission process exited gracefully" follows
  within a block's time; the other side played every block sent, nothing more; the other side's
  speech keeps playing at the caller, sample for sample what its codec makes of it; once muted,
  the caller's compression dialog opens again.
"""
import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
from kvtest import check, note  # noqa: E402
from test_call_codecs import check_direction, check_output_lines  # noqa: E402

DIALOG = "Audio Compression Mode"
MODES = ["ADPCM", "GSM", "LD-GSM", "LPC10"]
GSM_BLOCK, LDGSM_BLOCK = 3200, 160
# The device hands captured blocks over in bursts about every 256 ms, so the block being read when
# Mute is clicked can end up to this much later than its 400 ms.
DELIVERY_SLACK = 0.3
BUSY = "Audio encoding busy!"


def dialog_modes(copy):
    """(label, active) of each radio button of the open compression dialog, top to bottom."""
    def probe():
        tree = copy.accessible()
        windows = [w for w in tree["children"] if w["name"] == DIALOG]
        radios = windows and kvtest.find_nodes(windows[0], role="radio button")
        return radios and [(r["name"], "checked" in r["states"]) for r in radios]
    return kvtest.poll(probe, 10, f"the radio buttons of {copy.name}'s {DIALOG!r}", interval=0.2)


def window_gone(copy, title, timeout=5):
    kvtest.poll(lambda: not copy.display.find_windows(f"^{title}$", pid=copy.pid), timeout,
                f"{copy.name}'s {title!r} to close")


def open_dialog(copy):
    copy.act(kvtest.TITLE, "Audio", "Compression")
    copy.wait_window(DIALOG)
    return dialog_modes(copy)


def active(modes):
    return [label for label, on in modes if on]


def check_compression_dialog(a, b):
    modes = open_dialog(a)
    check([label for label, _ in modes] == MODES,
          f"the compression dialog lists {', '.join(MODES)}", repr(modes))
    check(active(modes) == ["GSM"], "at start-up \"GSM\" is the one active mode", repr(modes))
    a.act(DIALOG, "Cancel")
    window_gone(a, DIALOG)
    check(not any(line.startswith("Audio mode:") for line in a.stdout_lines()),
          "Cancel closes it without choosing a mode", repr(a.stdout_lines()))

    check(active(open_dialog(b)) == ["GSM"], f"{b.name}'s dialog too opens with \"GSM\" active")
    b.act(DIALOG, "LD-GSM")
    b.act(DIALOG, "  OK  ")
    b.wait_output("Audio mode: LD-GSM")
    window_gone(b, DIALOG)
    check(b.stdout_lines().count("Audio mode: LD-GSM") == 1,
          "\"LD-GSM\" and OK print \"Audio mode: LD-GSM\" and close the dialog")
    modes = open_dialog(b)
    check(active(modes) == ["LD-GSM"], "opened again, the dialog shows \"LD-GSM\" active", repr(modes))
    b.act(DIALOG, "Cancel")
    window_gone(b, DIALOG)


def check_bad_address(a, b):
    box = a.new_connection("10.47.0.300")
    a.wait_window("Error")
    labels = a.labels("Error")
    check("Not a valid IP address!" in labels,
          "\"New Connection\" with 10.47.0.300 shows the \"Error\" box \"Not a valid IP address!\"",
          repr(labels))
    check(box in a.display.find_windows("^New Connection$", pid=a.pid),
          "the \"New Connection\" box stays open")
    a.act("Error", "OK")
    window_gone(a, "Error")
    check(not any(line.startswith(("Sending to", "Receiving from")) for line in a.stdout_lines()),
          "no call was placed", repr(a.stdout_lines()))
    note("the address corrected in the same box")
    a.key(box, "ctrl+a")
    a.type_text(box, b.host.ip)
    a.key(box, "Return")
    window_gone(a, "New Connection")
    b.wait_output(f"Receiving from host {a.host.ip}", timeout=5)
    a.wait_output(f"Receiving from host {b.host.ip}", timeout=5)
    check(True, f"the call is placed and {b.name} answers by itself")


def check_busy(copy):
    before = copy.stdout_lines().count(BUSY)
    copy.act(kvtest.TITLE, "Audio", "Compression")
    kvtest.poll(lambda: copy.stdout_lines().count(BUSY) > before, 5, f"{BUSY!r} on {copy.name}")
    time.sleep(0.5)
    check(not copy.display.find_windows(f"^{DIALOG}$", pid=copy.pid)
          and copy.stdout_lines().count(BUSY) == before + 1,
          f"during the call {copy.name}'s compression dialog prints \"{BUSY}\" once and opens nothing")


def test(run):
    speech_a = os.path.join(run.workdir, "speech_a.raw")
    speech_b = os.path.join(run.workdir, "speech_b.raw")
    sent_a = kvtest.speech("Hello, can you hear me? I am calling from the office.", speech_a)
    sent_b = kvtest.speech("Yes, I can hear you well. The weather here is cold and windy today, "
                           "and it will rain again tomorrow.", speech_b, voice="en-gb")
    note(f"A says {len(sent_a) / 8000:.2f} s, B says {len(sent_b) / 8000:.2f} s")
    a, b = run.start_pair(input_a=speech_a, input_b=speech_b, trace=True, accessibility=True)

    check_compression_dialog(a, b)
    check_bad_address(a, b)
    for copy in (a, b):
        check_busy(copy)

    kvtest.poll(lambda: len(a.device_transfers("read")) >= 4, 10, "A to send four blocks")
    note("/Audio/Mute on A")
    a.act(kvtest.TITLE, "Audio", "Mute")
    clicked = time.monotonic()
    kvtest.poll(lambda: kvtest.SENDER_EXITED in a.stdout_lines(), 3,
                f"{kvtest.SENDER_EXITED!r} on A", interval=0.01)
    exited = time.monotonic()
    reads = [t for t, op, f in a.dsp_trace() if op == "read" and f.get("result", 0) > 0]
    late = [t for t in reads if t > clicked]
    check(len(late) <= 1, f"after the click A read at most the block it was capturing ({len(late)})",
          f"reads {[round(t - clicked, 3) for t in late]} s after the click")
    check(exited - clicked <= GSM_BLOCK / 8000 + DELIVERY_SLACK,
          f"A's transmission ended {exited - clicked:.2f} s after the click (one block is "
          f"{GSM_BLOCK / 8000:.1f} s)")
    check(b.alive() and kvtest.SENDER_EXITED not in b.stdout_lines(), "B goes on sending")

    check(active(open_dialog(a)) == ["GSM"], "muted, A's compression dialog opens again (GSM)")
    a.act(DIALOG, "Cancel")
    window_gone(a, DIALOG)

    # B goes on until its whole sentence and one block after it were captured.
    need = -(-len(sent_b) // LDGSM_BLOCK) + 1
    kvtest.poll(lambda: len(b.device_transfers("read")) >= need, 15, "B to capture its sentence",
                interval=0.2)
    b.act(kvtest.TITLE, "Audio", "Mute")
    b.wait_output(kvtest.SENDER_EXITED, timeout=3)
    kvtest.poll(lambda: len(a.device_transfers("write")) >= len(b.device_transfers("read")), 3,
                "A to play B's last block")
    played_after = [t for t, op, f in a.dsp_trace() if op == "write" and t > exited]
    check(len(played_after) * LDGSM_BLOCK >= 8000,
          f"after A's transmission ended, A played {len(played_after)} more of B's blocks")
    for copy in (a, b):
        copy.key(copy.window, "ctrl+q")
    for copy in (a, b):
        check(copy.wait_exit(5) == 0, f"{copy.name} quits with status 0")

    check_output_lines(a, b.host.ip, "Sending to", "Receiving from")
    check_output_lines(b, a.host.ip, "Receiving from", "Sending to")
    check(a.stdout_lines().count(kvtest.SENDER_EXITED) == 1,
          "A printed the end of its transmission once")
    note("A's GSM speech at B, up to the mute")
    check_direction(run, a, b, sent_a, "gsm", GSM_BLOCK)
    note("B's LD-GSM speech at A, before and after the mute")
    check_direction(run, b, a, sent_b, "ldgsm", LDGSM_BLOCK)


if __name__ == "__main__":
    kvtest.main(test, time_limit=100)
