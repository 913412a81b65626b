"""Guards against codec output that is merely self-consistent: independent oracles (u-law tables, libgsm's toast, an IMA coder) and voice-file driving shared by the sound tests."""
import os
import re
import subprocess
import time

import numpy as np

import kvtest

# (dialog label, kvcodec name, samples per packet, codec word, payload bytes)
CODECS = [("ADPCM", "adpcm", 1800, 0x200, 903), ("GSM", "gsm", 3200, 0x20, 662),
          ("LD-GSM", "ldgsm", 160, 0x20, 35), ("LPC10", "lpc10", 3600, 0x20000, 140)]
BY_NAME = {c[1]: c for c in CODECS}
GSM_FRAME = 33
HEADER = 24
PLAY_BUSY = "Audio device occupied,\nPlaying not allowed!  "
RECORD_BUSY = "Audio device occupied,\nRecording not allowed!"
REFUSED = "This file can not be played"
RECORD_DONE = "Voice recording completed"
PLAY_DONE = "Voice file playing completed"
NO_DSP = "open /dev/dsp: No such file or directory"
TOOLKIT_DIAGNOSTIC = re.compile(r"^(\*\* )?\(kestrelvox:\d+\): ")

# The program's u-law levels: L[k] for k = 16 x segment + step; code 255 - k is L[k], 127 - k is -L[k].
LEVELS = [
    0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 88, 96, 104, 112, 120,
    132, 148, 164, 180, 196, 212, 228, 245, 261, 277, 293, 309, 325, 341, 357, 373,
    397, 429, 461, 494, 526, 558, 590, 622, 654, 686, 718, 751, 783, 815, 847, 879,
    927, 992, 1056, 1120, 1184, 1249, 1313, 1377, 1441, 1506, 1570, 1634, 1698, 1763, 1827, 1891,
    1988, 2116, 2245, 2373, 2502, 2630, 2759, 2887, 3016, 3144, 3273, 3402, 3530, 3659, 3787, 3916,
    4108, 4365, 4623, 4880, 5137, 5394, 5651, 5908, 6165, 6422, 6679, 6936, 7193, 7450, 7707, 7964,
    8350, 8864, 9378, 9892, 10406, 10920, 11435, 11949, 12463, 12977, 13491, 14005, 14519, 15033,
    15548, 16062,
    16833, 17861, 18889, 19918, 20946, 21974, 23002, 24031, 25059, 26087, 27115, 28143, 29172, 30200,
    31228, 32256]
# Lowest 13-bit value v (a sample shifted right by 3) coded as 255 - k, for v >= 0 ...
POSITIVE_FROM = [
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
    16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 38, 40, 42, 44, 46,
    48, 52, 56, 60, 64, 68, 72, 76, 80, 84, 88, 92, 96, 100, 104, 108,
    112, 120, 128, 136, 144, 152, 160, 168, 176, 184, 192, 200, 208, 217, 225, 233,
    241, 257, 273, 289, 305, 321, 337, 353, 369, 385, 401, 417, 433, 449, 466, 482,
    498, 530, 562, 594, 626, 658, 690, 723, 755, 787, 819, 851, 883, 915, 948, 980,
    1012, 1076, 1140, 1205, 1269, 1333, 1397, 1462, 1526, 1590, 1654, 1719, 1783, 1847, 1911, 1976,
    2040, 2169, 2297, 2426, 2554, 2683, 2811, 2940, 3068, 3197, 3325, 3454, 3582, 3711, 3839, 3968]
# ... and lowest -v coded as 127 - k, for v < 0 (k from 1: 0x7F is never produced).
NEGATIVE_FROM = [
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
    16, 18, 20, 22, 24, 26, 28, 30, 33, 35, 37, 39, 41, 43, 45, 47,
    49, 53, 57, 61, 65, 69, 73, 77, 81, 85, 89, 93, 97, 101, 105, 109,
    113, 121, 129, 137, 145, 153, 161, 169, 177, 185, 193, 201, 209, 217, 225, 233,
    241, 257, 273, 290, 306, 322, 338, 354, 370, 386, 402, 418, 434, 450, 466, 482,
    498, 531, 563, 595, 627, 659, 691, 723, 755, 788, 820, 852, 884, 916, 948, 980,
    1013, 1077, 1141, 1205, 1270, 1334, 1398, 1462, 1527, 1591, 1655, 1719, 1784, 1848, 1912, 1977,
    2041, 2169, 2298, 2426, 2555, 2683, 2812, 2940, 3069, 3198, 3326, 3455, 3583, 3712, 3840, 3969]
