#!/usr/bin/python3
"""The command interface on the whole program, where it used to fail (scripted peer and directory
server at 10.47.0.1 and .3, copy B at .2): a codec chosen during an automatic answer, an answer
refused during a recording, a FIFO as a voice file and 30 plays, two lists open at once, a split
directory reply, a reply flood, quit's "quit!", and a directory server that never answers."""
import os
import select
import socket
import struct
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import kvtest_directory as kd  # noqa: E402
import test_voice_file as vf  # noqa: E402
from kvtest import check, note  # noqa: E402

ENDED = "Audio transmission process exited gracefully"


def consistent(d):
    """The codec word matches the payload: GSM 3200 samples are 0C 80 and 20 frames of 33 bytes."""
    codec, length = struct.unpack(">II", d[16:24])
    return (len(d) == 24 + length and codec == 0x20 and d[24:26] == b"\x0c\x80" and length == 662
            and all(d[26 + 33 * f] >> 4 == 0xD for f in range(20)))


def status(copy, field):
    with open(f"/proc/{copy.pid}/status") as f:
        return int(next(line.split()[1] for line in f if line.startswith(field + ":")))


def peer_sends(seconds):
    """Uncompressed u-law packets every 50 ms."""
    return [(0.05 * i, struct.pack(">16xII", 0, 488) + b"\xff" * 488) for i in range(int(seconds / 0.05))]


def helper(run, host, *args):
    """This script in one of its helper roles, in host's namespace, listening on port 2048."""
    out = os.path.join(run.workdir, args[0][2:])
    kvtest.Proc(run, host.exec_cmd(sys.executable, os.path.abspath(__file__), *args),
                stdout=out + ".out", stderr=out + ".err")
    kvtest.poll(lambda: f":{kd.DIRECTORY_PORT}" in kvtest.run_quiet(host.exec_cmd("ss", "-tln")).stdout,
                10, f"the {args[0]} helper")


def new_connection_delay(b):
    """How long after Ctrl+N the "New Connection" box shows (then closed again)."""
    time.sleep(0.5)
    start = time.monotonic()
    b.key(b.window, "ctrl+n")
    box = kvtest.poll(lambda: b.display.find_windows("^New Connection$", pid=b.pid), 5,
                      "New Connection", interval=0.01)[0]
    delay = time.monotonic() - start
    b.close_window(box)
    return delay


def server_list_ok(b, ui, other=None):
    """Opens "Connect to Server" (and another window by its key), then OK in the server list."""
    b.key(b.window, "alt+s")
    b.display.xdotool("key", "c")
    ui.window("Connect to Server")
    if other:
        b.key(b.window, other[0])
        ui.window(other[1])
    ui.act("Connect to Server", "push button", "OK")


def check_codec_fixed(run, net, b):
    note("a codec chosen in a dialog opened while idle, OK pressed during an automatic answer")
    b.act(kvtest.TITLE, "Audio", "Compression")
    b.wait_window("Audio Compression Mode")
    b.act("Audio Compression Mode", "ADPCM")
    peer = run.peer("peer1", net["a"], net["b"].ip, peer_sends(3), 5)
    b.wait_output("Sending to host " + net["a"].ip)
    time.sleep(0.5)
    b.act("Audio Compression Mode", "  OK  ")
    peer.wait()
    answer = [d for _, sender, d in peer.received() if sender == net["b"].ip]
    check("Audio encoding busy!" in b.stdout_lines() and "Audio mode: ADPCM" not in b.stdout_lines(),
          "OK during the answer prints \"Audio encoding busy!\" and changes nothing")
    check(len(answer) >= 4 and all(map(consistent, answer)),
          f"all {len(answer)} packets of the answer carry GSM's word and a GSM payload",
          repr([d[16:26].hex() for d in answer if not consistent(d)][:3]))


