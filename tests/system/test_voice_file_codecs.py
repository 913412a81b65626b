#!/usr/bin/python3
"""Voice files with ADPCM, LPC10 and LD-GSM on the simulated sound card (OSS through libaoss), in
one copy of the program, with the codec chosen in "Audio Compression Mode":
- an ADPCM recording and an LPC10 recording appended to the same file: 927-byte records with the
  codec word 00 02 00 00 at offsets 8 and 16 and payload length 903, then 164-byte records with
  00 00 02 00 and 140;
- an LD-GSM recording: 59-byte records with the codec word 20 00 00 00, the count 00 A0 and one
  frame each, the frames exactly libgsm's (toast) encoding of the u-law-quantised input;
- each recording's capture continues in the input where the previous one stopped (the offsets are
  found and reported);
- playing the mixed file decodes every record by its own codec word; the device receives exactly
  what the program's own pipelines (tools/kvcodec) make of the input, and for LD-GSM exactly
  toast's decoding;
- "/File/Stop" during playback ends it after the current record with "Voice file playing
  completed" and hides the progress bar; what was played is a whole-record prefix of the file.
"""
import os
import sys
import time

import numpy as np

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import test_voice_file as vf  # noqa: E402
from kvtest import Failure, check, note  # noqa: E402


def find_offset(run, codec, source, played, hint, what):
    """The input offset from which the program's pipeline for codec gives exactly played.
    Tries the hint (where the previous capture stopped), then the best waveform alignment, then,
    for LPC-10 whose output follows the input's envelope rather than its waveform, the offsets
    near the best envelope alignment. Returns (offset, expected samples)."""
    tried = []

    def attempt(offset):
        if offset < 0 or offset in tried:
            return None
        tried.append(offset)
        expected = vf.kvcodec(run, codec, vf.segment(source, offset, played.size))
        return expected if np.array_equal(expected, played) else None

    candidates = [hint]
    if codec == "lpc10":
        frame = 160
        at, _ = vf.best_alignment(kvtest.frame_rms(source, frame),
                                  kvtest.frame_rms(played, frame)[:60])
        centre = at * frame
        candidates += sorted(range(centre - 2 * frame, centre + 2 * frame),
                             key=lambda o: abs(o - centre))
    else:
        at, _ = vf.best_alignment(source, played[:min(played.size, 4000)])
        candidates.append(at)
    for offset in candidates:
        expected = attempt(offset)
        if expected is not None:
            note(f"{what}: capture began at input sample {offset}"
                 + (" (where the previous capture stopped)" if offset == hint else ""))
            check(offset + played.size <= source.size,
                  f"{what}: the recording lies within the speech input",
                  f"it ends at sample {offset + played.size} of {source.size}")
            return offset, expected
    raise Failure(f"{what}: no input offset gives what the device received "
                  f"(tried {len(tried)}, from {tried[:3]})")


