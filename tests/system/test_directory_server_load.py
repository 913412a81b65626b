"""Guards against the directory server dropping, mixing or mis-sizing answers under 2000 concurrent clients, and a bad SIGTERM exit."""
import os
import resource
import socket
import struct
import subprocess
import sys
import time

import kvtest_directory as kd

N, LIST_MAX = 2000, 24


def read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        assert chunk, "the server closed a connection"
        data += chunk
    return data


def read_list(sock, kind):
    rtype, count, _ = struct.unpack("<iii", read_exact(sock, 12))
    assert rtype == kind and 0 <= count <= LIST_MAX, (rtype, count)
    size = 20 if kind == 1 else 52
    body = read_exact(sock, size * count)
    return [(body[i:i + size][4:].split(b"\0")[0].decode(), socket.inet_ntoa(body[i:i + 4]))
            for i in range(0, size * count, size)]


def load(binary):
    """Runs inside the test's namespace: every client registers, then all ask for both lists at once."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    server = subprocess.Popen([binary, "--listen", "127.0.0.1", "--quiet"])
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", kd.DIRECTORY_PORT), timeout=1).close()
            break
        except OSError:
            time.sleep(0.05)
    names = [f"user{i}" for i in range(N)]
    addrs = dict(zip(names, (f"10.{i >> 8 & 255}.{i & 255}.1" for i in range(N))))
    buddies = [[names[(i + k) % N] for k in (1, 2, 3)] for i in range(N)]
    socks = []
    for i, name in enumerate(names):  # each from its own address: the server limits connections per address
        s = socket.create_connection(("127.0.0.1", kd.DIRECTORY_PORT), 30, (f"127.1.{i >> 8 & 255}.{i & 255 or 1}", 0))
        s.sendall(kd.registration_record(name, addrs[name], buddies=buddies[i]))
        socks.append(s)
    for s in socks:  # each client's first list proves its registration was taken in
        s.sendall(b"refresh user".ljust(16, b"\0"))
    for s in socks:
        read_list(s, 1)
    for s in socks:
        s.sendall(b"refresh user".ljust(16, b"\0") + b"refresh buddy".ljust(16, b"\0"))
    bad = 0
    for i, s in enumerate(socks):
        users, rows = read_list(s, 1), read_list(s, 2)
        bad += not (len(users) == LIST_MAX and len(set(users)) == LIST_MAX and sorted(rows) ==
                    sorted((b, addrs[b]) for b in buddies[i]) and all(addrs.get(n) == a and n != names[i] for n, a in users))
    socks[0].sendall(b"messagehello from user0")
    for j in (1, 2, 3):  # exactly its three buddies
        reply = read_exact(socks[j], 36)
        bad += reply[:4] != struct.pack("<i", 3) or reply[20:] != b"hello from user0"
    for s in socks:
        s.sendall(b"quit!".ljust(16, b"\0"))
        s.close()
    server.terminate()
    print(bad, server.wait(timeout=10))


def test_server_load(run):
    host = run.network("lo")["lo"]
    binary = os.path.join(run.build_dir, "tools", "directory_server", "kestrelvox-directory")
    done = subprocess.run(host.exec_cmd(sys.executable, os.path.abspath(__file__), binary), timeout=300,
                          capture_output=True, text=True)
    assert done.stdout.split() == ["0", "0"], f"wrong answers, exit status on SIGTERM: {done.stdout} {done.stderr}"


if __name__ == "__main__":
    load(sys.argv[1])
