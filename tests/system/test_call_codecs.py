#!/usr/bin/python3
"""Voice calls between two copies in two namespaces, one codec at a time (ADPCM, GSM, LD-GSM,
LPC10), each with its own simulated sound card fed with a different spoken sentence:
- the codec is chosen in "Audio Compression Mode" on both copies; A calls B by typing B's address
  into "New Connection" (Ctrl+N, Enter) and B answers by itself; each side prints "Sending to host"
  and "Receiving from host" once, with the other side's address;
- every block one side captured is played by the other side, once, in order, as one write of the
  block's samples: no packet is lost, doubled or reordered;
- what each side plays equals, sample for sample over the whole call, what the codec alone makes
  of the other side's capture (tools/kvcodec, the program's own send and receive pipelines run on
  the captured input from where the capture began, found by matching);
- independently of the program's code: the GSM and LD-GSM calls equal libgsm's toast run on the
  u-law levels of the input; the ADPCM call equals an IMA ADPCM coder written here from the
  program's u-law and step tables; what is played follows the spoken sentence's loudness;
- on the link between the namespaces, each side sends one datagram per captured block, with the
  codec word and payload length in big-endian order, and (ADPCM, GSM, LD-GSM) payloads that are
  byte for byte what toast or the coder written here make of the block: sample count, frames,
  code nibbles in order, and the ADPCM trailer with the state before the block.
The program cannot choose "no codec" for sending, so the uncompressed case is a scripted peer
sending 488-byte u-law packets of speech to a copy: the copy plays exactly the levels of the
program's u-law table, answers by itself, and its GSM answer carries, byte for byte on the wire,
the frames toast makes of its captured speech.
Each codec gets fresh copies, so every codec state starts from its initial value, as kvcodec's do.
"""
import json
import math
import os
import subprocess
import sys
import time

import numpy as np

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
from kvtest import check, note  # noqa: E402

# (dialog label, kvcodec name, samples per packet)
CODECS = [("ADPCM", "adpcm", 1800), ("GSM", "gsm", 3200), ("LD-GSM", "ldgsm", 160),
          ("LPC10", "lpc10", 3600)]
SENTENCE_A = ("The quick brown fox jumps over the lazy dog near the river bank.", "en-us")
SENTENCE_B = ("Seven silver spoons were sitting on the wooden kitchen table.", "en-gb")
SENTENCE_PEER = ("Please call me back when the meeting is over.", "en-us")
UNCOMPRESSED_BLOCK = 488
GSM_FRAME_SAMPLES, GSM_FRAME_BYTES = 160, 33
# The sender's capture begins within this many samples of where the heard speech lines up best.
SEARCH = 400
# Loudness of what is played against what was spoken (20 ms frames): any codec that carries
# speech follows it closely; a stream of silence or noise does not.
MIN_ENVELOPE_CORRELATION = 0.8
MAX_DELAY_FRAMES = 15
# Codec word and payload length of each codec's packets.
WIRE = {"adpcm": (0x200, 903), "gsm": (0x20, 662), "ldgsm": (0x20, 35), "lpc10": (0x20000, 140)}

# The program's u-law levels: L[k] for k = 16 x segment + step; code 255 - k is L[k], 127 - k is
# -L[k].
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
    None, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
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


def ulaw_tables():
    u2s = np.zeros(256, dtype=np.int16)
    for k, level in enumerate(LEVELS):
        u2s[255 - k], u2s[127 - k] = level, -level
    s2u = np.zeros(8192, dtype=np.uint8)
    positive, negative = np.array(POSITIVE_FROM), np.array(NEGATIVE_FROM[1:])
    for index in range(8192):
        v = index if index < 4096 else index - 8192
        if v >= 0:
            s2u[index] = 255 - (int(np.searchsorted(positive, v, side="right")) - 1)
        else:
            s2u[index] = 127 - int(np.searchsorted(negative, -v, side="right"))
    return u2s, s2u


U2S, S2U = ulaw_tables()


def ulaw_codes(samples):
    return S2U[np.asarray(samples).astype(np.int16).view(np.uint16) >> 3]


def ulaw_levels(samples):
    """Each 16-bit sample as the engine carries it: to u-law and back."""
    return U2S[ulaw_codes(samples)]


def toast(samples, decode=False):
    kvtest.need("toast")
    args = ["toast", "-l", "-c"] + (["-d"] if decode else [])
    data = samples if decode else np.asarray(samples, dtype="<i2").tobytes()
    out = subprocess.run(args, input=data, capture_output=True, timeout=30, check=True).stdout
    return out if not decode else np.frombuffer(out, dtype="<i2").astype(np.int16)


