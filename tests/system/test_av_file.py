"""Guards against AV pictures decoded or shown wrongly, AV sound unlike the voice file's, a Stop that does not stop."""
import os
import subprocess
import time

import numpy as np

import kvaudio
import kvtest
from kvaudio import PLAY_DONE

ARITH = "This file's video uses arithmetic coding, which this build cannot decode; its sound plays on"


def shown_picture_error(copy, path, picture):
    """Largest per-channel difference of the best placement of the 160 x 112 picture in the main window."""
    time.sleep(0.3)
    copy.screenshot(path + ".png")
    w, h = map(int, subprocess.run(["identify", "-format", "%w %h", path + ".png"], capture_output=True, text=True,
                                   check=True).stdout.split())
    subprocess.run(["convert", path + ".png", "-depth", "8", "rgb:" + path + ".rgb"], check=True)
    shot = np.fromfile(path + ".rgb", np.uint8).reshape(h, w, 3).astype(int)
    return min([int(abs(shot[y:y + 112, x:x + 160] - picture).max()) for y in range(h - 111) for x in range(w - 159)
                if abs(shot[y, x] - picture[0, 0]).max() <= 2] or [256])


def test_av_file(run):
    host = run.network("a")["a"]
    f = lambda name: os.path.join(run.workdir, "files", name)  # noqa: E731
    rgb = lambda name: np.fromfile(f(name), np.uint8).reshape(112, 160, 3).astype(int)  # noqa: E731
    os.makedirs(f(""))
    speech = kvtest.speech("Made with the file tool.", f("s.raw"))
    make_av_files = os.path.join(run.build_dir, "tests", "make_av_files")
    tool = os.path.join(run.build_dir, "tools", "kestrelvox_file", "kestrelvox-file")
    sox = ["sox", "-r", "8000", "-e", "signed", "-b", "16", "-c", "1", f("s.raw"), f("s.wav")]
    clip = ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=176x144:rate=10", "-t", "2", "-pix_fmt",
            "yuv420p", f("clip.y4m")]
    for cmd in ([make_av_files, f("")], sox, clip, [tool, "import", f("s.wav"), f("imported.vox"),
                "--codec", "adpcm"], [tool, "make-av", f("s.wav"), f("clip.y4m"), f("made.avf"), "--pb-frames",
                "--reconstruction", f("rec.y4m")], [make_av_files, "--last-rgb", f("rec.y4m"), f("made.rgb")]):
        kvtest.run_quiet(cmd, timeout=60)

    def start(name):  # one copy at a time: both use the port of the one host
        copy = run.start(name, host, sound=True).ready()
        for file in ("av.avf", "voice.vox", "arith.avf", "imported.vox", "made.avf"):
            os.link(f(file), os.path.join(copy.dir, file))
        return copy

    rec = kvaudio.Recorder(a := start("A"))
    rec.play("voice.vox")
    rec.play("imported.vox")
    a.quit()
    voice = kvtest.read_s16(a.dsp_out)
    adpcm = run.kvcodec("adpcm", np.pad(speech, (0, -speech.size % 1800)))
    assert np.array_equal(voice[8 * 3200:8 * 3200 + adpcm.size], adpcm), "the imported file plays the program's ADPCM"
    voice = voice[:8 * 3200]

    rec = kvaudio.Recorder(b := start("B"))
    assert rec.play("av.avf") == [f"Playing voice file {os.path.join(b.dir, 'av.avf')}", PLAY_DONE]
    assert shown_picture_error(b, os.path.join(run.workdir, "av-last"), rgb("last.rgb")) <= 2
    rec.play("made.avf")
    assert shown_picture_error(b, os.path.join(run.workdir, "made-last"), rgb("made.rgb")) <= 2
    assert rec.play("arith.avf")[1:] == [ARITH, PLAY_DONE]

    rec.start_playing("av.avf")
    started = time.monotonic()
    time.sleep(0.8)
    b.act(kvtest.TITLE, "File", "Stop")
    b.wait_count(PLAY_DONE, rec.played, 5)
    assert time.monotonic() - started < 2.4, "Stop ends the AV file before its 24 pictures could show"
    b.quit()
    heard = kvtest.read_s16(b.dsp_out)
    assert heard.size >= 2 * voice.size and np.array_equal(heard[:voice.size], voice), "the AV file's sound"
