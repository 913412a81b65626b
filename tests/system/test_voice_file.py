"""Guards against voice files whose records, headers or codec frames are wrong, playback that loses or alters samples, missing busy guards, and bad files that are played instead of refused, over OSS and ALSA."""
import os
import pathlib
import time

import numpy as np
import pytest

import kvaudio
from kvaudio import PLAY_DONE, RECORD_DONE
import kvtest

def bad_files(good):
    """Files the player must refuse, and one whose second record has a damaged length."""
    # A record longer than a media packet holds.
    damaged = good[:4] + (7000).to_bytes(4, "little") + good[8:20] + (6976).to_bytes(4, "little")
    return {"empty.vox": b"", "short.vox": good[:15], "wrongbyte.vox": b"\x03" + good[1:],
            "codec0.vox": good[:8] + bytes(4) + good[12:], "damaged.vox": good + damaged + bytes(200)}


@pytest.mark.parametrize("backend", ["oss", "alsa"])
def test_gsm_file(run, backend):
    host = run.network("a")["a"]
    path, source = kvaudio.speech_input(run, "speech.raw", "Recording a voice file with the full rate "
                                        "codec. The quick brown fox jumps over the lazy dog, and the five "
                                        "boxing wizards jump quickly. Pack my box with five dozen liquor jugs.")
    copy = run.start("A", host, sound=True, dsp_in=path, alsa=backend == "alsa").ready()
    if backend == "alsa":
        kvaudio.check_alsa_startup(copy)
    rec = kvaudio.Recorder(copy)
    rec.wait_progress(False, 1)
    rec.start_recording("speech.gsm")
    started = time.monotonic()
    rec.wait_progress(True)
    rec.busy_box("ctrl+p", kvaudio.PLAY_BUSY, "Play Voice File")
    time.sleep(max(0.0, 5.0 - (time.monotonic() - started)))
    rec.stop_recording()
    rec.wait_progress(False, 3)
    data = pathlib.Path(rec.path("speech.gsm")).read_bytes()
    records = kvaudio.parse_records(data)
    kvaudio.check_records(records, "gsm")
    assert len(records) >= 13
    _, frames = kvaudio.check_gsm_recording(records, source, 3200)

    before = len(copy.stdout_lines())
    rec.start_playing("speech.gsm")
    rec.wait_progress(True)
    rec.busy_box("ctrl+r", kvaudio.RECORD_BUSY, "Record Voice File")
    copy.wait_count(PLAY_DONE, rec.played, 30)
    rec.wait_progress(False, 3)
    assert copy.stdout_lines()[before:] == [f"Playing voice file {rec.path('speech.gsm')}", PLAY_DONE]

    for name, content in bad_files(data[:686]).items():
        pathlib.Path(rec.path(name)).write_bytes(content)
        if name != "damaged.vox":
            rec.refuse(name)
    lines = rec.play("damaged.vox")
    assert len(lines) == 3 and lines[0] == f"Playing voice file {rec.path('damaged.vox')}" \
        and "damaged" in lines[1] and lines[2] == PLAY_DONE, lines
    copy.quit()
    # The good record of damaged.vox played after the whole file, with the decoder's history.
    frames += kvaudio.gsm_frames(records[:1], 3200)
    kvaudio.assert_same(kvtest.read_s16(copy.dsp_out),
                        kvaudio.ulaw_levels(kvaudio.toast(frames, decode=True)), "played")
    if backend == "alsa":
        kvaudio.check_alsa_reports(copy)


def test_alsa_device_missing(run):
    """A default device that cannot be opened: reported, no sound, and still a clean exit."""
    conf = os.path.join(run.workdir, "no-card.conf")
    pathlib.Path(conf).write_text("pcm.!default { type hw card 57 }\n")
    copy = run.start("nocard", run.network("a")["a"], sound=True, alsa=True,
                     env={"ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf:" + conf}).ready()
    kvtest.poll(lambda: len(kvaudio.device_reports(copy)) >= 2, 5, "the ALSA failure on standard error")
    reports = kvaudio.device_reports(copy)
    assert len(reports) == 2 and reports[0] == kvaudio.NO_DSP and "ALSA" in reports[1] and ": " in reports[1]
    assert not [line for line in copy.stdout_lines() if "ALSA" in line]
    rec = kvaudio.Recorder(copy)
    rec.start_recording("nothing.vox")
    copy.wait_count(RECORD_DONE, 1)
    assert os.path.getsize(rec.path("nothing.vox")) == 0
    copy.quit()
    assert [line.split(":")[0] for line in kvaudio.device_reports(copy)[2:]] == ["audio read", "ioctl sync"]