def gsm_by_toast(samples):
    """Played samples of a GSM or LD-GSM call, by libgsm's own tools: the frames toast makes of the
    u-law levels of the capture, decoded by toast and carried through u-law again."""
    return ulaw_levels(toast(toast(ulaw_levels(samples)), decode=True))


def adpcm_by_model(samples, block):
    """An ADPCM call by an IMA coder written here, on the u-law levels of the capture, from the
    state (0, 0) that carries over from packet to packet. Returns (what is played, the payloads).
    A payload is the block's codes, two to a byte with the earlier in the high nibble, then the
    coder's state before the block: predicted value high byte, low byte, step index. Each packet's
    decoder starts from that state and takes the coder's steps, so it plays the coder's predicted
    value after each sample."""
    predicted, index, levels, codes, states = 0, 0, [], [], []
    for n, x in enumerate(ulaw_levels(samples).tolist()):
        if n % block == 0:
            states.append((predicted, index))
        step = IMA_STEP[index]
        d = x - predicted
        sign = 8 if d < 0 else 0
        d = abs(d)
        code, q = 0, step >> 3
        if d >= step:
            code, d, q = 4, d - step, q + step
        step >>= 1
        if d >= step:
            code, d, q = code | 2, d - step, q + step
        step >>= 1
        if d >= step:
            code, q = code | 1, q + step
        predicted = max(-32768, min(32767, predicted - q if sign else predicted + q))
        index = max(0, min(88, index + IMA_INDEX[code | sign]))
        levels.append(predicted)
        codes.append(code | sign)
    payloads = []
    for k, (before, before_index) in enumerate(states):
        c = codes[k * block:(k + 1) * block]
        packed = bytes((c[i] << 4) | c[i + 1] for i in range(0, len(c), 2))
        payloads.append(packed + (before & 0xFFFF).to_bytes(2, "big") + bytes([before_index]))
    return ulaw_levels(np.array(levels, dtype=np.int32).astype(np.int16)), payloads


def gsm_payloads(samples, block):
    """GSM and LD-GSM payloads by toast: the sample count (big-endian), then the block's frames."""
    frames = toast(ulaw_levels(samples))
    per_block = block // GSM_FRAME_SAMPLES * GSM_FRAME_BYTES
    return [block.to_bytes(2, "big") + frames[i:i + per_block]
            for i in range(0, len(frames), per_block)]


def padded(samples, length):
    """samples followed by silence (what the device reads after its input file ends) up to length."""
    out = np.zeros(max(length, len(samples)), dtype=np.int16)
    out[:len(samples)] = samples
    return out


def best_lag(heard, reference):
    """Shift of `reference` (0 or more) at which `heard` lines up with it best."""
    n = len(heard) + len(reference)
    size = 1 << (n - 1).bit_length()
    spectrum = np.fft.rfft(reference.astype(np.float64), size) * np.conj(
        np.fft.rfft(heard.astype(np.float64), size))
    corr = np.fft.irfft(spectrum, size)[:len(reference)]
    return int(np.argmax(corr))


def capture_start(sent, heard, block, expect_from, lag):
    """Where in `sent` the sender's capture of `block`-sample blocks began: the offset o nearest
    the best alignment `lag` at which expect_from(sent from o on) reproduces `heard` exactly.
    Returns (o, that expectation), or (None, the expectation at the best alignment) if none does."""
    whole = lambda o: expect_from(padded(sent[o:], len(heard)))  # noqa: E731
    for o in sorted(range(max(0, lag - SEARCH), min(len(sent), lag + SEARCH + 1)),
                    key=lambda o: abs(o - lag)):
        # The first packet depends on its own block only: a cheap first test.
        first = expect_from(padded(sent[o:o + block], block))
        if np.array_equal(first, heard[:len(first)]):
            expected = whole(o)
            if np.array_equal(expected[:len(heard)], heard):
                return o, expected
    return None, whole(lag)


def envelope_correlation(heard, sent, offset):
    """Best correlation of the 20 ms levels of what was heard with those of what was spoken, and
    the codec delay (in 20 ms frames) where it is reached: LPC-10 speaks about 150 ms late."""
    heard_levels = kvtest.frame_rms(heard)
    sent_levels = kvtest.frame_rms(padded(sent[offset:], len(heard)))[:len(heard_levels)]
    corr = [float(np.corrcoef(heard_levels[d:], sent_levels[:len(sent_levels) - d])[0, 1])
            for d in range(MAX_DELAY_FRAMES + 1)]
    return max(corr), int(np.argmax(corr))


