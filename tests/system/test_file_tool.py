#!/usr/bin/python3
"""kestrelvox-file without the program: import then export equals kvcodec for every codec; sox and
ffprobe read the WAV, ffmpeg the pictures; make-av's pictures export exactly as its encoder
reconstructed them, with every option set; long input is split only on request; bad input and bad
usage give status 1 and 2 with a message naming the file, and leave no file behind."""
import os
import subprocess
import sys

import numpy as np

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import test_voice_file as vf  # noqa: E402
from kvtest import check, note  # noqa: E402

BLOCK = {"gsm": 3200, "adpcm": 1800, "lpc10": 3600, "ldgsm": 160}


def tool(run, *args, rc=0):
    p = subprocess.run([os.path.join(run.build_dir, "tools", "kestrelvox_file", "kestrelvox-file"), *args],
                       capture_output=True, text=True, timeout=300)
    check(p.returncode == rc, f"kestrelvox-file {' '.join(args[:1])} ends with status {rc}",
          f"{p.returncode}: {p.stderr.strip()}")
    return p


def probe(cmd):
    return subprocess.run(cmd, capture_output=True, text=True, check=True, timeout=60).stdout.split()


def wav_samples(path):
    return np.fromfile(path, np.int16)[22:]  # a 44-byte header as libsndfile writes it