def check_refused_answer(run, net, b):
    note("an automatic answer refused during a recording")
    b.act(kvtest.TITLE, "Audio", "Mute")
    b.wait_output(ENDED)
    rec = vf.Recorder(b)
    rec.start_recording("while-called.vox")
    s_ip = net["s"].ip  # a sender B has not heard yet
    first = run.peer("peer2", net["s"], net["b"].ip, peer_sends(1), 2)
    first.wait()
    rec.stop_recording()
    refused = [d for _, sender, d in first.received() if sender == net["b"].ip]
    second = run.peer("peer3", net["s"], net["b"].ip, peer_sends(2), 3)
    second.wait()
    answered = [d for _, sender, d in second.received() if sender == net["b"].ip]
    check(not refused and answered and f"Sending to host {s_ip}" in b.stdout_lines(),
          "a sender refused during a recording is answered once the recording has ended",
          f"{len(refused)} datagrams during the recording, {len(answered)} after; "
          f"{b.stdout_lines()[-6:]}")
    ended = b.stdout_lines().count(ENDED)
    b.act(kvtest.TITLE, "Audio", "Mute")
    vf.wait_line_count(b, ENDED, ended + 1, 5)


def check_files(run, b):
    note("a FIFO as a voice file, then 35 plays")
    rec = vf.Recorder(b)
    os.mkfifo(rec.path("fifo.vox"))
    rec.start_playing("fifo.vox")
    b.wait_output(vf.REFUSED, timeout=5)
    threads = vm = 0
    for i in range(35):  # the allocator sets up its per-thread arenas in the first few
        threads, vm = (status(b, "Threads"), status(b, "VmSize")) if i == 5 else (threads, vm)
        rec.start_playing("while-called.vox")
        vf.wait_line_count(b, "Voice file playing completed", i + 1, 15)
    time.sleep(0.5)
    after_threads, after_vm = status(b, "Threads"), status(b, "VmSize")
    # A thread left behind per play would add 8 MiB of stack each time, 240 MiB in all; the
    # margin of two stacks allows for a toolkit worker that starts meanwhile.
    check(after_threads <= threads and after_vm <= vm + 16384, f"after the refused FIFO the device "
          f"is free; 30 plays: threads {threads} -> {after_threads}, VmSize {vm} -> {after_vm} kB")