IMA_INDEX = [-1, -1, -1, -1, 2, 4, 6, 8] * 2
IMA_STEP = [
    7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45, 50, 55, 60, 66,
    73, 80, 88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230, 253, 279, 307, 337, 371, 408, 449,
    494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066, 2272,
    2499, 2749, 3024, 3327, 3660, 4026, 4428, 4871, 5358, 5894, 6484, 7132, 7845, 8630, 9493,
    10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767]

U2S = np.zeros(256, dtype=np.int16)
for _k, _level in enumerate(LEVELS):
    U2S[255 - _k], U2S[127 - _k] = _level, -_level
_v = np.arange(8192)
_v = np.where(_v < 4096, _v, _v - 8192)
S2U = np.where(_v >= 0, 255 - (np.searchsorted(POSITIVE_FROM, _v, side="right") - 1),
               127 - np.searchsorted(NEGATIVE_FROM, -_v, side="right")).astype(np.uint8)


def ulaw_codes(samples):
    return S2U[np.asarray(samples).astype(np.int16).view(np.uint16) >> 3]


def ulaw_levels(samples):  # as the engine carries them: to u-law and back
    return U2S[ulaw_codes(samples)]


def toast(data, decode=False):
    """libgsm's toast: samples to 33-byte frames, or frame bytes back to samples."""
    kvtest.need("toast")
    data = bytes(data) if decode else np.asarray(data, dtype="<i2").tobytes()
    out = subprocess.run(["toast", "-l", "-c"] + (["-d"] if decode else []), input=data,
                         capture_output=True, timeout=60, check=True).stdout
    return np.frombuffer(out, dtype="<i2").astype(np.int16) if decode else out


def gsm_by_toast(samples):  # what a GSM receiver plays: toast on the u-law levels, u-law again
    return ulaw_levels(toast(toast(ulaw_levels(samples)), decode=True))


def gsm_payloads(samples, block):
    """GSM and LD-GSM payloads by toast: the sample count (big-endian), then the block's frames."""
    frames = toast(ulaw_levels(samples))
    per_block = block // 160 * GSM_FRAME
    return [block.to_bytes(2, "big") + frames[i:i + per_block] for i in range(0, len(frames), per_block)]


def adpcm_by_model(samples, block):
    """An IMA coder on the u-law levels, state (0, 0) carried from packet to packet: (what is played, payloads).
    A payload: the codes, earlier in the high nibble, then the state before it (big-endian value, index)."""
    predicted, index, levels, codes, states = 0, 0, [], [], []
    for n, x in enumerate(ulaw_levels(samples).tolist()):
        if n % block == 0:
            states.append((predicted, index))
        step, d = IMA_STEP[index], x - predicted
        sign, d = (8 if d < 0 else 0), abs(d)
        code, q = 0, step >> 3
        for bit in (4, 2, 1):
            if d >= step:
                code, d, q = code | bit, d - step, q + step
            step >>= 1
        predicted = max(-32768, min(32767, predicted - q if sign else predicted + q))
        index = max(0, min(88, index + IMA_INDEX[code | sign]))
        levels.append(predicted)
        codes.append(code | sign)
    payloads = []
    for k, (before, before_index) in enumerate(states):
        c = codes[k * block:(k + 1) * block]
        payloads.append(bytes((c[i] << 4) | c[i + 1] for i in range(0, len(c), 2))
                        + (before & 0xFFFF).to_bytes(2, "big") + bytes([before_index]))
    return ulaw_levels(np.array(levels, dtype=np.int32).astype(np.int16)), payloads


def segment(samples, start, length):
    """samples[start:start + length], then silence (what the card captures after its input ends)."""
    out = np.zeros(max(length, 0), dtype=np.int16)
    part = samples[start:start + length]
    out[:part.size] = part
    return out


def capture_start(sent, heard, block, expect_from, lag, search=400):
    """Where capture began: the o nearest `lag` at which expect_from(sent from o on) is `heard`, or None."""
    for o in sorted(range(max(0, lag - search), min(len(sent), lag + search + 1)), key=lambda o: abs(o - lag)):
        first = expect_from(segment(sent, o, block))  # the first packet depends on its block only
        if np.array_equal(first, heard[:len(first)]) and np.array_equal(
                expect_from(segment(sent, o, max(len(heard), len(sent) - o)))[:len(heard)], heard):
            return o
    return None


def assert_same(played, expected, what):
    diff = np.nonzero(played[:len(expected)] != expected[:len(played)])[0]
    assert played.size == expected.size and not diff.size, \
        f"{what}: lengths {len(played)}, {len(expected)}; {diff.size} differ, from {diff[:1]}"


