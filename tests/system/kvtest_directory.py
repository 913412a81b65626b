"""Guards against directory tests that trust the client alone: the real server, a raw third user, a real SOCKS proxy."""
import os
import pathlib
import re
import select
import signal
import socket
import struct
import time

import kvtest

DIRECTORY_PORT = 2048
REFUSED = "Proxy Server: Request rejected or failed! CD = 91"


def write_lines(path, lines):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_text("".join(line + "\n" for line in lines))


def write_profile(directory, name, email, buddies=(), servers=()):
    """userinfo.dat as the program writes it (name, e-mail, "Visible", one buddy a line); servers.dat if given."""
    write_lines(os.path.join(directory, "userinfo.dat"), [name, email, "Visible", *buddies])
    if servers:
        write_lines(os.path.join(directory, "servers.dat"), servers)


def read_lines(path):
    return kvtest.read_text(path).split("\n")


def names(tree, role):
    return [n["name"] for n in kvtest.find_nodes(tree, role=role)]


def server_menu(copy, key):  # the Server menu by its mnemonic, an item by its own
    copy.key(copy.window, "alt+s")
    copy.display.xdotool("key", key)


def connect(copy, server=None, name=None):  # OK in the server list; the server's register line if given one
    mark = server.mark() if server else 0
    server_menu(copy, "c")
    copy.tree("Connect to Server")
    copy.act("Connect to Server", "OK")
    return server.wait(rf'^register \S+ "{name}" ', after=mark) if server else None


class DirectoryServer:  # kestrelvox-directory on host.ip, its event lines read back
    def __init__(self, run, host, name="server"):
        self.path = os.path.join(run.workdir, name + ".out")
        binary = os.path.join(run.build_dir, "tools", "directory_server", "kestrelvox-directory")
        self.proc = kvtest.Proc(run, host.exec_cmd(binary, "--listen", host.ip), stdout=self.path,
                                stderr=self.path + ".err")
        self.wait(r"^listening on ")

    def lines(self):
        return kvtest.read_text(self.path).splitlines()

    def mark(self):
        return len(self.lines())

    def find(self, pattern, after=0):
        return [line for line in self.lines()[after:] if re.search(pattern, line)]

    def wait(self, pattern, timeout=10, after=0):
        return kvtest.poll(lambda: self.find(pattern, after), timeout, f"{pattern!r} from the directory server")[0]

    def stop(self):
        os.kill(self.proc.pid, signal.SIGTERM)
        return self.proc.wait(5)


def registration_record(name, address, buddies=()):
    """The 120-byte record: address, visible (32-bit LE 1), name, no e-mail, buddies one a line."""
    return (socket.inet_aton(address) + struct.pack("<i", 1) + os.fsencode(name).ljust(16, b"\0")[:16] + bytes(32)
            + "\n".join(buddies).encode().ljust(64, b"\0")[:64])


class ScriptedUser:
    """A bare client in host's namespace: sends its record (and `later` after `delay` s), logs what it receives."""

    def __init__(self, run, host, name, server_ip, record, later=b"", delay=0.0):
        self.log = os.path.join(run.workdir, name + ".received")
        run.python(host, _scripted_user, server_ip, record.hex(), self.log, later.hex(), delay,
                   stderr=self.log + ".err")

    def received(self):
        return bytes.fromhex(kvtest.read_text(self.log).replace("\n", ""))


def _scripted_user(server, record, log_path, later, delay):
    sock = socket.create_connection((server, DIRECTORY_PORT), timeout=10)
    sock.sendall(bytes.fromhex(record))
    if later:
        time.sleep(delay)
        sock.sendall(bytes.fromhex(later))
    with open(log_path, "w") as log:
        while select.select([sock], [], []) and (data := sock.recv(65536)):
            log.write(data.hex() + "\n")
            log.flush()


DANTE_CONF = """logoutput: {log}
internal: {ip} port = 1080
external: {ip}
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass {{ from: {subnet} to: 0.0.0.0/0 }}
{block}socks pass {{ from: {subnet} to: 0.0.0.0/0  log: connect disconnect error
    command: connect
}}
"""


class Dante:
    """danted (SOCKS 4) on host.ip:1080; `refuse` is a client address (CIDR) a "socks block" rule refuses."""

    def __init__(self, run, host, refuse=None, name="proxy"):
        self.dir = os.path.join(run.workdir, name)
        os.makedirs(self.dir)
        self.logfile, conf = os.path.join(self.dir, "log"), os.path.join(self.dir, "conf")
        block = f"socks block {{ from: {refuse} to: 0.0.0.0/0\n    log: connect error\n}}\n" if refuse else ""
        pathlib.Path(conf).write_text(DANTE_CONF.format(log=self.logfile, ip=host.ip, subnet=kvtest.SUBNET + ".0/24",
                                                        block=block))
        self.proc = kvtest.Proc(run, host.exec_cmd("danted", "-f", conf, "-p", os.path.join(self.dir, "pid")),
                                stdout=self.logfile + ".out", stderr=self.logfile + ".err")

        def listening():
            assert self.proc.alive(), "danted ended at start-up: " + kvtest.read_text(self.logfile)
            return f"{host.ip}:1080" in kvtest.run_quiet(host.exec_cmd("ss", "-Htln"), check_rc=False).stdout
        kvtest.poll(listening, 10, f"danted to listen on {host.ip}:1080", interval=0.1)
