#!/usr/bin/python3
"""kestrelvox-file's H.263 pictures beside ffmpeg's h263 encoder, and its speed (by hand, not in CI).

On 10 s of ffmpeg's testsrc2 at 160 x 112 and 10 pictures per second, with spoken sound, for each
option set and quantiser: PSNR against the source and bytes per picture. ffmpeg's h263 encoder takes
the same pictures on QCIF, placed at the top left with black to the right and below (macroblocks
aligned); its PSNR is taken on the 160 x 112 part and its bytes include the black macroblocks.
For baseline, ffmpeg's bytes at the same PSNR are interpolated from its own curve. Then make-av
pictures per second and export speed in multiples of real time.

    /usr/bin/python3 tests/bench/file_tool_quality.py BUILD_DIR
"""
import math
import os
import re
import subprocess
import sys
import tempfile
import time

QUANTS = [4, 6, 8, 10, 14, 20]
OPTIONS = {"baseline": [], "unrestricted": ["--unrestricted-vectors"], "pb-frames": ["--pb-frames"],
           "unrestricted+pb": ["--unrestricted-vectors", "--pb-frames"], "advanced": ["--advanced-prediction"],
           "advanced+unr+pb": ["--advanced-prediction", "--unrestricted-vectors", "--pb-frames"]}


def sh(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True)


def psnr(a, b):
    """Average PSNR over all pictures, luma and both chroma planes (ffmpeg's psnr filter)."""
    err = sh("ffmpeg", "-v", "info", "-i", a, "-i", b, "-lavfi", "psnr", "-f", "null", "-").stderr
    return float(re.search(r"average:([\d.]+)", err).group(1))


def main():
    tool = os.path.join(sys.argv[1], "tools", "kestrelvox_file", "kestrelvox-file")
    d = tempfile.mkdtemp(prefix="kvfile-bench-")
    j = lambda n: os.path.join(d, n)  # noqa: E731
    sh("ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=160x112:rate=10", "-t", "10",
       "-pix_fmt", "yuv420p", j("src.y4m"))
    sh("ffmpeg", "-v", "error", "-i", j("src.y4m"), "-vf", "pad=176:144:0:0", j("qcif.y4m"))
    text = ("Sound and pictures travel together in an AV file. The pictures are small, one hundred and "
            "sixty by one hundred and twelve, and the sound is coded as in a call. ") * 2
    sh("sh", "-c", f"espeak-ng -v en-us --stdout '{text}' | sox -D -t wav - -r 8000 -c 1 -b 16 {j('speech.wav')} trim 0 10")

    print(f"{'encoder':<28}{'quant':>6}{'PSNR dB':>9}{'bytes/picture':>15}")
    ours = {}
    for label, opts in OPTIONS.items():
        for q in QUANTS:
            sh(tool, "make-av", j("speech.wav"), j("src.y4m"), j("av.avf"), "--quality", str(32 - q),
               "--reconstruction", j("rec.y4m"), *opts)
            info = sh(tool, "info", j("av.avf")).stdout
            video = sum(int(b) for b in re.findall(r"-picture\s+(\d+) bytes", info))
            pictures = int(re.search(r"video records, (\d+) pictures", info).group(1))
            p = psnr(j("rec.y4m"), j("src.y4m"))
            ours[label, q] = (p, video / pictures)
            print(f"kestrelvox-file {label:<12}{q:>6}{p:>9.2f}{video / pictures:>15.1f}")
    theirs = []
    for q in QUANTS:
        sh("ffmpeg", "-v", "error", "-y", "-i", j("qcif.y4m"), "-c:v", "h263", "-qmin", str(q), "-qmax", str(q),
           "-g", "1000", "-f", "nut", j("ff.nut"))  # nut keeps the 10 per second
        sh("ffmpeg", "-v", "error", "-y", "-i", j("ff.nut"), "-vf", "crop=160:112:0:0", "-pix_fmt", "yuv420p", j("ff.y4m"))
        p = psnr(j("ff.y4m"), j("src.y4m"))
        sizes = sh("ffprobe", "-v", "error", "-show_entries", "packet=size", "-of", "csv=p=0", j("ff.nut")).stdout.split()
        b = sum(map(int, sizes)) / len(sizes)
        theirs.append((p, b))
        print(f"{'ffmpeg h263 (QCIF, padded)':<28}{q:>6}{p:>9.2f}{b:>15.1f}")
    theirs.sort()
    print("\nbaseline against ffmpeg at equal PSNR (log-linear interpolation on ffmpeg's curve):")
    for q in QUANTS:
        p, b = ours["baseline", q]
        for (p0, b0), (p1, b1) in zip(theirs, theirs[1:]):
            if p0 <= p <= p1:
                ref = math.exp(math.log(b0) + (math.log(b1) - math.log(b0)) * (p - p0) / (p1 - p0))
                print(f"  quant {q}: {p:.2f} dB, {b:.0f} bytes against {ref:.0f}: {100 * (b / ref - 1):+.1f} %")
                break
        else:
            print(f"  quant {q}: {p:.2f} dB lies outside ffmpeg's range")

    start = time.monotonic()
    sh(tool, "make-av", j("speech.wav"), j("src.y4m"), j("av.avf"))
    spent = time.monotonic() - start
    print(f"\nmake-av: 100 pictures and 10 s of GSM sound in {spent:.2f} s: {100 / spent:.0f} pictures per second")
    sh("sox", j("speech.wav"), j("long.wav"), "repeat", "29")
    sh(tool, "import", j("long.wav"), j("long.vox"), "--codec", "gsm", "--split")
    parts = sorted(f for f in os.listdir(d) if f.startswith("long-"))
    for f, label in ((j(parts[0]), "GSM voice file"), (j("av.avf"), "AV file with video")):
        seconds = float(re.search(r"samples, ([\d.]+) s", sh(tool, "info", f).stdout).group(1))
        start = time.monotonic()
        for _ in range(5):
            sh(tool, "export", f, j("x.wav"), "--video", j("x.y4m"))
        spent = (time.monotonic() - start) / 5
        print(f"export of a {seconds:.0f} s {label}: {spent:.3f} s, {seconds / spent:.0f} times real time")


if __name__ == "__main__":
    main()