def best_alignment(source, probe):
    """The offset in source where probe matches best (normalised cross-correlation), and that score."""
    source, probe = np.asarray(source, dtype=np.float64), np.asarray(probe, dtype=np.float64)
    if probe.size == 0 or source.size < probe.size or not probe.any():
        return 0, 0.0
    size = 1 << int(np.ceil(np.log2(source.size + probe.size)))
    corr = np.fft.irfft(np.fft.rfft(source, size) * np.conj(np.fft.rfft(probe, size)), size)
    window = np.concatenate(([0.0], np.cumsum(source * source)))  # each placement's energy, in linear time
    energy = np.sqrt(np.maximum(window[probe.size:] - window[:-probe.size], 1e-9))
    score = corr[:source.size - probe.size + 1] / (energy * np.linalg.norm(probe))
    return int(np.argmax(score)), float(np.max(score))


# ---------------------------------------------------------------------------------------------
# Voice files


def parse_records(data):
    """The records of a voice file as (header, payload) pairs."""
    records, at = [], 0
    while at < len(data):
        length = int.from_bytes(data[at + 4:at + 8], "little") if at + 8 <= len(data) else 0
        assert HEADER <= length <= len(data) - at, f"broken record at byte {at} (length {length})"
        records.append((data[at:at + HEADER], data[at + HEADER:at + length]))
        at += length
    return records


def check_records(records, codec):
    """Every record carries the header of an audio record of this codec, little-endian."""
    _, _, _, word, size = BY_NAME[codec]
    expected = (b"\x02\x3e\0\0" + (HEADER + size).to_bytes(4, "little") + word.to_bytes(4, "little")
                + bytes(4) + word.to_bytes(4, "little") + size.to_bytes(4, "little"))
    bad = [h.hex(" ") for h, p in records if h != expected or len(p) != size]
    assert records and not bad, f"{codec}: headers {bad[:3]} differ from {expected.hex(' ')}"


def gsm_frames(records, count):
    """The 33-byte frames of GSM records, each record's big-endian sample count checked."""
    assert {p[:2] for _, p in records} == {count.to_bytes(2, "big")}
    return b"".join(p[2:] for _, p in records)


def check_gsm_recording(records, source, count, start_hint=0):
    """(offset, frames): the frames are toast's coding of the input's u-law levels from where capture began."""
    frames = gsm_frames(records, count)
    samples = len(frames) // GSM_FRAME * 160
    offset, score = best_alignment(source[start_hint:], toast(frames, decode=True)[:3200])
    offset += start_hint
    # Past the end of the input every offset would give the same frames of silence.
    assert score > 0.5 and offset + samples <= source.size, (offset, score)
    expected = toast(ulaw_levels(segment(source, offset, samples)))
    assert expected == frames, f"GSM frames differ from toast's from input sample {offset}"
    return offset, frames


def device_reports(copy):  # standard error without the toolkit's diagnostics
    return [line for line in copy.stderr().splitlines() if line.strip() and not TOOLKIT_DIAGNOSTIC.match(line)]


def check_alsa_startup(copy):
    """Without /dev/dsp the program says so and says once that it uses ALSA's default device."""
    copy.wait_output(NO_DSP, timeout=5, stream="stderr")
    lines = [line for line in copy.stdout_lines() if "ALSA" in line]
    assert len(lines) == 1 and "default" in lines[0], copy.stdout_lines()


def check_alsa_reports(copy, overrun_certain=False, underrun_certain=False):
    """Standard error: the /dev/dsp line and at most one report of each xrun (one where certain), nothing else."""
    lines = device_reports(copy)
    for kind, certain in (("overrun", overrun_certain), ("underrun", underrun_certain)):
        found = [line for line in lines if kind in line.lower()]
        assert len(found) == 1 if certain else len(found) <= 1, (kind, lines)
    assert [line for line in lines if "run" not in line.lower()] == [NO_DSP], lines


def speech_input(run, name, text, voice="en-us"):
    return os.path.join(run.workdir, name), kvtest.speech(text, os.path.join(run.workdir, name), voice)


