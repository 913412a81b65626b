#!/usr/bin/python3
"""Voice files with GSM on the simulated sound card (OSS through libaoss):
- "/File/_Record File" (Ctrl+R) opens the chooser "Record Voice File"; the typed name is recorded
  into until "/File/Stop", which ends it with "Voice recording completed"; the progress bar is
  shown while it records and hidden afterwards;
- every record is 686 bytes with the header 02 3E 00 00 AE 02 00 00 20 00 00 00 00 00 00 00
  20 00 00 00 96 02 00 00 and the count 0C 80, and the GSM frames are exactly libgsm's (toast)
  encoding of the u-law-quantised capture input, from the input offset where capture began;
- "/File/_Play File" (Ctrl+P) while recording, and Ctrl+R while playing, show "System Busy" with
  the program's texts and open no chooser;
- playing the file prints "Playing voice file <path>" and "Voice file playing completed", shows and
  hides the progress bar, and the device receives exactly libgsm's decoding (toast -d) of those
  frames, u-law-quantised as the program plays it;
- bad files (empty, shorter than 16 bytes, a wrong first byte, codec word 0) are refused with
  "This file can not be played" and play nothing; a damaged record length after a good record
  plays the good one, says the file is damaged, and ends the playback cleanly.
The helpers here are shared by the other voice-file and ALSA tests.
"""
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
from kvtest import Failure, check, note  # noqa: E402

HEADER = 24
CODEC_WORDS = {"gsm": 0x20, "ldgsm": 0x20, "adpcm": 0x200, "lpc10": 0x20000}
BLOCK_SAMPLES = {"gsm": 3200, "ldgsm": 160, "adpcm": 1800, "lpc10": 3600}
PAYLOAD_BYTES = {"gsm": 662, "ldgsm": 35, "adpcm": 903, "lpc10": 140}
MENU_LABELS = {"gsm": "GSM", "ldgsm": "LD-GSM", "adpcm": "ADPCM", "lpc10": "LPC10"}
GSM_HEADER = bytes.fromhex("02 3E 00 00 AE 02 00 00 20 00 00 00 00 00 00 00"
                           "20 00 00 00 96 02 00 00")
GSM_FRAME = 33

PLAY_BUSY = "Audio device occupied,\nPlaying not allowed!  "
RECORD_BUSY = "Audio device occupied,\nRecording not allowed!"
REFUSED = "This file can not be played"
RECORD_DONE = "Voice recording completed"
PLAY_DONE = "Voice file playing completed"
NO_DSP = "open /dev/dsp: No such file or directory"
TOOLKIT_DIAGNOSTIC = re.compile(r"^(\*\* )?\(kestrelvox:\d+\): ")


# ---------------------------------------------------------------------------------------------
# Independent coders and the program's own pipeline as oracles


def toast(data, decode=False):
    """libgsm's toast on raw bytes: 16-bit host-order samples to 33-byte frames, or back."""
    kvtest.need("toast")
    cmd = ["toast", "-l", "-c"] + (["-d"] if decode else [])
    result = subprocess.run(cmd, input=bytes(data), capture_output=True, timeout=60)
    if result.returncode != 0:
        raise Failure(f"toast failed: {result.stderr.decode(errors='replace')}")
    return result.stdout


def kvcodec(run, codec, samples):
    """What the program's send and receive pipelines make of samples (whole blocks only), from
    fresh codec states, by tools/kvcodec; codec "none" is the u-law quantiser alone."""
    tool = os.path.join(run.build_dir, "tools", "kvcodec", "kvcodec")
    if not os.access(tool, os.X_OK):
        raise Failure(f"kvcodec is not built: {tool}")
    with tempfile.TemporaryDirectory(dir=run.workdir) as tmp:
        src, dst = os.path.join(tmp, "in.raw"), os.path.join(tmp, "out.raw")
        kvtest.write_s16(src, samples)
        kvtest.run_quiet([tool, codec, src, dst], timeout=60)
        return kvtest.read_s16(dst)