class LinkRecorder:
    """Records every UDP datagram to port 2047 that crosses a host's link, in either direction."""

    def __init__(self, run, host):
        links = kvtest.run_quiet(["ip", "-n", host.ns, "-o", "link", "show", "type", "veth"]).stdout
        interface = links.split(":")[1].strip().split("@")[0]
        self.log = os.path.join(run.workdir, f"link-{host.name}.jsonl")
        kvtest.Proc(run, host.exec_cmd(sys.executable, os.path.abspath(__file__), "--record-link",
                                       interface, self.log),
                    stderr=os.path.join(run.workdir, f"link-{host.name}.err"))
        kvtest.poll(lambda: os.path.exists(self.log), 10, f"the link recorder on {interface}")

    def records(self):
        """[(source address, datagram)] in the order they crossed the link."""
        with open(self.log) as f:
            lines = f.read().split("\n")[:-1]  # a line still being written is left out
        return [(src, bytes.fromhex(data)) for src, data in map(json.loads, lines)]


def record_link(interface, log_path):
    import socket
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))  # all protocols
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind((interface, 0))
    with open(log_path, "w") as log:  # exists once the socket listens
        while True:
            frame = sock.recv(65536)
            if len(frame) < 42 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
                continue  # IPv4 UDP only
            ip = frame[14:]
            udp = ip[(ip[0] & 15) * 4:int.from_bytes(ip[2:4], "big")]
            fragment = int.from_bytes(ip[6:8], "big") & 0x3FFF
            if fragment or int.from_bytes(udp[2:4], "big") != kvtest.PORT:
                continue  # fragments do not occur: every packet is below the link's MTU
            log.write(json.dumps([socket.inet_ntoa(ip[12:16]), udp[8:].hex()]) + "\n")
            log.flush()


def first_difference(heard, expected):
    diff = np.nonzero(heard != expected[:len(heard)])[0]
    if not diff.size:
        return "none"
    i = int(diff[0])
    return (f"{diff.size} samples differ, the first at {i}: heard {heard[i:i + 6].tolist()}, "
            f"expected {expected[i:i + 6].tolist()}")


def check_output_lines(copy, peer_ip, first, second):
    lines = copy.stdout_lines()
    for text in (f"Sending to host {peer_ip}", f"Receiving from host {peer_ip}"):
        check(lines.count(text) == 1, f"{copy.name} prints \"{text}\" once", repr(lines))
    where = [i for i, line in enumerate(lines) if line.startswith(("Sending to", "Receiving from"))]
    check([lines[i].split(" host")[0] for i in where] == [first, second],
          f"{copy.name} prints \"{first}\" before \"{second}\"", repr(lines))
    engine_errors = [line for line in copy.stderr_lines() if line.startswith(
        ("open audio", "binding audio", "connecting audio", "audio read", "receiving audio",
         "malloc for audio"))]
    check(not engine_errors, f"{copy.name} reports no socket or device failure", repr(engine_errors))


def check_direction(run, sender, receiver, sent, codec, block):
    """What `receiver` played against what `sender` captured."""
    reads = sender.device_transfers("read")
    writes = receiver.device_transfers("write")
    check(reads and all(n == 2 * block for n in reads),
          f"{sender.name} captured {len(reads)} whole blocks of {block} samples",
          f"read sizes {sorted(set(reads))}")
    check(len(writes) == len(reads) and all(n == 2 * block for n in writes),
          f"{receiver.name} played each of them once, as one write of {2 * block} bytes",
          f"{len(writes)} writes of sizes {sorted(set(writes))} for {len(reads)} blocks")
    heard = kvtest.read_s16(receiver.dsp_out)
    check(heard.size == sum(writes) // 2,
          f"{receiver.name}'s playback file holds those {heard.size} samples",
          f"{heard.size * 2} bytes in the file, {sum(writes)} written")

    by_kvcodec = lambda x: run.kvcodec(codec, x)  # noqa: E731
    lag = best_lag(heard, by_kvcodec(padded(sent, len(heard))))
    offset, expected = capture_start(sent, heard, block, by_kvcodec, lag)
    check(offset is not None,
          f"{receiver.name} played, sample for sample, what {codec} makes of {sender.name}'s "
          f"capture from sample {offset}",
          first_difference(heard, expected))
    captured = padded(sent[offset:], len(heard))[:len(heard)]
    if codec in ("gsm", "ldgsm"):
        independent = gsm_by_toast(captured)
        check(np.array_equal(independent, heard),
              "and what libgsm's toast makes of the u-law levels of that capture",
              first_difference(heard, independent))
    elif codec == "adpcm":
        independent = adpcm_by_model(captured, block)[0]
        check(np.array_equal(independent, heard),
              "and what an IMA ADPCM coder on the u-law levels of that capture rebuilds",
              first_difference(heard, independent))
    corr, delay = envelope_correlation(heard, sent, offset)
    check(corr >= MIN_ENVELOPE_CORRELATION,
          f"its loudness follows {sender.name}'s sentence (correlation {corr:.2f} of 20 ms levels, "
          f"{20 * delay} ms late)")
    return captured


