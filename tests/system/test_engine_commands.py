"""Guards against a codec word that does not match its payload, a refused answer never retried, threads left per play, a GUI blocked by the directory, and replies that pile up windows or memory."""
import os
import select
import socket
import struct
import time

import kvaudio
import kvtest
import kvtest_directory as kd


def consistent(d):
    """GSM's codec word with a GSM payload: 3200 samples (0C 80) in 20 frames of 33 bytes."""
    codec, length = struct.unpack(">II", d[16:24])
    return (len(d) == 24 + length and codec == 0x20 and d[24:26] == b"\x0c\x80" and length == 662
            and all(d[26 + 33 * f] >> 4 == 0xD for f in range(20)))


def status(copy, field):
    with open(f"/proc/{copy.pid}/status") as f:
        return int(next(line.split()[1] for line in f if line.startswith(field + ":")))


def peer_sends(seconds):
    """Uncompressed u-law packets every 50 ms."""
    return [(0.05 * i, struct.pack(">16xII", 0, 488) + b"\xff" * 488) for i in range(int(seconds / 0.05))]


def helper(run, host, func, *args):  # a scripted directory server on host
    run.python(host, func, *args, stderr=os.path.join(run.workdir, func.__name__ + ".err"))
    kvtest.poll(lambda: f":{kd.DIRECTORY_PORT}" in kvtest.run_quiet(host.exec_cmd("ss", "-tln")).stdout,
                10, f"the {func.__name__}")


def new_connection_delay(b):
    time.sleep(0.5)
    start = time.monotonic()
    b.key(b.window, "ctrl+n")
    box = kvtest.poll(lambda: b.find_windows("New Connection"), 5, "New Connection", 0.01)[0]
    delay = time.monotonic() - start
    b.close_window(box)
    return delay


def server_list_ok(b, other=None):
    kd.server_menu(b, "c")
    b.tree("Connect to Server")
    if other:
        b.key(b.window, other[0])
        b.tree(other[1])
    b.act("Connect to Server", "OK")


def start(run, net, name):
    kd.write_profile(os.path.join(run.workdir, name), "bob", "bob@example.org", servers=[f"Test server {net['s'].ip}"])
    kd.write_lines(os.path.join(run.workdir, name, "hosts.dat"), [f"Peer {net['a'].ip}"])
    return run.start(name, net["b"], sound=True).ready()


def check_codec_fixed(run, net, b):
    """A codec chosen in a dialog opened while idle, OK pressed during an automatic answer."""
    b.act(kvtest.TITLE, "Audio", "Compression")
    b.wait_window("Audio Compression Mode")
    b.act("Audio Compression Mode", "ADPCM")
    peer = run.peer("peer1", net["a"], net["b"].ip, peer_sends(3), 5)
    b.wait_output("Sending to host " + net["a"].ip)
    time.sleep(0.5)
    b.act("Audio Compression Mode", "  OK  ")
    peer.wait()
    assert "Audio encoding busy!" in b.stdout_lines() and "Audio mode: ADPCM" not in b.stdout_lines()
    sent = peer.received_from(net["b"].ip)
    assert len(sent) >= 4 and all(map(consistent, sent)), [d[16:26].hex() for d in sent][:3]


def check_refused_answer(run, net, b):
    """A sender refused during a recording is answered once the recording has ended."""
    b.mute()
    rec = kvaudio.Recorder(b)
    rec.start_recording("while-called.vox")
    first = run.peer("peer2", net["s"], net["b"].ip, peer_sends(1), 2)
    first.wait()
    rec.stop_recording()
    second = run.peer("peer3", net["s"], net["b"].ip, peer_sends(2), 3)
    second.wait()
    assert not first.received_from(net["b"].ip) and second.received_from(net["b"].ip)
    assert f"Sending to host {net['s'].ip}" in b.stdout_lines()
    b.mute()


def check_files(b):
    """A FIFO is refused and frees the device; plays leave no thread behind."""
    rec = kvaudio.Recorder(b)
    os.mkfifo(rec.path("fifo.vox"))
    rec.start_playing("fifo.vox")
    b.wait_output(kvaudio.REFUSED, timeout=5)
    rec.played = 0
    for i in range(13):  # the allocator sets up its per-thread arenas in the first few
        if i == 5:
            threads, vm = status(b, "Threads"), status(b, "VmSize")
        rec.play("while-called.vox", 15)
    time.sleep(0.5)
    # A thread left per play adds an 8 MiB stack each time, 64 MiB in all; the margin of two
    # stacks allows for a toolkit worker that starts meanwhile.
    assert status(b, "Threads") <= threads and status(b, "VmSize") <= vm + 16384, (threads, vm)


