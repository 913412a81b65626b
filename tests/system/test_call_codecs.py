"""Guards against lost, doubled or reordered blocks, codec output that differs from the codec alone or from independent coders, and a wrong codec word, length or payload on the wire, for every codec."""
import json
import math
import os
import socket

import pytest

import kvaudio
import kvtest

SENTENCE_A = ("The quick brown fox jumps over the lazy dog near the river bank.", "en-us")
SENTENCE_B = ("Seven silver spoons were sitting on the wooden kitchen table.", "en-gb")


class LinkRecorder:
    """Records every UDP datagram to port 2047 that crosses a host's link, in either direction."""

    def __init__(self, run, host):
        self.log = os.path.join(run.workdir, f"link-{host.name}.jsonl")
        run.python(host, record_link, run.prefix + "v" + host.name, self.log, stderr=self.log + ".err")
        kvtest.poll(lambda: os.path.exists(self.log), 10, f"the link recorder on {host.name}")

    def sent_by(self, ip):
        lines = kvtest.read_text(self.log).split("\n")[:-1]  # a line still being written is left out
        return [bytes.fromhex(data) for src, data in map(json.loads, lines) if src == ip]


def record_link(interface, log_path):
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind((interface, 0))
    with open(log_path, "w", buffering=1) as log:  # exists once the socket listens
        while True:
            frame = sock.recv(65536)
            if len(frame) < 42 or frame[12:14] != b"\x08\x00" or frame[23] != 17:
                continue  # IPv4 UDP only; every packet is below the MTU, so never a fragment
            ip = frame[14:]
            udp = ip[(ip[0] & 15) * 4:int.from_bytes(ip[2:4], "big")]
            if int.from_bytes(udp[2:4], "big") == kvtest.PORT:
                log.write(json.dumps([socket.inet_ntoa(ip[12:16]), udp[8:].hex()]) + "\n")


def check_wire(datagrams, reads, codec, captured):
    """One datagram per captured block, codec word and length big-endian, payload byte for byte
    what toast or the IMA coder written here make of the block (LPC-10 has no bit-exact oracle)."""
    _, _, block, word, length = kvaudio.BY_NAME[codec]
    assert len(datagrams) == reads
    header = word.to_bytes(4, "big") + length.to_bytes(4, "big")
    assert {(len(d), d[16:24]) for d in datagrams} == {(24 + length, header)}
    if codec != "lpc10":
        wanted = (kvaudio.adpcm_by_model(captured, block)[1] if codec == "adpcm"
                  else kvaudio.gsm_payloads(captured, block))
        wrong = [i for i, d in enumerate(datagrams) if i >= len(wanted) or d[24:] != wanted[i]]
        assert not wrong, f"{len(wrong)} payloads differ, the first is packet {wrong[0]}"


@pytest.mark.parametrize("label,codec", [(c[0], c[1]) for c in kvaudio.CODECS])
def test_codec_call(run, net2, label, codec):
    inputs = [kvaudio.speech_input(run, f"{k}.raw", t, v) for k, (t, v) in (("a", SENTENCE_A), ("b", SENTENCE_B))]
    link = LinkRecorder(run, net2["a"])
    a, b = run.start_pair(inputs[0][0], inputs[1][0], trace=True, net=net2)
    for copy in (a, b):
        copy.choose_codec(label)
    a.new_connection(b.host.ip)
    b.wait_output(f"Receiving from host {a.host.ip}", timeout=5)
    a.wait_output(f"Receiving from host {b.host.ip}", timeout=5)
    # Each side captures all of its sentence and one block of the silence after it.
    block = kvaudio.BY_NAME[codec][2]
    need = [math.ceil(len(s) / block) + 1 for _, s in inputs]
    kvtest.poll(lambda: all(len(c.device_transfers("read")) >= n for c, n in zip((a, b), need)), 15,
                "both sides to capture their sentences", interval=0.2)
    for copy in (a, b):
        copy.mute()
    try:
        kvtest.poll(lambda: all(len(r.device_transfers("write")) >= len(s.device_transfers("read"))
                                for s, r in ((a, b), (b, a))), 10, "every block to be played")
    except AssertionError:
        pass  # the counts are compared below, with the details
    for copy in (a, b):
        copy.quit(5)
    kvaudio.check_call_lines(a, b.host.ip, caller=True)
    kvaudio.check_call_lines(b, a.host.ip, caller=False)
    for (sender, receiver), (_, sent) in zip(((a, b), (b, a)), inputs):
        captured = kvaudio.check_direction(run, sender, receiver, sent, codec)
        check_wire(link.sent_by(sender.host.ip), len(sender.device_transfers("read")), codec, captured)