def check_wire(sender, datagrams, codec, block, captured):
    """The datagrams `sender` sent, as seen on the link, against its capture."""
    reads = len(sender.device_transfers("read"))
    check(len(datagrams) == reads,
          f"on the link: {sender.name} sent one datagram per captured block", f"{len(datagrams)} "
          f"datagrams for {reads} blocks")
    word, length = WIRE[codec]
    header = word.to_bytes(4, "big") + length.to_bytes(4, "big")
    bad = [(len(d), d[16:24].hex(" ")) for d in datagrams
           if len(d) != 24 + length or d[16:24] != header]
    check(not bad, f"each is 24 + {length} bytes with codec word and payload length in big-endian "
          f"order ({header.hex(' ')})", f"{len(bad)} differ, e.g. {bad[:3]}")
    if codec == "lpc10":
        return  # no independent coder makes the same LPC-10 frames bit for bit
    if codec == "adpcm":
        expected, what = adpcm_by_model(captured, block)[1], "the IMA coder's codes and trailers"
    else:
        expected, what = gsm_payloads(captured, block), "the sample count and toast's frames"
    wrong = [i for i, d in enumerate(datagrams) if i >= len(expected) or d[24:] != expected[i]]
    detail = ""
    if wrong:
        i = wrong[0]
        detail = (f"{len(wrong)} payloads differ, the first is packet {i}: sent "
                  f"{datagrams[i][24:40].hex(' ')} ... {datagrams[i][-8:].hex(' ')}, expected "
                  f"{expected[i][:16].hex(' ')} ... {expected[i][-8:].hex(' ')}"
                  if i < len(expected) else f"packet {i} is one too many")
    check(not wrong, f"and each payload is, byte for byte, {what} for its block", detail)


def codec_call(run, net, link, label, codec, block, speech_a, speech_b):
    note(f"{label}: fresh copies, {label} chosen on both, A calls B")
    first_record = len(link.records())
    a, b = run.start_pair(input_a=speech_a[0], input_b=speech_b[0], trace=True, accessibility=True,
                          net=net, names=(f"A-{codec}", f"B-{codec}"))
    for copy in (a, b):
        copy.choose_codec(label)
    check(True, f"\"Audio mode: {label}\" on both copies")
    a.new_connection(b.host.ip)
    b.wait_output(f"Receiving from host {a.host.ip}", timeout=5)
    a.wait_output(f"Receiving from host {b.host.ip}", timeout=5)

    # Each side captures all of its sentence and one block of the silence after it.
    need = {a: math.ceil(len(speech_a[1]) / block) + 1, b: math.ceil(len(speech_b[1]) / block) + 1}
    kvtest.poll(lambda: all(len(c.device_transfers("read")) >= n for c, n in need.items()), 15,
                "both sides to capture their sentences", interval=0.2)
    for copy in (a, b):
        copy.act(kvtest.TITLE, "Audio", "Mute")
    for copy in (a, b):
        copy.wait_output(kvtest.SENDER_EXITED, timeout=3)

    def delivered():
        return (len(b.device_transfers("write")) >= len(a.device_transfers("read"))
                and len(a.device_transfers("write")) >= len(b.device_transfers("read")))

    try:
        kvtest.poll(delivered, 3, "every sent block to be played", interval=0.1)
    except kvtest.Failure:
        pass  # the counts are compared below, with the details
    for copy in (a, b):
        copy.key(copy.window, "ctrl+q")
    for copy in (a, b):
        check(copy.wait_exit(5) == 0, f"{copy.name} quits with status 0")

    check_output_lines(a, b.host.ip, "Sending to", "Receiving from")
    check_output_lines(b, a.host.ip, "Receiving from", "Sending to")
    for sender, receiver, sent in ((a, b, speech_a[1]), (b, a, speech_b[1])):
        captured = check_direction(run, sender, receiver, sent, codec, block)
        sent_on_link = [d for source, d in link.records()[first_record:] if source == sender.host.ip]
        check_wire(sender, sent_on_link, codec, block, captured)


