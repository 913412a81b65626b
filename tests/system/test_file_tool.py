"""Guards against kestrelvox-file output unlike the program's coders, wrong splits, bad input taken or left behind."""
import os
import pathlib
import subprocess

import numpy as np
import pytest

import kvtest

BLOCK = {"gsm": 3200, "adpcm": 1800, "lpc10": 3600, "ldgsm": 160}


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    d = tmp_path_factory.mktemp("inputs")
    speech = kvtest.speech("Files keep what you say, in every codec the program knows.", str(d / "s.raw"))
    subprocess.run(["sox", "-r", "8000", "-e", "signed", "-b", "16", "-c", "1", d / "s.raw", d / "s.wav"], check=True)
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25", "-t", "4",
                    "-pix_fmt", "yuv420p", d / "clip.y4m"], check=True)
    return speech, str(d / "s.wav"), str(d / "clip.y4m")


def tool(run, *args, rc=0, user=()):
    p = subprocess.run([*user, os.path.join(run.build_dir, "tools", "kestrelvox_file", "kestrelvox-file"), *args],
                       capture_output=True, text=True, timeout=300)
    assert p.returncode == rc, f"kestrelvox-file {' '.join(map(str, args))}: {p.returncode} {p.stderr}"
    return p


def probe(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True, check=True, timeout=60).stdout.split()[0]


def wav_samples(path):
    return np.fromfile(path, np.int16)[22:]  # a 44-byte header as libsndfile writes it


@pytest.mark.parametrize("codec", BLOCK)
def test_round_trip_equals_program_coders(run, inputs, codec):
    speech, wav, _ = inputs
    vox, out = os.path.join(run.workdir, "f.vox"), os.path.join(run.workdir, "f.wav")
    tool(run, "import", wav, vox, "--codec", codec)
    tool(run, "export", vox, out)
    expected = run.kvcodec(codec, np.pad(speech, (0, -speech.size % BLOCK[codec])))
    assert np.array_equal(wav_samples(out), expected)
    assert probe("ffprobe", "-v", "error", "-show_entries", "stream=codec_name,sample_rate,channels,duration_ts",
                 "-of", "csv=p=0", out) == f"pcm_s16le,8000,1,{expected.size}"


def test_other_rates_and_long_input(run, inputs):
    speech, wav, _ = inputs
    w = lambda name: os.path.join(run.workdir, name)  # noqa: E731
    subprocess.run(["sox", wav, "-r", "22050", "-c", "2", w("s22.wav")], check=True)
    tool(run, "import", w("s22.wav"), w("s22.vox"), "--codec", "adpcm")
    tool(run, "export", w("s22.vox"), w("s22-out.wav"))
    assert abs(wav_samples(w("s22-out.wav")).size - speech.size) <= 1800
    subprocess.run(["sox", wav, w("long.wav"), "repeat", "40"], check=True)
    tool(run, "import", w("long.wav"), w("long.vox"), "--codec", "ulaw", rc=1)
    tool(run, "import", w("long.wav"), w("long.vox"), "--codec", "adpcm", "--split")
    sizes = [os.path.getsize(w(f)) for f in sorted(os.listdir(run.workdir)) if f.startswith("long-")]
    assert len(sizes) >= 2 and all(204800 < s <= 204800 + 927 for s in sizes[:-1]), sizes


@pytest.mark.parametrize("opts", [[], ["--unrestricted-vectors"], ["--pb-frames", "--quality", "12"],
                                  ["--unrestricted-vectors", "--pb-frames", "--codec", "lpc10"],
                                  ["--advanced-prediction", "--unrestricted-vectors", "--pb-frames"]], ids=str)
def test_make_av_pictures_are_the_reconstruction(run, inputs, opts):
    _, wav, clip = inputs
    w = lambda name: os.path.join(run.workdir, name)  # noqa: E731
    tool(run, "make-av", wav, clip, w("av.avf"), "--reconstruction", w("rec.y4m"), *opts)
    tool(run, "export", w("av.avf"), w("av.wav"), "--video", w("av.y4m"))
    assert pathlib.Path(w("rec.y4m")).read_bytes() == pathlib.Path(w("av.y4m")).read_bytes()
    assert probe("ffprobe", "-v", "error", "-count_frames", "-show_entries", "stream=width,height,nb_read_frames",
                 "-of", "csv=p=0", w("av.y4m")) == f"160,112,{-(-wav_samples(w('av.wav')).size // 800)}"
    info = tool(run, "info", w("av.avf")).stdout
    want = ["I-picture"] + ["PB-picture"] * ("--pb-frames" in opts) + [
        o[2:] for o in opts if o in ("--unrestricted-vectors", "--advanced-prediction")]
    assert all(word in info for word in want), info


def test_bad_input_and_usage(run, inputs):
    d = pathlib.Path(run.workdir)
    (d / "s.wav").write_bytes(data := pathlib.Path(inputs[1]).read_bytes())  # readable by the unprivileged user
    wav = d / "s.wav"
    tool(run, "import", wav, d / "gsm.vox", "--codec", "gsm")
    vox = (d / "gsm.vox").read_bytes()
    for name, content in {"cut.wav": data[:len(data) // 2], "bad.y4m": b"YUV4MPEG2 W160 H112 F10:1 C444\nFRAME\n",
                          "text.wav": b"RIFF\x20\x00\x00\x00WAVEnot audio at all, only words" * 4,
                          "damaged.vox": vox[:1372] + b"\x02\x3e\x00\x00\xff\xff\x00\x00" + vox[1380:]}.items():
        (d / name).write_bytes(content)
    (d / "locked").mkdir(0o555)
    before = set(os.listdir(d))
    for name, args, why in [("cut.wav", ["import", d / "cut.wav", d / "o.vox", "--codec", "gsm"], "cut short"),
                            ("text.wav", ["import", d / "text.wav", d / "o.vox", "--codec", "gsm"], "not a sound file"),
                            ("bad.y4m", ["make-av", wav, d / "bad.y4m", d / "o.avf"], "is not 8-bit 4:2:0"),
                            ("locked/o.vox", ["import", wav, d / "locked/o.vox", "--codec", "gsm"], "Permission denied"),
                            ("damaged.vox", ["export", d / "damaged.vox", d / "o.wav"], "damaged at byte 1372")]:
        user = ("setpriv", "--reuid=nobody", "--clear-groups") if name.startswith("locked") else ()
        err = tool(run, *args, rc=1, user=user).stderr
        assert name in err and why in err, err
    assert set(os.listdir(d)) == before and os.listdir(d / "locked") == [], "an output or temporary file is left"
    tool(run, "info", d / "damaged.vox", rc=1)
    tool(run, "import", wav, d / "out.vox", "--codec", "opus", rc=2)
    tool(run, "export", wav, rc=2)
