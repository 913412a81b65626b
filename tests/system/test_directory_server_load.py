"""Guards against the directory server dropping or mixing list answers under 2000 clients, or a bad SIGTERM exit."""
import resource
import socket
import struct
import subprocess

import kvtest
import kvtest_directory as kd

N, LIST_MAX = 2000, 24


def read_exact(sock, n):
    data = sock.recv(n, socket.MSG_WAITALL)
    assert len(data) == n, "the server closed a connection"
    return data


def read_list(sock, kind):
    rtype, count, _ = struct.unpack("<iii", read_exact(sock, 12))
    assert rtype == kind and 0 <= count <= LIST_MAX, (rtype, count)
    size = 20 if kind == 1 else 52
    body = read_exact(sock, size * count)
    return [(body[i:i + size][4:].split(b"\0")[0].decode(), socket.inet_ntoa(body[i:i + 4]))
            for i in range(0, size * count, size)]


def load():
    """Runs in the test's namespace: every client registers, then all ask for both lists at once; prints the misses."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
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
        bad += not (len(users) == LIST_MAX == len(set(users)) and sorted(rows) == sorted((b, addrs[b]) for b in
                    buddies[i]) and all(addrs.get(n) == a and n != names[i] for n, a in users))
    for s in socks:
        s.sendall(b"quit!".ljust(16, b"\0"))
        s.close()
    print(bad)


def test_server_load(run, directory_server):
    host = run.network("lo")["lo"]
    server = directory_server(host)
    done = subprocess.run(host.exec_cmd(*kvtest.python_cmd(load)), timeout=300, capture_output=True, text=True)
    assert done.stdout == "0\n", f"wrong answers: {done.stdout} {done.stderr}"
    assert server.stop() == 0, "SIGTERM must end the server with status 0"