class Recorder:
    """Records and plays voice files in a copy through its menu, file chooser and Stop."""

    def __init__(self, copy):
        self.copy, self.recorded, self.played, self.refused = copy, 0, 0, 0

    def path(self, name):
        return os.path.join(self.copy.dir, name)

    def _choose(self, keys, title, name):
        copy = self.copy
        copy.key(copy.window, keys)
        chooser = copy.wait_window(title)
        copy.key(chooser, "ctrl+a")
        copy.type_text(chooser, name)
        copy.key(chooser, "Return")
        copy.window_gone(title)

    def start_recording(self, name):
        self._choose("ctrl+r", "Record Voice File", name)
        self.copy.wait_output(f"Recording voice file  {self.path(name)}")

    def stop_recording(self):
        self.copy.act(kvtest.TITLE, "File", "Stop")
        self.recorded += 1
        self.copy.wait_count(RECORD_DONE, self.recorded)

    def record(self, name, seconds):  # returns the bytes this recording added
        path = self.path(name)
        before = os.path.getsize(path) if os.path.exists(path) else 0
        self.start_recording(name)
        time.sleep(seconds)
        self.stop_recording()
        with open(path, "rb") as f:
            return f.read()[before:]

    def start_playing(self, name):
        self._choose("ctrl+p", "Play Voice File", name)
        self.played += 1

    def play(self, name, timeout=30):  # to its end; returns the lines it printed
        before = len(self.copy.stdout_lines())
        self.start_playing(name)
        self.copy.wait_count(PLAY_DONE, self.played, timeout)
        return self.copy.stdout_lines()[before:]

    def refuse(self, name):
        """Playing name is refused: "This file can not be played", nothing else, and its box."""
        before = len(self.copy.stdout_lines())
        self._choose("ctrl+p", "Play Voice File", name)
        self.refused += 1
        self.copy.wait_count(REFUSED, self.refused)
        assert self.copy.stdout_lines()[before:] == [REFUSED], name
        # Its box takes the focus whenever it comes up: closed before the next key.
        self.copy.wait_window("Cannot Play File")
        self.copy.act("Cannot Play File", "OK")
        self.copy.window_gone("Cannot Play File")

    def busy_box(self, keys, text, chooser_title):
        """keys while a file operation runs show "System Busy" with text and no chooser."""
        copy = self.copy
        copy.key(copy.window, keys)
        copy.wait_window("System Busy")
        assert text in copy.labels("System Busy")
        assert not copy.find_windows(chooser_title)
        copy.act("System Busy", "OK")
        copy.window_gone("System Busy")

    def wait_progress(self, showing, timeout=5):
        def probe():
            bars = kvtest.find_nodes(self.copy.tree(kvtest.TITLE), role="progress bar")
            assert len(bars) == 1, f"{len(bars)} progress bars"
            return ("showing" in bars[0]["states"]) == showing
        kvtest.poll(probe, timeout, f"the progress bar {'shown' if showing else 'hidden'}", interval=0.2)


# ---------------------------------------------------------------------------------------------
# Calls


def check_call_lines(copy, peer_ip, caller):
    """Each call line once (an answer's thread races with the receiver's line); no engine failure."""
    lines = copy.stdout_lines()
    calls = [line for line in lines if line.startswith(("Sending to", "Receiving from"))]
    expected = [f"Sending to host {peer_ip}", f"Receiving from host {peer_ip}"]
    assert (calls if caller else sorted(calls)) == (expected if caller else sorted(expected)), lines
    assert not [line for line in copy.stderr().splitlines() if line.startswith((
        "open audio", "binding audio", "connecting audio", "audio read", "receiving audio",
        "malloc for audio"))], copy.stderr().splitlines()


def check_direction(run, sender, receiver, sent, codec):
    """`receiver` played every block `sender` captured once, in order, sample for sample what kvcodec and the
    independent coders make of it, following the sentence's loudness. Returns the captured samples."""
    block = BY_NAME[codec][2]
    reads, writes = sender.device_transfers("read"), receiver.device_transfers("write")
    assert reads and set(reads) == {2 * block}, reads
    assert writes == reads, f"{len(writes)} writes for {len(reads)} blocks"
    heard = kvtest.read_s16(receiver.dsp_out)
    assert heard.size == sum(writes) // 2
    by_kvcodec = lambda x: run.kvcodec(codec, x)  # noqa: E731
    lag = best_alignment(by_kvcodec(segment(sent, 0, len(sent) + len(heard))), heard)[0]
    offset = capture_start(sent, heard, block, by_kvcodec, lag)
    assert offset is not None, f"{codec} at {receiver.name}: no capture start near {lag} gives what was heard"
    captured = segment(sent, offset, len(heard))
    independent = {"gsm": gsm_by_toast, "ldgsm": gsm_by_toast,
                   "adpcm": lambda x: adpcm_by_model(x, block)[0]}.get(codec)
    if independent:
        assert_same(heard, independent(captured), f"{codec} against the independent coder")
    # Loudness per 20 ms follows the sentence (LPC-10 speaks about 150 ms late).
    levels = kvtest.frame_rms(heard)
    spoken = kvtest.frame_rms(captured)[:len(levels)]
    corr = max(float(np.corrcoef(levels[d:], spoken[:len(spoken) - d])[0, 1]) for d in range(16))
    assert corr >= 0.8, corr
    return captured