def scripted_server(log_path):
    """Registers one client; answers its first "refresh user" in pieces 10 ms apart and the next
    ones with 1 MB of lists at once; logs each step."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("", kd.DIRECTORY_PORT))
    listener.listen(4)
    log = open(log_path, "w", buffering=1)
    conn, addr = listener.accept()
    log.write(f"register {addr[0]}\n")
    entry = lambda i: socket.inet_aton(f"10.0.0.{i + 1}") + f"u{i}".encode().ljust(16, b"\0")  # noqa
    listing = struct.pack("<iii", 1, 3, 0) + b"".join(entry(i) for i in range(3))
    buffer, requests = b"", 0
    while len(buffer) < 120:  # the registration
        buffer += conn.recv(120 - len(buffer))
    buffer = b""
    while select.select([conn], [], [], 60)[0]:
        data = conn.recv(4096)
        if not data:
            break
        buffer += data
        while len(buffer) >= 16:
            command, buffer = buffer[:16], buffer[16:]
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
    listener = socket.socket()
    listener.bind(("", kd.DIRECTORY_PORT))
    listener.listen(0)
    filler = socket.create_connection(("127.0.0.1", kd.DIRECTORY_PORT))
    time.sleep(120)
    filler.close()


def check_unreachable_server(run, net, b):
    note("a directory server that never answers the connect")
    helper(run, net["s"], "--blackhole")
    server_list_ok(b, kd.Ui(b))
    b.wait_output(f"Connecting UL Server: {net['s'].ip}")
    waits = sorted(new_connection_delay(b) for _ in range(5))
    pending = "Connection failed" not in b.stdout_lines()
    # The median: a loaded machine may delay one key press; a blocked GUI thread delays all.
    check(pending and waits[2] < 0.2,
          f"while the connect is pending the window answers Ctrl+N within 0.2 s "
          f"({', '.join(f'{w:.3f}' for w in waits)} s)", f"pending {pending}")
    b.wait_output("Connection failed", timeout=15)
    check("ULSclient connect: Connection timed out" in b.stderr(),
          "when it gives up: \"ULSclient connect: Connection timed out\" and \"Connection failed\"")


def check_directory(run, net, b):
    note("two lists open at once; a split reply; a flood of replies")
    log = os.path.join(run.workdir, "server.log")
    helper(run, net["s"], "--server", log)
    ui = kd.Ui(b)
    mark = len(b.stdout_lines())
    server_list_ok(b, ui, ("ctrl+o", "Connect to Host"))
    kvtest.poll(lambda: os.path.exists(log) and "register" in open(log).read(), 10, "the registration")
    time.sleep(1)
    check("Sending to host " + net["s"].ip not in b.stdout_lines()[mark:],
          "OK in the server list registers with the server and calls nobody")
    ui.act("Connect to Host", "push button", "Cancel")

    b.key(b.window, "alt+s")
    b.display.xdotool("key", "v")
    users = ui.window("Online Users")
    rows = [n["name"] for n in kd.nodes(users, role="table cell")]
    check(rows == ["u0 10.0.0.1", "u1 10.0.0.2", "u2 10.0.0.3"],
          "a 3-user list sent in pieces 10 ms apart is shown whole", repr(rows))

    rss = status(b, "VmRSS")
    b.key(b.window, "alt+s")
    b.display.xdotool("key", "v")
    kvtest.poll(lambda: "refresh 2" in open(log).read(), 10, "the second refresh")
    answered = new_connection_delay(b)  # while the flood is being read
    time.sleep(2)
    windows = [w for w in ui.windows() if w["name"] == "Online Users"]
    grown = status(b, "VmRSS") - rss
    dropped = sum("dropped" in line for line in b.stdout_lines())
    check(len(windows) == 1 and grown < 32 * 1024 and answered < 2 and dropped > 1000,
          f"1 MB of list replies: {len(windows)} \"Online Users\" window, {dropped} \"dropped\" lines, "
          f"RSS +{grown} kB, Ctrl+N answered in {answered:.2f} s during it")


def start(run, net, name):
    os.makedirs(os.path.join(run.workdir, name), exist_ok=True)
    kd.write_profile(os.path.join(run.workdir, name), "bob", "bob@example.org")
    kd.write_servers(os.path.join(run.workdir, name), [f"Test server {net['s'].ip}"])
    copy = run.start(name, net["b"], sound=True, accessibility=True)
    copy.window = copy.wait_window()
    copy.wait_bound()
    return copy


def test(run):
    net = run.network("a", "b", "s")
    b = start(run, net, "B")
    with open(os.path.join(b.dir, "hosts.dat"), "w") as f:
        f.write(f"Peer {net['a'].ip}\n")
    check_codec_fixed(run, net, b)
    check_refused_answer(run, net, b)
    check_files(run, b)
    check_directory(run, net, b)
    b.key(b.window, "ctrl+q")
    check(b.wait_exit(15) == 0, "B quits with status 0")
    log = open(os.path.join(run.workdir, "server.log")).read().split()
    check(log[-1] == "quit", "quitting while registered sends \"quit!\" to the server", repr(log[-3:]))

    c = start(run, net, "C")
    check_unreachable_server(run, net, c)
    c.key(c.window, "ctrl+q")
    check(c.wait_exit(15) == 0, "C quits with status 0")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--server"]:
        scripted_server(sys.argv[2])
    elif sys.argv[1:2] == ["--blackhole"]:
        blackhole_server()
    else:
        kvtest.main(test, time_limit=300)