def find_offset(run, codec, source, played, hint):
    """The input offset from which the program's pipeline gives exactly `played`: the hint (where
    the previous capture stopped), the best waveform alignment, or for LPC-10, whose output follows
    the envelope rather than the waveform, offsets near the best envelope alignment."""
    if codec == "lpc10":
        at = kvaudio.best_alignment(kvtest.frame_rms(source), kvtest.frame_rms(played)[:60])[0] * 160
        candidates = [hint] + sorted(range(at - 320, at + 320), key=lambda o: abs(o - at))
    else:
        candidates = [hint, kvaudio.best_alignment(source, played[:4000])[0]]
    for offset in candidates:
        expected = run.kvcodec(codec, kvaudio.segment(source, offset, played.size))
        if offset >= 0 and np.array_equal(expected, played):
            assert offset + played.size <= source.size
            return offset, expected
    raise AssertionError(f"{codec}: no input offset gives what the device received")


def test_codec_files(run):
    """ADPCM then LPC10 appended to one file, LD-GSM to another; played back, exported, stopped."""
    path, source = kvaudio.speech_input(
        run, "speech.raw", "Voice files keep what you say. Adaptive differential pulse code modulation "
        "comes first, then linear predictive coding at twenty four hundred bits per second, and last the "
        "low delay variant of the full rate codec, one frame in every packet. Each recording takes up "
        "where the one before it stopped, so the speech must last long enough for all three of them. "
        "That is all for now.")
    copy = run.start("A", run.network("a")["a"], sound=True, dsp_in=path).ready()
    rec = kvaudio.Recorder(copy)
    recorded = {}
    for codec, name, seconds in [("adpcm", "mixed.vox", 4.0), ("lpc10", "mixed.vox", 2.7), ("ldgsm", "ldgsm.vox", 2.0)]:
        copy.choose_codec(kvaudio.BY_NAME[codec][0])
        recorded[codec] = kvaudio.parse_records(rec.record(name, seconds))
        kvaudio.check_records(recorded[codec], codec)
    n = {c: len(r) * kvaudio.BY_NAME[c][2] for c, r in recorded.items()}
    assert os.path.getsize(rec.path("mixed.vox")) == 927 * len(recorded["adpcm"]) + 164 * len(recorded["lpc10"])
    assert recorded["adpcm"][0][1][-3:] == bytes(3), "the coder's state at start-up in the first trailer"
    rec.play("mixed.vox")
    rec.play("ldgsm.vox")
    rec.start_playing("mixed.vox")  # and stop it at once
    copy.wait_output(f"Playing voice file {rec.path('mixed.vox')}")
    stopped = time.monotonic()
    copy.act(kvtest.TITLE, "File", "Stop")
    copy.wait_count(PLAY_DONE, rec.played)
    assert time.monotonic() - stopped < 8
    rec.wait_progress(False, 3)
    copy.quit()

    played = kvtest.read_s16(copy.dsp_out)
    full = sum(n.values())
    assert played.size > full
    off_adpcm, expected_adpcm = find_offset(run, "adpcm", source, played[:n["adpcm"]], 0)
    off_lpc, _ = find_offset(run, "lpc10", source, played[n["adpcm"]:n["adpcm"] + n["lpc10"]], off_adpcm + n["adpcm"])
    hint = off_lpc + n["lpc10"]
    off_ld, ld_frames = kvaudio.check_gsm_recording(recorded["ldgsm"], source, 160, max(0, hint - 8000))
    assert off_ld == hint, "the LD-GSM capture began where the LPC10 one stopped"
    ld_played = played[full - n["ldgsm"]:full]
    kvaudio.assert_same(ld_played, kvaudio.ulaw_levels(kvaudio.toast(ld_frames, decode=True)), "LD-GSM by toast")
    kvaudio.assert_same(ld_played, run.kvcodec("ldgsm", kvaudio.segment(source, off_ld, n["ldgsm"])), "LD-GSM")
    tool = os.path.join(run.build_dir, "tools", "kestrelvox_file", "kestrelvox-file")
    for name, part in (("mixed.vox", played[:full - n["ldgsm"]]), ("ldgsm.vox", ld_played)):
        kvtest.run_quiet([tool, "export", rec.path(name), rec.path(name + ".wav")])
        kvaudio.assert_same(np.fromfile(rec.path(name + ".wav"), np.int16)[22:], part, f"{name} exported")
    tail = played[full:]  # the stopped playback: whole ADPCM records, a prefix of the file
    assert tail.size % 1800 == 0 and 0 < tail.size < n["adpcm"]
    kvaudio.assert_same(tail, expected_adpcm[:tail.size], "the stopped playback")