def test(run):
    net = run.network("a")
    source_path, source = vf.speech_input(
        run, "speech.raw",
        "Voice files keep what you say. Adaptive differential pulse code modulation comes first, "
        "then linear predictive coding at twenty four hundred bits per second, and last the low "
        "delay variant of the full rate codec, one frame in every packet. Each recording takes "
        "up where the one before it stopped, so the speech must last long enough for all three "
        "of them. That is all for now.")
    copy = run.start("A", net["a"], sound=True, dsp_in=source_path, accessibility=True)
    copy.window = copy.wait_window()
    copy.wait_bound()
    rec = vf.Recorder(copy)

    plan = [("adpcm", "mixed.vox", 4.0), ("lpc10", "mixed.vox", 2.7), ("ldgsm", "ldgsm.vox", 2.0)]
    recorded = {}
    for codec, name, seconds in plan:
        vf.choose_codec(copy, codec)
        note(f"record {seconds:g} s with {vf.MENU_LABELS[codec]} into {name}")
        data = rec.record(name, seconds)
        records = vf.parse_records(data)
        vf.check_records(records, codec, f"{vf.MENU_LABELS[codec]} recording in {name}")
        recorded[codec] = records

    with open(rec.path("mixed.vox"), "rb") as f:
        mixed = f.read()
    k_adpcm, k_lpc = len(recorded["adpcm"]), len(recorded["lpc10"])
    check(len(mixed) == 927 * k_adpcm + 164 * k_lpc,
          f"mixed.vox holds the {k_adpcm} ADPCM records followed by the {k_lpc} appended LPC10 "
          "records")
    trailers = [payload[-3:] for _, payload in recorded["adpcm"]]
    check(trailers[0] == bytes(3), "the first ADPCM record's trailer is 00 00 00 (coder state at "
          "start-up)", trailers[0].hex(" "))

    ld_records = recorded["ldgsm"]
    check(all(len(payload) == 35 for _, payload in ld_records),
          "each LD-GSM payload is the count and one frame")
    adpcm_samples, lpc_samples = k_adpcm * 1800, k_lpc * 3600

    note("play mixed.vox, then ldgsm.vox")
    rec.play("mixed.vox")
    check(True, f"mixed.vox played to \"{vf.PLAY_DONE}\"")
    rec.play("ldgsm.vox")
    check(True, f"ldgsm.vox played to \"{vf.PLAY_DONE}\"")

    note("play mixed.vox again and stop it at once")
    rec.start_playing("mixed.vox")
    copy.wait_output(f"Playing voice file {rec.path('mixed.vox')}", timeout=10)
    stopped_at = time.monotonic()
    copy.act(kvtest.TITLE, "File", "Stop")
    rec.played += 1
    vf.wait_line_count(copy, vf.PLAY_DONE, rec.played, 10)
    check(time.monotonic() - stopped_at < 8,
          f"/File/Stop ends playing with \"{vf.PLAY_DONE}\" "
          f"{time.monotonic() - stopped_at:.1f} s after it was asked for")
    rec.wait_progress(False, 3, "the progress bar is hidden after the stopped playback")

    vf.quit_copy(copy)
    played = kvtest.read_s16(copy.dsp_out)
    ld_samples = len(ld_records) * 160
    full = adpcm_samples + lpc_samples + ld_samples
    check(played.size > full, f"the device received the two files ({full} samples) and more",
          f"{played.size} samples")

    off_adpcm, expected_adpcm = find_offset(run, "adpcm", source, played[:adpcm_samples], 0,
                                            "ADPCM recording")
    check(True, "playing the ADPCM records gave exactly what the program's ADPCM pipeline makes "
          f"of the input ({adpcm_samples} samples)")
    off_lpc, _ = find_offset(run, "lpc10", source,
                             played[adpcm_samples:adpcm_samples + lpc_samples],
                             off_adpcm + adpcm_samples, "LPC10 recording")
    check(True, "playing the appended LPC10 records gave exactly what the program's LPC10 "
          f"pipeline makes of the input ({lpc_samples} samples)")

    hint_ld = off_lpc + lpc_samples
    off_ld, ld_frames = vf.check_gsm_recording(run, ld_records, source, 160, "LD-GSM recording",
                                               start_hint=max(0, hint_ld - 8000))
    check(off_ld == hint_ld, "the LD-GSM capture began where the LPC10 one stopped",
          f"{off_ld} against {hint_ld}")
    vf.compare_played(played[adpcm_samples + lpc_samples:full], vf.gsm_playback(run, ld_frames),
                      "playing ldgsm.vox (against toast's decoding)")
    ld_pipeline = vf.kvcodec(run, "ldgsm", vf.segment(source, off_ld, ld_samples))
    vf.compare_played(played[adpcm_samples + lpc_samples:full], ld_pipeline,
                      "playing ldgsm.vox (against the program's LD-GSM pipeline)")

    tool = os.path.join(run.build_dir, "tools", "kestrelvox_file", "kestrelvox-file")
    for name, part in (("mixed.vox", played[:adpcm_samples + lpc_samples]), ("ldgsm.vox", played[adpcm_samples + lpc_samples:full])):
        kvtest.run_quiet([tool, "export", rec.path(name), rec.path(name + ".wav")])
        check(np.array_equal(np.fromfile(rec.path(name + ".wav"), np.int16)[22:], part),
              f"kestrelvox-file exports the recorded {name} to exactly the {part.size} samples the program played")

    tail = played[full:]
    check(tail.size % 1800 == 0 and 0 < tail.size < adpcm_samples,
          f"the stopped playback played {tail.size // 1800} whole ADPCM records of {k_adpcm}",
          f"{tail.size} samples")
    vf.compare_played(tail, expected_adpcm[:tail.size], "the stopped playback")


if __name__ == "__main__":
    kvtest.main(test, time_limit=120)
