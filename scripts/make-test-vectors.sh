#!/usr/bin/env bash
# Regenerates the reference vectors in tests/data from independent tools, so
# that the unit tests need none of them at run time:
#   speech_*.raw          espeak-ng sentences at 8 kHz through sox -D (no
#                         dither, so every run gives the same samples)
#   signal_*.raw          test signals: pitch glides, pitch steps, onsets
#                         (both at the program's u-law levels, as every
#                         codec in the program sees its input; tools/kvcodec)
#   *.lpc10               sox's LPC-10e frames of each (7 bytes per 180
#                         samples, bits packed most significant first)
#   *.lpc10.decoded.raw   sox's decoding of its own frames (two voices)
#   gsm_levels.raw        one sentence in whole 3200-sample blocks
#   gsm_levels.gsm        libgsm's toast frames of it
#   gsm_levels.decoded.raw  toast's decoding of those frames
# Samples are signed 16-bit little-endian mono 8000 Hz.
#
#   scripts/make-test-vectors.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
kvcodec=$build/tools/kvcodec/kvcodec
out=tests/data

for tool in espeak-ng sox toast /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "make-test-vectors: $tool not found" >&2; exit 1; }
done
[ -x "$kvcodec" ] || { echo "make-test-vectors: build $kvcodec first" >&2; exit 1; }
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Brings file $1 to the program's u-law levels.
ulaw_levels() {
    "$kvcodec" none "$1" "$tmp/levels" && mv "$tmp/levels" "$1"
}

# Keeps the first whole multiple of $2 samples of file $1.
cut_to() {
    local bytes=$(( $(stat -c %s "$1") / ($2 * 2) * ($2 * 2) ))
    head -c "$bytes" "$1" > "$tmp/cut" && mv "$tmp/cut" "$1"
}

speak() { # voice, name, text
    espeak-ng -v "$1" --stdout "$3" |
        sox -D -t wav - -r 8000 -c 1 -b 16 -e signed-integer -t raw "$out/speech_$2.raw"
    ulaw_levels "$out/speech_$2.raw"
    cut_to "$out/speech_$2.raw" 180
}
speak en-us en-us "The quick brown fox jumps over the lazy dog. She sells sea shells by the sea shore."
speak en-gb en-gb "Please call me back tomorrow morning at nine o'clock, the meeting was moved."
speak de de "Guten Tag, wie geht es Ihnen heute? Das Wetter ist schoen."
speak en-us+f3 en-us-f3 "Seven slow ships sailed through the harbour while the bells were ringing."
speak fr fr "Bonjour, je voudrais reserver une table pour deux personnes ce soir a huit heures."

# Signals that isolate single behaviours of the analysis: pitch glides and
# steps (tracking, pitch-synchronous windows), onsets after silence at several
# levels (onset detection, window placement) and a start in noise (the voicing
# classifier's first energy averages).
/usr/bin/python3 - "$out" <<'EOF'
import sys
import numpy as np

out = sys.argv[1]
state = {"seed": 12345}

def vowel(n, f0_start, f0_end, peak):
    """A pulse train at a gliding pitch through three formant resonators."""
    x = np.zeros(n)
    phase = 1.0
    for i in range(n):
        phase += (f0_start + (f0_end - f0_start) * i / n) / 8000.0
        if phase >= 1.0:
            phase -= 1.0
            x[i] = 1.0
    for f, bw in ((700, 80), (1200, 90), (2600, 120)):
        r = np.exp(-np.pi * bw / 8000.0)
        a1, a2 = -2 * r * np.cos(2 * np.pi * f / 8000.0), r * r
        y1 = y2 = 0.0
        for i in range(n):
            y = x[i] - a1 * y1 - a2 * y2
            y2, y1 = y1, y
            x[i] = y
    return x * peak / max(np.abs(x).max(), 1e-9)

def noise(n, sd):
    """Deterministic noise: sums of four uniforms from a 32-bit LCG."""
    x = np.zeros(n)
    for i in range(n):
        total = 0.0
        for _ in range(4):
            state["seed"] = (state["seed"] * 1664525 + 1013904223) % 2**32
            total += (state["seed"] >> 8) / 16777216.0 - 0.5
        x[i] = total * np.sqrt(3.0) * sd
    return x

signals = {
    "glides": [noise(8000, 300), vowel(8000, 80, 250, 8000), np.zeros(4000), vowel(8000, 300, 90, 5000)],
    "steps": [part for f0 in (100, 140, 95, 180, 120, 210, 70)
              for part in (vowel(2667, f0, f0, 6000), noise(1000, 30))],
    "onsets": [part for peak in (500, 2000, 8000, 20000)
               for part in (np.zeros(4000), vowel(2000, 130, 130, peak), noise(1333, peak / 5))],
}
for name, parts in signals.items():
    x = np.clip(np.rint(np.concatenate(parts)), -32768, 32767).astype("<i2")
    x[: len(x) // 180 * 180].tofile(f"{out}/signal_{name}.raw")
EOF

for raw in "$out"/signal_*.raw; do
    ulaw_levels "$raw"
    cut_to "$raw" 180
done
for raw in "$out"/speech_*.raw "$out"/signal_*.raw; do
    sox -t raw -r 8000 -e signed -b 16 -c 1 "$raw" -t lpc10 "${raw%.raw}.lpc10"
done
for name in en-us de; do
    sox -t lpc10 "$out/speech_$name.lpc10" -t raw -e signed -b 16 "$out/speech_$name.lpc10.decoded.raw"
done

cp "$out/speech_en-gb.raw" "$out/gsm_levels.raw"
cut_to "$out/gsm_levels.raw" 3200
toast -l -c "$out/gsm_levels.raw" > "$out/gsm_levels.gsm"
toast -d -l -c "$out/gsm_levels.gsm" > "$out/gsm_levels.decoded.raw"
ls -l "$out"