def uncompressed_call(run, net, speech_peer, speech_b):
    """A scripted peer in namespace a sends uncompressed speech to a copy in namespace b."""
    note("no codec: a scripted peer sends 488-sample u-law packets of speech to a fresh copy")
    b = run.start("B-none", net["b"], sound=True, dsp_in=speech_b[0], trace=True, accessibility=True)
    b.window = b.wait_window()
    b.wait_bound()
    sent = padded(speech_peer, -(-len(speech_peer) // UNCOMPRESSED_BLOCK) * UNCOMPRESSED_BLOCK)
    codes = ulaw_codes(sent).tobytes()
    packets = [codes[i:i + UNCOMPRESSED_BLOCK] for i in range(0, len(codes), UNCOMPRESSED_BLOCK)]
    pace = UNCOMPRESSED_BLOCK / 8000
    last = 0.2 + pace * (len(packets) - 1)
    peer = run.peer("peer", net["a"], b.host.ip,
                    [(0.2 + pace * i, kvtest.media_packet(p)) for i, p in enumerate(packets)],
                    duration=last + 5)
    kvtest.poll(lambda: len(b.device_transfers("write")) >= len(packets), last + 5,
                f"{b.name} to play {len(packets)} packets", interval=0.2)
    b.act(kvtest.TITLE, "Audio", "Mute")
    b.wait_output(kvtest.SENDER_EXITED, timeout=3)
    peer.wait()
    b.key(b.window, "ctrl+q")
    check(b.wait_exit(5) == 0, f"{b.name} quits with status 0")
    check_output_lines(b, net["a"].ip, "Receiving from", "Sending to")

    writes = b.device_transfers("write")
    check(len(writes) == len(packets) and all(n == 2 * UNCOMPRESSED_BLOCK for n in writes),
          f"each of the {len(packets)} packets was played once, as one write of "
          f"{2 * UNCOMPRESSED_BLOCK} bytes", f"writes {writes}")
    heard = kvtest.read_s16(b.dsp_out)
    expected = U2S[np.frombuffer(codes, dtype=np.uint8)]
    check(np.array_equal(heard, expected),
          "what was played is exactly the u-law table's level of every byte sent",
          first_difference(heard, expected))

    answer = [d for _, sender, d in peer.received() if sender == b.host.ip]
    reads = b.device_transfers("read")
    check(len(answer) == len(reads) and len(answer) > 0,
          f"the peer received {b.name}'s automatic answer, one datagram per captured block",
          f"{len(answer)} datagrams, {len(reads)} blocks")
    frames_per_packet = 3200 // GSM_FRAME_SAMPLES
    payload_length = 2 + GSM_FRAME_BYTES * frames_per_packet
    check(all(len(d) == 24 + payload_length and d[16:24] == bytes.fromhex("0000002000000296")
              and d[24:26] == bytes.fromhex("0c80") for d in answer),
          "each answer is a GSM packet: codec word 00 00 00 20, payload length 00 00 02 96, "
          "sample count 0C 80", repr([d[16:26].hex() for d in answer[:3]]))
    frames = np.frombuffer(b"".join(d[26:] for d in answer), dtype=np.uint8)
    by_toast = lambda x: np.frombuffer(toast(ulaw_levels(x)), dtype=np.uint8)  # noqa: E731
    decoded = toast(frames.tobytes(), decode=True)
    lag = best_lag(decoded, gsm_by_toast(padded(speech_b[1], len(decoded))))
    offset, expected_frames = capture_start(speech_b[1], frames, 3200, by_toast, lag)
    check(offset is not None,
          f"its frames are byte for byte toast's frames of the u-law levels of its capture "
          f"(from sample {offset})",
          first_difference(frames, expected_frames))


def test(run):
    net = run.network("a", "b")
    inputs = {}
    for key, (text, voice) in (("a", SENTENCE_A), ("b", SENTENCE_B), ("peer", SENTENCE_PEER)):
        path = os.path.join(run.workdir, f"speech_{key}.raw")
        inputs[key] = (path, kvtest.speech(text, path, voice=voice))
        note(f"sentence {key}: {len(inputs[key][1]) / 8000:.2f} s, {text!r}")
    link = LinkRecorder(run, net["a"])
    started = time.monotonic()
    uncompressed_call(run, net, inputs["peer"][1], inputs["b"])
    note(f"no codec done after {time.monotonic() - started:.1f} s")
    for label, codec, block in CODECS:
        codec_call(run, net, link, label, codec, block, inputs["a"], inputs["b"])
        note(f"{label} done after {time.monotonic() - started:.1f} s")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--record-link":
        record_link(sys.argv[2], sys.argv[3])
    else:
        kvtest.main(test, time_limit=110)
