#!/usr/bin/python3
"""Directory load benchmark: N registered clients (19,000 by default) all send
"refresh user" at once, in several rounds. Reports the median and p99 reply
time (from each request's send to its whole reply) and the server's CPU time
per request, first with 1 % of the clients visible, then with all visible.

Manual, not part of CI. Runs itself in a private network namespace
(`unshare -n`); every client has its own loopback source address, as if from
its own host, and worker processes share the connections because one process
may hold at most 20,000 descriptors.

usage: tests/bench/directory_storm.py --server build/tools/directory_server/kestrelvox-directory
           [--clients 19000] [--rounds 5] [--workers 4] [-- extra server options]
"""
import argparse
import multiprocessing as mp
import os
import resource
import selectors
import socket
import struct
import subprocess
import sys
import time

PORT = 2048
REFRESH = b"refresh user".ljust(16, b"\0")


def record(name, visible):
    return (socket.inet_aton("10.9.0.1") + struct.pack("<i", visible) + name.encode().ljust(16, b"\0") +
            bytes(32) + bytes(64))


def recv_reply(sock):
    """One user-list reply; returns its entry count."""
    head = b""
    while len(head) < 12:
        chunk = sock.recv(12 - len(head))
        if not chunk:
            raise RuntimeError("server closed a connection")
        head += chunk
    rtype, count, _ = struct.unpack("<iii", head)
    assert rtype == 1 and 0 <= count <= 24, (rtype, count)
    body = 20 * count
    while body:
        body -= len(sock.recv(body))
    return count


def worker(index, first, count, visible_every, rounds, barrier, results):
    resource.setrlimit(resource.RLIMIT_NOFILE, (20000, 20000))
    socks = []
    for i in range(first, first + count):
        s = socket.socket()
        s.bind((f"127.{2 + (i >> 16)}.{i >> 8 & 255}.{i & 255}", 0))
        s.connect(("127.0.0.1", PORT))
        s.sendall(record(f"u{i}", 1 if i % visible_every == 0 else 0) + REFRESH)
        socks.append(s)
    for s in socks:            # every registration taken in
        recv_reply(s)
    for s in socks:
        s.setblocking(False)
    times = []
    for _ in range(rounds):
        barrier.wait()
        sel = selectors.EpollSelector()
        sent = {}
        for s in socks:
            sent[s.fileno()] = time.monotonic()
            s.send(REFRESH)
            sel.register(s, selectors.EVENT_READ)
        pending = {s.fileno(): b"" for s in socks}
        while pending:
            for key, _ in sel.select():
                s = key.fileobj
                data = pending[s.fileno()] + s.recv(4096)
                if len(data) >= 12 and len(data) >= 12 + 20 * struct.unpack_from("<i", data, 4)[0]:
                    times.append(time.monotonic() - sent[s.fileno()])
                    del pending[s.fileno()]
                    sel.unregister(s)
                else:
                    pending[s.fileno()] = data
        sel.close()
        barrier.wait()
    results.put(times)
    barrier.wait()  # hold the connections until every worker is done


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def storm(args, visible_every):
    server = subprocess.Popen([args.server, "--listen", "127.0.0.1", "--port", str(PORT),
                               "--broadcast-port", "0", "--quiet", *args.server_args])
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", PORT)).close()
                break
            except OSError:
                time.sleep(0.05)
        barrier = mp.Barrier(args.workers + 1)
        results = mp.Queue()
        per = -(-args.clients // args.workers)
        procs = [mp.Process(target=worker, args=(w, w * per, min(per, args.clients - w * per), visible_every,
                                                 args.rounds, barrier, results))
                 for w in range(args.workers)]
        for p in procs:
            p.start()
        cpu = 0.0
        for _ in range(args.rounds):
            barrier.wait(timeout=600)      # all registered; go
            before = cpu_seconds(server.pid)
            barrier.wait(timeout=600)      # all answered
            cpu += cpu_seconds(server.pid) - before
        times = sorted(t for _ in procs for t in results.get(timeout=60))
        barrier.wait(timeout=60)
        for p in procs:
            p.join()
        n = len(times)
        visible = len(range(0, args.clients, visible_every))
        print(f"{args.clients} clients, {visible} visible: {n} requests in {args.rounds} rounds; "
              f"reply time median {times[n // 2] * 1e3:.1f} ms, p99 {times[int(n * 0.99)] * 1e3:.1f} ms, "
              f"max {times[-1] * 1e3:.1f} ms; server CPU {cpu / n * 1e6:.1f} us per request", flush=True)
        return times[int(n * 0.99)], cpu / n
    finally:
        server.terminate()
        server.wait(timeout=30)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--server", required=True)
    p.add_argument("--clients", type=int, default=19000)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--workers", type=int, default=4)
    p.add_argument("server_args", nargs="*")
    args = p.parse_args()
    if os.environ.get("KV_STORM_NETNS") != "1":
        env = dict(os.environ, KV_STORM_NETNS="1")
        return subprocess.call(["unshare", "-n", sys.executable] + sys.argv, env=env)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    args.server = os.path.abspath(args.server)
    few_p99, few_cpu = storm(args, 100)
    all_p99, all_cpu = storm(args, 1)
    print(f"1 % visible against all visible: p99 x{few_p99 / all_p99:.2f}, CPU per request x{few_cpu / all_cpu:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