def test(run):
    d = run.workdir
    w = lambda name: os.path.join(d, name)  # noqa: E731
    speech = kvtest.speech("Files keep what you say, in every codec the program knows.", w("s.raw"))
    subprocess.run(["sox", "-r", "8000", "-e", "signed", "-b", "16", "-c", "1", w("s.raw"), w("s.wav")], check=True)

    for codec, block in BLOCK.items():
        tool(run, "import", w("s.wav"), w(f"{codec}.vox"), "--codec", codec)
        tool(run, "export", w(f"{codec}.vox"), w(f"{codec}.wav"))
        expected = vf.kvcodec(run, codec, vf.segment(speech, 0, -(-speech.size // block) * block))
        check(np.array_equal(wav_samples(w(f"{codec}.wav")), expected),
              f"{codec}: export of the imported file equals kvcodec's output ({expected.size} samples)")
        rate, chans, bits, length = [probe(["soxi", o, w(f"{codec}.wav")])[0] for o in ("-r", "-c", "-b", "-s")]
        fmt = probe(["ffprobe", "-v", "error", "-show_entries", "stream=sample_rate,channels,codec_name",
                     "-of", "csv=p=0", w(f"{codec}.wav")])[0]
        check((rate, chans, bits, int(length)) == ("8000", "1", "16", expected.size) and fmt == "pcm_s16le,8000,1",
              f"{codec}: sox and ffprobe read 8000 Hz mono 16-bit of the right length", f"{rate} {chans} {bits} {length} {fmt}")

    note("other rates and channels go through libsamplerate")
    subprocess.run(["sox", "-r", "8000", "-e", "signed", "-b", "16", "-c", "1", w("s.raw"), "-r", "22050", "-c", "2",
                    w("s22.wav")], check=True)
    tool(run, "import", w("s22.wav"), w("s22.vox"), "--codec", "adpcm")
    tool(run, "export", w("s22.vox"), w("s22-out.wav"))
    check(abs(wav_samples(w("s22-out.wav")).size - speech.size) <= 1800, "a 22050 Hz stereo file keeps its length")

    note("make-av with each option set")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25", "-t", "4",
                    "-pix_fmt", "yuv420p", w("clip.y4m")], check=True)
    for opts in ([], ["--unrestricted-vectors"], ["--pb-frames", "--quality", "12"],
                 ["--unrestricted-vectors", "--pb-frames", "--codec", "lpc10"],
                 ["--advanced-prediction", "--unrestricted-vectors", "--pb-frames"]):
        tool(run, "make-av", w("s.wav"), w("clip.y4m"), w("av.avf"), "--reconstruction", w("rec.y4m"), *opts)
        tool(run, "export", w("av.avf"), w("av.wav"), "--video", w("av.y4m"))
        with open(w("rec.y4m"), "rb") as a, open(w("av.y4m"), "rb") as b:
            check(a.read() == b.read(), f"make-av {' '.join(opts)}: the exported pictures are the encoder's reconstruction")
        frames = probe(["ffprobe", "-v", "error", "-count_frames", "-show_entries", "stream=width,height,nb_read_frames",
                        "-of", "csv=p=0", w("av.y4m")])[0]
        want = f"160,112,{-(-wav_samples(w('av.wav')).size // 800)}"
        check(frames == want, "ffmpeg reads 160 x 112 pictures, 10 per second of the sound", f"{frames} against {want}")
    info = tool(run, "info", w("av.avf")).stdout
    check("I-picture" in info and "PB-picture" in info and "unrestricted-vectors" in info and "advanced-prediction" in info,
          "info lists picture types and options")

    note("a file past one recording's 204800 bytes")
    long_wav = w("long.wav")
    subprocess.run(["sox", w("s.wav"), long_wav, "repeat", "40"], check=True)
    tool(run, "import", long_wav, w("long.vox"), "--codec", "ulaw", rc=1)
    tool(run, "import", long_wav, w("long.vox"), "--codec", "adpcm", "--split")
    parts = sorted(f for f in os.listdir(d) if f.startswith("long-"))
    sizes = [os.path.getsize(w(f)) for f in parts]
    check(len(parts) >= 2 and all(204800 < s <= 204800 + 927 for s in sizes[:-1]),
          "--split writes parts that each end with the record crossing 204800 bytes", str(list(zip(parts, sizes))))

    note("bad input")
    with open(w("s.wav"), "rb") as f:
        data = f.read()
    with open(w("cut.wav"), "wb") as f:
        f.write(data[:len(data) // 2])
    with open(w("text.wav"), "wb") as f:
        f.write(b"RIFF\x20\x00\x00\x00WAVEnot audio at all, only words" * 4)
    with open(w("bad.y4m"), "wb") as f:
        f.write(b"YUV4MPEG2 W160 H112 F10:1 C444\nFRAME\n")
    with open(w("gsm.vox"), "rb") as f:
        vox = f.read()
    with open(w("damaged.vox"), "wb") as f:
        f.write(vox[:686 * 2] + b"\x02\x3e\x00\x00\xff\xff\x00\x00" + vox[686 * 2 + 8:])
    os.makedirs(w("locked"))
    os.chmod(w("locked"), 0o555)
    cases = [("cut.wav", ["import", w("cut.wav"), w("out.vox"), "--codec", "gsm"], "cut short"),
             ("text.wav", ["import", w("text.wav"), w("out.vox"), "--codec", "gsm"], "not a sound file"),
             ("bad.y4m", ["make-av", w("s.wav"), w("bad.y4m"), w("out.avf")], "is not 8-bit 4:2:0"),
             ("locked/out.vox", ["import", w("s.wav"), w("locked/out.vox"), "--codec", "gsm"], "Permission denied"),
             ("damaged.vox", ["export", w("damaged.vox"), w("out.wav")], "damaged at byte 1372")]
    before = set(os.listdir(d))
    for name, args, why in cases:
        err = subprocess.run(["setpriv", "--reuid=nobody", "--clear-groups", os.path.join(
            run.build_dir, "tools", "kestrelvox_file", "kestrelvox-file"), *args] if name.startswith("locked")
            else [os.path.join(run.build_dir, "tools", "kestrelvox_file", "kestrelvox-file"), *args],
            capture_output=True, text=True, timeout=60)
        check(err.returncode == 1 and name in err.stderr and why in err.stderr,
              f"{name}: status 1 and a message naming the file: {why}", f"{err.returncode} {err.stderr.strip()}")
    check(set(os.listdir(d)) == before and os.listdir(w("locked")) == [], "no output and no temporary file is left")
    tool(run, "info", w("damaged.vox"), rc=1)
    tool(run, "import", w("s.wav"), w("out.vox"), "--codec", "opus", rc=2)
    tool(run, "export", w("s.wav"), rc=2)


if __name__ == "__main__":
    kvtest.main(test, time_limit=300)
