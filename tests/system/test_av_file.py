#!/usr/bin/python3
"""AV files: an AV file of 24 pictures (I, P, unrestricted vectors, PB-frames) and GSM audio plays
with Ctrl+P; the picture area then shows its last picture (+-2 per channel), and its sound is sample
for sample the same audio records played as a voice file by another copy. Arithmetic-coded video is
reported once while the sound plays; /File/Stop ends an AV file early; the program quits with 0.
Files of kestrelvox-file: an imported ADPCM voice file plays exactly as the program's ADPCM pipeline
(kvcodec) codes the speech, and after an AV file made by make-av the picture area shows the last
picture of its reconstruction (+-2)."""
import os
import shutil
import subprocess
import sys
import time

import numpy as np

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
from kvtest import check, note  # noqa: E402
import test_voice_file as vf  # noqa: E402
from test_voice_file import PLAY_DONE, Recorder, quit_copy, wait_line_count  # noqa: E402

ARITH = ("This file's video uses arithmetic coding, which this build cannot decode; "
         "its sound plays on")


def start_copy(run, name, host, files):
    copy = run.start(name, host, sound=True, accessibility=True)
    copy.window = copy.wait_window()
    copy.wait_bound()
    for f in files:
        shutil.copy(f, copy.dir)
    return copy


def window_rgb(copy, path):
    """The copy's main window as an array of rows x columns x RGB."""
    copy.screenshot(path + ".png", copy.window)
    size = subprocess.run(["/usr/bin/identify", "-format", "%w %h", path + ".png"], capture_output=True,
                          text=True, check=True).stdout.split()
    subprocess.run(["/usr/bin/convert", path + ".png", "-depth", "8", "rgb:" + path + ".rgb"], check=True)
    w, h = int(size[0]), int(size[1])
    return np.fromfile(path + ".rgb", np.uint8).reshape(h, w, 3).astype(int)


def find_picture(shot, picture):
    """Largest per-channel difference of the best placement of picture inside shot."""
    best = 256
    ph, pw = picture.shape[:2]
    for y in range(shot.shape[0] - ph + 1):
        for x in range(shot.shape[1] - pw + 1):
            if abs(shot[y, x] - picture[0, 0]).max() > 2:
                continue
            best = min(best, int(abs(shot[y:y + ph, x:x + pw] - picture).max()))
    return best


def played_lines(copy, rec, name, timeout=60):
    before = len(copy.stdout_lines())
    rec.play(name, timeout=timeout)
    return copy.stdout_lines()[before:]


def test(run):
    host = run.network("a")["a"]
    files = os.path.join(run.workdir, "files")
    os.makedirs(files)
    kvtest.run_quiet([os.path.join(run.build_dir, "tests", "make_av_files"), files], timeout=60)
    paths = [os.path.join(files, n) for n in ("av.avf", "voice.vox", "arith.avf")]
    expected = np.fromfile(os.path.join(files, "last.rgb"), np.uint8).reshape(112, 160, 3).astype(int)
    tool = os.path.join(run.build_dir, "tools", "kestrelvox_file", "kestrelvox-file")
    speech = kvtest.speech("Made with the file tool.", os.path.join(files, "s.raw"))
    kvtest.run_quiet(["sox", "-r", "8000", "-e", "signed", "-b", "16", "-c", "1", os.path.join(files, "s.raw"),
                      os.path.join(files, "s.wav")])
    kvtest.run_quiet([tool, "import", os.path.join(files, "s.wav"), os.path.join(files, "imported.vox"),
                      "--codec", "adpcm"])
    kvtest.run_quiet(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=176x144:rate=10", "-t", "2",
                      "-pix_fmt", "yuv420p", os.path.join(files, "clip.y4m")])
    kvtest.run_quiet([tool, "make-av", os.path.join(files, "s.wav"), os.path.join(files, "clip.y4m"),
                      os.path.join(files, "made.avf"), "--pb-frames", "--reconstruction", os.path.join(files, "rec.y4m")])
    kvtest.run_quiet([os.path.join(run.build_dir, "tests", "make_av_files"), "--last-rgb", os.path.join(files, "rec.y4m"),
                      os.path.join(files, "made.rgb")])
    made_last = np.fromfile(os.path.join(files, "made.rgb"), np.uint8).reshape(112, 160, 3).astype(int)
    paths += [os.path.join(files, n) for n in ("imported.vox", "made.avf")]

    note("copy A plays the audio records as a voice file")
    a = start_copy(run, "A", host, paths)
    rec_a = Recorder(a)
    lines = played_lines(a, rec_a, "voice.vox")
    check(lines[-1] == PLAY_DONE, "the voice file plays to its end", repr(lines))
    played_lines(a, rec_a, "imported.vox")
    quit_copy(a)
    voice = kvtest.read_s16(a.dsp_out)
    block = 1800
    adpcm = vf.kvcodec(run, "adpcm", vf.segment(speech, 0, -(-speech.size // block) * block))
    check(np.array_equal(voice[8 * 3200:8 * 3200 + adpcm.size], adpcm),
          f"the imported ADPCM file plays exactly the program's ADPCM coding of the speech ({adpcm.size} samples)")
    voice = voice[:8 * 3200]

    note("copy B plays the AV file")
    b = start_copy(run, "B", host, paths)
    rec = Recorder(b)
    lines = played_lines(b, rec, "av.avf")
    check(lines == [f"Playing voice file {os.path.join(b.dir, 'av.avf')}", PLAY_DONE],
          f"the AV file plays with its start line and \"{PLAY_DONE}\" only", repr(lines))
    time.sleep(0.3)
    diff = find_picture(window_rgb(b, os.path.join(run.workdir, "av-last")), expected)
    check(diff <= 2, f"the picture area shows the file's last picture (largest difference {diff})")

    played_lines(b, rec, "made.avf")
    time.sleep(0.3)
    diff = find_picture(window_rgb(b, os.path.join(run.workdir, "made-last")), made_last)
    check(diff <= 2, f"after the make-av file the picture area shows its last reconstructed picture (largest difference {diff})")

    lines = played_lines(b, rec, "arith.avf")
    check(lines[1:] == [ARITH, PLAY_DONE], "arithmetic-coded video is reported once and the sound plays",
          repr(lines))

    note("/File/Stop during an AV file")
    rec.start_playing("av.avf")
    b.wait_output(f"Playing voice file {os.path.join(b.dir, 'av.avf')}", timeout=10)
    started = time.monotonic()
    time.sleep(0.8)
    b.act(kvtest.TITLE, "File", "Stop")
    rec.played += 1
    wait_line_count(b, PLAY_DONE, rec.played, 5)
    check(time.monotonic() - started < 2.4, "Stop ends the AV file before its 24 pictures could show")
    quit_copy(b)

    heard = kvtest.read_s16(b.dsp_out)
    check(heard.size >= 2 * voice.size and np.array_equal(heard[:voice.size], voice),
          f"the AV file's sound is sample for sample the voice file's ({voice.size} samples)",
          f"{heard.size} samples from B")


if __name__ == "__main__":
    kvtest.main(test, time_limit=240)
