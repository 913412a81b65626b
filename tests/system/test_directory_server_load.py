#!/usr/bin/python3
"""kestrelvox-directory under load: N concurrent registered clients (2000 by
default) each ask for the user list and the buddy list at the same time, and
every answer is checked. Prints the time taken and the server's peak memory.

Runs itself inside a private network namespace (`unshare -n`), so nothing
leaves the loopback interface of that namespace.
"""
import argparse
import os
import resource
import socket
import struct
import subprocess
import sys
import time

PORT = 2048
BROADCAST_PORT = 2051
LIST_MAX = 24


def record(name, visible, buddies, addr):
    """The 120-byte registration record."""
    return (socket.inet_aton(addr) + struct.pack("<i", visible) + name.encode().ljust(16, b"\0") +
            b"".ljust(32, b"\0") + "\n".join(buddies).encode().ljust(64, b"\0"))


def command(word):
    return word.encode().ljust(16, b"\0")


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise RuntimeError("server closed a connection")
        data += chunk
    return data


def read_list(sock, expect_type):
    rtype, count, _ = struct.unpack("<iii", recv_exact(sock, 12))
    if rtype != expect_type or not 0 <= count <= LIST_MAX:
        raise RuntimeError(f"bad list header type={rtype} count={count}")
    size = 20 if expect_type == 1 else 52
    body = recv_exact(sock, size * count)
    rows = []
    for i in range(count):
        entry = body[i * size:(i + 1) * size]
        rows.append((entry[4:].split(b"\0")[0].decode(), socket.inet_ntoa(entry[:4])))
    return rows


def find_server(args):
    if args.server:
        return args.server
    for rel in ("tools/directory_server/kestrelvox-directory", "kestrelvox-directory"):
        path = os.path.join(args.build_dir, rel)
        if os.access(path, os.X_OK):
            return path
    sys.exit(f"kestrelvox-directory not found under {args.build_dir}")


def peak_memory_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def run(args):
    n = args.clients
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)

    server = subprocess.Popen([find_server(args), "--listen", "127.0.0.1", "--port", str(PORT),
                               "--broadcast-port", str(BROADCAST_PORT), "--quiet"])
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

        names = [f"user{i}" for i in range(n)]
        addrs = [f"10.{i >> 8 & 255}.{i & 255}.1" for i in range(n)]
        buddies = [[names[(i + k) % n] for k in (1, 2, 3)] for i in range(n)]

        start = time.monotonic()
        socks = []
        for i in range(n):
            # Each client from its own loopback address, as from its own host:
            # the server limits connections per address.
            s = socket.create_connection(("127.0.0.1", PORT), timeout=30,
                                         source_address=(f"127.1.{i >> 8 & 255}.{i & 255 or 1}", 0))
            s.sendall(record(names[i], 1, buddies[i], addrs[i]))
            socks.append(s)
        # Each client's first list proves its registration was taken in.
        for s in socks:
            s.sendall(command("refresh user"))
        for s in socks:
            read_list(s, 1)
        registered = time.monotonic()

        # Now everybody asks at once, for both lists.
        for s in socks:
            s.sendall(command("refresh user") + command("refresh buddy"))
        address_of = dict(zip(names, addrs))
        bad = 0
        for i, s in enumerate(socks):
            users = read_list(s, 1)
            buddy_rows = read_list(s, 2)
            ok = (len(users) == min(LIST_MAX, n - 1) and len(set(users)) == len(users) and
                  all(address_of.get(name) == addr and name != names[i] for name, addr in users) and
                  sorted(buddy_rows) == sorted((b, address_of[b]) for b in buddies[i]))
            bad += not ok
        answered = time.monotonic()

        # A chat line from one client reaches exactly its three buddies.
        socks[0].sendall(b"messagehello from user0")
        for j in (1, 2, 3):
            reply = recv_exact(socks[j], 20 + len("hello from user0"))
            if reply[:4] != struct.pack("<i", 3) or reply[20:] != b"hello from user0":
                bad += 1

        for s in socks:
            s.sendall(command("quit!"))
            s.close()
        peak = peak_memory_kib(server.pid)
        # SIGTERM, as systemd stops the service: every connection closed, status 0.
        server.terminate()
        status = server.wait(timeout=10)
        bad += status != 0
        print(f"stopped by SIGTERM with status {status}")
        print(f"{n} clients: registered in {registered - start:.2f} s, "
              f"{2 * n} lists answered and checked in {answered - registered:.2f} s, "
              f"server peak memory {peak} KiB, {bad} wrong answers")
        return 0 if bad == 0 else 1
    finally:
        server.terminate()
        server.wait(timeout=10)


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--binary", help="the GUI program (not used here)")
    p.add_argument("--build-dir", default=".")
    p.add_argument("--source-dir", default=".")
    p.add_argument("--server", help="path of kestrelvox-directory")
    p.add_argument("--clients", type=int, default=2000)
    args = p.parse_args()
    if os.environ.get("KV_DIRECTORY_NETNS") != "1":
        env = dict(os.environ, KV_DIRECTORY_NETNS="1")
        return subprocess.call(["unshare", "-n", sys.executable] + sys.argv, env=env)
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