def ulaw_quantise(run, samples):
    """The samples as the program's u-law tables turn them (sample to u-law byte and back)."""
    samples = np.asarray(samples, dtype=np.int16)
    blocks = -(-samples.size // 488)
    padded = np.zeros(blocks * 488, dtype=np.int16)
    padded[:samples.size] = samples
    return kvcodec(run, "none", padded)[:samples.size]


def segment(samples, start, length):
    """samples[start:start + length], with silence after the end (what the card captures once
    its input file has ended)."""
    out = np.zeros(length, dtype=np.int16)
    part = samples[start:start + length]
    out[:part.size] = part
    return out


def best_alignment(source, probe):
    """The offset in source where probe matches best (normalised cross-correlation) and that
    correlation."""
    source = np.asarray(source, dtype=np.float64)
    probe = np.asarray(probe, dtype=np.float64)
    if probe.size == 0 or source.size < probe.size or not probe.any():
        return 0, 0.0
    size = 1 << int(np.ceil(np.log2(source.size + probe.size)))
    corr = np.fft.irfft(np.fft.rfft(source, size) * np.conj(np.fft.rfft(probe, size)), size)
    corr = corr[:source.size - probe.size + 1]
    energy = np.sqrt(np.maximum(np.convolve(source * source, np.ones(probe.size), "valid"), 1e-9))
    score = corr / (energy * np.linalg.norm(probe))
    best = int(np.argmax(score))
    return best, float(score[best])


# ---------------------------------------------------------------------------------------------
# Voice files


def parse_records(data):
    """The records of a voice file as (header, payload) pairs; raises Failure on a record that
    does not fit."""
    records = []
    at = 0
    while at < len(data):
        header = data[at:at + HEADER]
        length = int.from_bytes(header[4:8], "little") if len(header) >= 8 else 0
        if len(header) < HEADER or length < HEADER or at + length > len(data):
            raise Failure(f"the voice file has a broken record at byte {at} "
                          f"(length field {length}, {len(data) - at} bytes left)")
        records.append((header, data[at + HEADER:at + length]))
        at += length
    return records


def check_records(records, codec, what):
    """Every record carries the file header of an audio record of this codec."""
    word = CODEC_WORDS[codec]
    size = PAYLOAD_BYTES[codec]
    expected = (bytes([0x02, 0x3E, 0, 0]) + (HEADER + size).to_bytes(4, "little")
                + word.to_bytes(4, "little") + bytes(4) + word.to_bytes(4, "little")
                + size.to_bytes(4, "little"))
    bad = [i for i, (header, payload) in enumerate(records)
           if header != expected or len(payload) != size]
    check(records and not bad,
          f"{what}: all {len(records)} records are {HEADER + size} bytes with the header "
          f"{expected.hex(' ').upper()}",
          f"records {bad[:5]} differ, e.g. {records[bad[0]][0].hex(' ') if bad else ''}")


def gsm_frames(records, count=None):
    """The 33-byte frames of GSM records; with count, each record's sample count is checked."""
    if count is not None:
        counts = {int.from_bytes(payload[:2], "big") for _, payload in records}
        check(counts == {count}, f"each GSM payload starts with the sample count {count} "
              f"({count.to_bytes(2, 'big').hex(' ').upper()}), big-endian",
              f"counts {sorted(counts)}")
    return b"".join(payload[2:] for _, payload in records)


def check_gsm_recording(run, records, source, count, what, start_hint=0):
    """The frames of GSM records are toast's encoding of the u-law-quantised input from the
    offset where capture began (found by aligning toast's decoding of the first record with
    the input). Returns (offset, frames)."""
    frames = gsm_frames(records, count)
    samples = len(frames) // GSM_FRAME * 160
    decoded = np.frombuffer(toast(frames, decode=True), dtype="<i2")
    probe = decoded[:min(samples, 3200)]
    offset, score = best_alignment(source[start_hint:], probe)
    offset += start_hint
    note(f"{what}: capture began at input sample {offset} (correlation {score:.3f})")
    # Past the end of the input every offset would give the same frames of silence.
    check(score > 0.5 and offset + samples <= source.size,
          f"{what}: the recording ({samples} samples) lies within the speech input "
          f"({source.size} samples)", f"offset {offset}, correlation {score:.3f}")
    quantised = ulaw_quantise(run, segment(source, offset, samples))
    expected = toast(quantised.astype("<i2").tobytes())
    same = [frames[i:i + GSM_FRAME] == expected[i:i + GSM_FRAME]
            for i in range(0, len(frames), GSM_FRAME)]
    check(len(expected) == len(frames) and all(same),
          f"{what}: all {len(same)} GSM frames equal toast's encoding of the u-law-quantised "
          f"input from sample {offset}",
          f"{same.count(False)} frames differ"
          + (f", the first at frame {same.index(False)}" if False in same else ""))
    return offset, frames


def gsm_playback(run, frames):
    """What the program plays for GSM frames: toast's decoding, through the u-law tables."""
    decoded = np.frombuffer(toast(frames, decode=True), dtype="<i2")
    return ulaw_quantise(run, decoded)


def compare_played(played, expected, what):
    """Played samples must equal the expected ones exactly."""
    n = min(played.size, expected.size)
    diff = np.nonzero(played[:n] != expected[:n])[0]
    where = f"first difference at sample {diff[0]}" if diff.size else "the shorter one is a prefix"
    check(played.size == expected.size and diff.size == 0,
          f"{what}: the device received exactly the {expected.size} expected samples",
          f"played {played.size} samples; {where}")


# ---------------------------------------------------------------------------------------------
# Driving the program


def progress_showing(copy):
    bars = kvtest.find_nodes(copy.accessible(), role="progress bar")
    if len(bars) != 1:
        raise Failure(f"{copy.name} should have one progress bar, it has {len(bars)}")
    return "showing" in bars[0]["states"]


def choose_file(copy, title, name):
    """Opens nothing itself: waits for the chooser titled title, types name over the preset one
    and presses Enter (OK)."""
    chooser = copy.wait_window(title)
    copy.key(chooser, "ctrl+a")
    copy.type_text(chooser, name)
    copy.key(chooser, "Return")
    kvtest.poll(lambda: not copy.display.find_windows("^" + title + "$", pid=copy.pid), 10,
                f"the chooser {title!r} of {copy.name} to close")


def choose_codec(copy, codec):
    """Chooses the codec in "Audio Compression Mode" and waits for "Audio mode: <label>"."""
    label = MENU_LABELS[codec]
    line = f"Audio mode: {label}"
    before = copy.stdout_lines().count(line)
    copy.act(kvtest.TITLE, "Audio", "Compression")
    copy.wait_window("Audio Compression Mode")
    copy.act("Audio Compression Mode", label)
    copy.act("Audio Compression Mode", "  OK  ")
    kvtest.poll(lambda: copy.stdout_lines().count(line) > before, 10, f"{line!r} on {copy.name}")


def wait_line_count(copy, line, count, timeout, what=None):
    kvtest.poll(lambda: copy.stdout_lines().count(line) >= count, timeout,
                what or f"{line!r} {count} times on {copy.name}")


class Recorder:
    """Records and plays voice files in a copy through its menu, file chooser and Stop."""

    def __init__(self, copy):
        self.copy = copy
        self.recorded = 0
        self.played = 0
        self.refused = 0

    def path(self, name):
        return os.path.join(self.copy.dir, name)

    def start_recording(self, name):
        copy = self.copy
        copy.key(copy.window, "ctrl+r")
        choose_file(copy, "Record Voice File", name)
        copy.wait_output(f"Recording voice file  {self.path(name)}", timeout=10)

    def stop_recording(self):
        copy = self.copy
        copy.act(kvtest.TITLE, "File", "Stop")
        self.recorded += 1
        wait_line_count(copy, RECORD_DONE, self.recorded, 10)

    def record(self, name, seconds):
        """Records for about `seconds` into name; returns the file's bytes from this recording
        on. (The file grows in bursts, as the program's writes are buffered, so the recording
        is timed rather than measured by the file's size.)"""
        path = self.path(name)
        before = os.path.getsize(path) if os.path.exists(path) else 0
        self.start_recording(name)
        time.sleep(seconds)
        self.stop_recording()
        with open(path, "rb") as f:
            return f.read()[before:]

    def start_playing(self, name):
        copy = self.copy
        copy.key(copy.window, "ctrl+p")
        choose_file(copy, "Play Voice File", name)

    def play(self, name, timeout=30):
        """Plays name to its end; checks the start and end lines."""
        self.start_playing(name)
        self.copy.wait_output(f"Playing voice file {self.path(name)}", timeout=10)
        self.played += 1
        wait_line_count(self.copy, PLAY_DONE, self.played, timeout)

    def refuse(self, name, what):
        """Playing name is refused with "This file can not be played"."""
        lines_before = len(self.copy.stdout_lines())
        self.start_playing(name)
        self.refused += 1
        wait_line_count(self.copy, REFUSED, self.refused, 10)
        new = self.copy.stdout_lines()[lines_before:]
        check(new == [REFUSED], f"{what}: refused with \"{REFUSED}\" and nothing else", repr(new))

    def busy_box(self, keys, text, chooser_title):
        """keys while a file operation runs show "System Busy" with text and no chooser."""
        copy = self.copy
        copy.key(copy.window, keys)
        copy.wait_window("System Busy")
        labels = copy.labels("System Busy")
        check(text in labels, f"{keys} shows \"System Busy\": {text!r}", repr(labels))
        check(not copy.display.find_windows("^" + chooser_title + "$", pid=copy.pid),
              f"and opens no chooser {chooser_title!r}")
        copy.act("System Busy", "OK")
        kvtest.poll(lambda: not copy.display.find_windows("^System Busy$", pid=copy.pid), 10,
                    "the message box to close after OK")

    def wait_progress(self, showing, timeout, what):
        kvtest.poll(lambda: progress_showing(self.copy) == showing, timeout, what, interval=0.2)
        check(True, what)


def quit_copy(copy):
    copy.key(copy.window, "ctrl+q")
    rc = copy.wait_exit(10)
    check(rc == 0, f"{copy.name} quits with status 0 (the device is drained and closed)",
          f"status {rc}")


def speech_input(run, name, sentences, voice="en-us"):
    path = os.path.join(run.workdir, name)
    samples = kvtest.speech(sentences, path, voice=voice)
    note(f"capture input {name}: {samples.size / 8000:.1f} s of speech")
    return path, samples


# ---------------------------------------------------------------------------------------------
# The test


def write_bad_files(directory, good_record):
    """Files the player must refuse, and one whose second record has a damaged length."""
    codec_zero = bytearray(good_record)
    codec_zero[8:12] = bytes(4)
    wrong_first = bytearray(good_record)
    wrong_first[0] = 0x03
    damaged = bytearray(HEADER)
    damaged[0:2] = b"\x02\x3e"
    damaged[4:8] = (7000).to_bytes(4, "little")  # more than a media packet holds
    damaged[8:12] = damaged[16:20] = (0x20).to_bytes(4, "little")
    damaged[20:24] = (6976).to_bytes(4, "little")
    files = {
        "empty.vox": b"",
        "short.vox": good_record[:15],
        "wrongbyte.vox": bytes(wrong_first),
        "codec0.vox": bytes(codec_zero),
        "damaged.vox": good_record + bytes(damaged) + bytes(200),
    }
    for name, data in files.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


def run_gsm_file_test(run, alsa, host=None):
    """Records, plays and refuses voice files in one copy (in host's namespace, or a new one);
    alsa selects the ALSA backend."""
    host = host or run.network("a")["a"]
    source_path, source = speech_input(
        run, "speech.raw", "Recording a voice file with the full rate codec. The quick brown fox "
        "jumps over the lazy dog, and the five boxing wizards jump quickly. Pack my box with "
        "five dozen liquor jugs.")
    copy = run.start("A", host, sound=True, dsp_in=source_path, accessibility=True, alsa=alsa)
    copy.window = copy.wait_window()
    copy.wait_bound()
    rec = Recorder(copy)
    if alsa:
        check_alsa_startup(copy)
    check(not progress_showing(copy), "the progress bar is hidden before any file operation")

    note("Ctrl+R, record into speech.gsm")
    rec.start_recording("speech.gsm")
    started = time.monotonic()
    rec.wait_progress(True, 5, "the progress bar is shown while recording")
    rec.busy_box("ctrl+p", PLAY_BUSY, "Play Voice File")
    time.sleep(max(0.0, 5.0 - (time.monotonic() - started)))
    rec.stop_recording()
    check(True, f"/File/Stop ends the recording with \"{RECORD_DONE}\"")
    rec.wait_progress(False, 3, "the progress bar is hidden after the recording")

    with open(rec.path("speech.gsm"), "rb") as f:
        data = f.read()
    records = parse_records(data)
    check(len(data) == 686 * len(records) and len(records) >= 13,
          f"the file holds {len(records)} records of 686 bytes ({len(records) * 0.4:.1f} s)")
    check(all(header == GSM_HEADER for header, _ in records),
          "every record header is 02 3E 00 00 AE 02 00 00 20 00 00 00 00 00 00 00 "
          "20 00 00 00 96 02 00 00")
    _, frames = check_gsm_recording(run, records, source, 3200, "GSM recording")

    note("Ctrl+P, play speech.gsm")
    lines_before = len(copy.stdout_lines())
    rec.start_playing("speech.gsm")
    copy.wait_output(f"Playing voice file {rec.path('speech.gsm')}", timeout=10)
    rec.wait_progress(True, 5, "the progress bar is shown while playing")
    rec.busy_box("ctrl+r", RECORD_BUSY, "Record Voice File")
    rec.played += 1
    wait_line_count(copy, PLAY_DONE, rec.played, 30)
    check(True, f"playing ends with \"{PLAY_DONE}\"")
    rec.wait_progress(False, 3, "the progress bar is hidden after playing")
    new = copy.stdout_lines()[lines_before:]
    check(new == [f"Playing voice file {rec.path('speech.gsm')}", PLAY_DONE],
          "playing printed its start and end lines only", repr(new))

    note("bad files")
    write_bad_files(copy.dir, data[:686])
    rec.refuse("empty.vox", "an empty file")
    rec.refuse("short.vox", "a file of 15 bytes")
    rec.refuse("wrongbyte.vox", "a file whose first byte is 03")
    rec.refuse("codec0.vox", "a file whose codec word is 0")
    lines_before = len(copy.stdout_lines())
    rec.play("damaged.vox")
    new = copy.stdout_lines()[lines_before:]
    check(len(new) == 3 and new[0] == f"Playing voice file {rec.path('damaged.vox')}"
          and "damaged" in new[1] and new[2] == PLAY_DONE,
          "a damaged record length after a good record: the file is said to be damaged and "
          "playing ends cleanly", repr(new))

    quit_copy(copy)
    # The good record of damaged.vox played after the whole file, with the decoder's history.
    expected = gsm_playback(run, frames + gsm_frames(records[:1]))
    compare_played(kvtest.read_s16(copy.dsp_out), expected,
                   "playing speech.gsm, then damaged.vox's first record")
    if alsa:
        check_alsa_reports(copy)
    return copy


def device_reports(copy):
    """Standard error without the toolkit's own diagnostics (accessibility noise)."""
    return [line for line in copy.stderr_lines()
            if line.strip() and not TOOLKIT_DIAGNOSTIC.match(line)]


def check_alsa_reports(copy, overrun_certain=False, underrun_certain=False):
    """Over ALSA, standard error holds the line about /dev/dsp and at most one report of each
    kind of xrun (exactly one where the test made it certain), nothing else."""
    lines = device_reports(copy)
    overruns = [line for line in lines if "overrun" in line.lower()]
    underruns = [line for line in lines if "underrun" in line.lower()]
    other = [line for line in lines if line not in overruns + underruns]
    for kind, found, certain in (("overrun", overruns, overrun_certain),
                                 ("underrun", underruns, underrun_certain)):
        if certain:
            check(len(found) == 1, f"{copy.name}: the capture {kind} is reported exactly once"
                  if kind == "overrun" else f"{copy.name}: the playback {kind} is reported "
                  "exactly once", repr(lines))
        else:
            check(len(found) <= 1, f"{copy.name}: {kind}s are reported at most once", repr(lines))
    check(other == [NO_DSP], f"{copy.name}: standard error holds nothing else but \"{NO_DSP}\"",
          repr(lines))


def check_alsa_startup(copy):
    """Without /dev/dsp the program says so and uses ALSA's default device."""
    copy.wait_output(NO_DSP, timeout=5, stream="stderr")
    check(True, f"standard error says \"{NO_DSP}\"")
    lines = [line for line in copy.stdout_lines() if "ALSA" in line]
    check(len(lines) == 1 and "default" in lines[0],
          "standard output says once that ALSA's default device is used: "
          + (repr(lines[0]) if lines else ""), repr(copy.stdout_lines()))


def test(run):
    if os.path.exists("/dev/dsp"):
        note("this machine has /dev/dsp; libaoss still takes the device's place for the test")
    run_gsm_file_test(run, alsa=False)


if __name__ == "__main__":
    kvtest.main(test, time_limit=120)