def scripted_server(log_path):
    """Registers one client; answers its first "refresh user" in pieces 10 ms apart and the next
    ones with 1 MB of lists at once; logs each step."""
    listener = socket.create_server(("", kd.DIRECTORY_PORT), backlog=4)
    log = open(log_path, "w", buffering=1)
    conn, addr = listener.accept()
    log.write(f"register {addr[0]}\n")
    entry = lambda i: socket.inet_aton(f"10.0.0.{i + 1}") + f"u{i}".encode().ljust(16, b"\0")  # noqa
    listing = struct.pack("<iii", 1, 3, 0) + b"".join(entry(i) for i in range(3))
    conn.recv(120, socket.MSG_WAITALL)  # the registration
    requests = 0
    while select.select([conn], [], [], 60)[0] and len(command := conn.recv(16, socket.MSG_WAITALL)) == 16:
        if command.startswith(b"quit!"):
            log.write("quit\n")
        if not command.startswith(b"refresh user"):
            continue
        requests += 1
        log.write(f"refresh {requests}\n")
        for at in range(0, len(listing), 20) if requests == 1 else ():
            conn.sendall(listing[at:at + 20])
            time.sleep(0.01)
        if requests > 1:
            conn.sendall(listing * (1000000 // len(listing)))


def blackhole_server():
    """A directory port whose accept queue is full: further connects get no answer."""
    listener = socket.create_server(("", kd.DIRECTORY_PORT), backlog=0)  # noqa: F841 (kept open)
    filler = socket.create_connection(("127.0.0.1", kd.DIRECTORY_PORT))  # noqa: F841
    time.sleep(120)


def check_directory(run, net, b):
    """Two lists open at once; a reply split in pieces; a flood of replies."""
    log = os.path.join(run.workdir, "server.log")
    helper(run, net["s"], scripted_server, log)
    mark = len(b.stdout_lines())
    server_list_ok(b, ("ctrl+o", "Connect to Host"))
    kvtest.poll(lambda: "register" in kvtest.read_text(log), 10, "the registration")
    time.sleep(1)
    assert "Sending to host " + net["s"].ip not in b.stdout_lines()[mark:], "registering calls nobody"
    b.act("Connect to Host", "Cancel")
    kd.server_menu(b, "v")
    rows = [n["name"] for n in kvtest.find_nodes(b.tree("Online Users"), role="table cell")]
    assert rows == ["u0 10.0.0.1", "u1 10.0.0.2", "u2 10.0.0.3"]

    rss = status(b, "VmRSS")
    kd.server_menu(b, "v")
    kvtest.poll(lambda: "refresh 2" in kvtest.read_text(log), 10, "the second refresh")
    answered = new_connection_delay(b)  # while the flood is being read
    time.sleep(2)
    windows = [w for w in b.windows() if w["name"] == "Online Users"]
    dropped = sum("dropped" in line for line in b.stdout_lines())
    assert len(windows) == 1 and status(b, "VmRSS") - rss < 32 * 1024 and answered < 2 and dropped > 1000


def test_engine_commands(run):
    net = run.network("a", "b", "s")
    b = start(run, net, "B")
    check_codec_fixed(run, net, b)
    check_refused_answer(run, net, b)
    check_files(b)
    check_directory(run, net, b)
    b.quit(15)
    assert kvtest.read_text(os.path.join(run.workdir, "server.log")).split()[-1] == "quit"


def test_unreachable_directory(run):
    """While the connect is pending the window answers; when it gives up, it says so."""
    net = run.network("a", "b", "s")
    c = start(run, net, "C")
    helper(run, net["s"], blackhole_server)
    server_list_ok(c)
    c.wait_output(f"Connecting UL Server: {net['s'].ip}")
    waits = sorted(new_connection_delay(c) for _ in range(5))
    # The median: a loaded machine may delay one key press; a blocked GUI thread delays all.
    assert "Connection failed" not in c.stdout_lines() and waits[2] < 0.2, waits
    c.wait_output("Connection failed", timeout=15)
    assert "ULSclient connect: Connection timed out" in c.stderr()
    c.quit(15)

