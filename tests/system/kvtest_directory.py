#!/usr/bin/python3
"""Helpers for the whole-program tests of the directory service, on top of kvtest:

  - `DirectoryServer`: the real kestrelvox-directory in a namespace, its event lines read back;
  - `ScriptedUser`: a bare directory client in a namespace that registers one record and logs
    every reply it receives (a third user the program sees in its lists and chat relays);
  - `Dante`: Debian's SOCKS server (danted) in a namespace with a configuration written here;
  - settings files in a copy's working directory (userinfo.dat, servers.dat);
  - `Ui`: the program's windows through accessibility (AT-SPI): the whole tree with the text of
    text widgets, actions on menu items and buttons, and window titles.

AT-SPI calls run in a child process with the display's environment (its own session bus), as
kvtest does for its tree dump.
"""

import json
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
from kvtest import Failure, poll  # noqa: E402

DIRECTORY_PORT = 2048
BROADCAST_PORT = 2051
SOCKS_PORT = 1080
REGISTRATION_SIZE = 120


# ---------------------------------------------------------------------------------------------
# Settings files


def write_profile(directory, name, email, visible=True, buddies=()):
    """userinfo.dat as the program writes it: name, e-mail, Visible/Invisible, one buddy a line."""
    lines = [name, email, "Visible" if visible else "Invisible", *buddies]
    with open(os.path.join(directory, "userinfo.dat"), "w") as f:
        f.write("".join(line + "\n" for line in lines))


def write_servers(directory, entries):
    """servers.dat: one "name address" entry a line."""
    with open(os.path.join(directory, "servers.dat"), "w") as f:
        f.write("".join(entry + "\n" for entry in entries))


def read_lines(path):
    with open(path, "rb") as f:
        return f.read().decode(errors="replace").split("\n")


# ---------------------------------------------------------------------------------------------
# The directory server


def server_binary(run):
    for rel in ("tools/directory_server/kestrelvox-directory", "kestrelvox-directory"):
        path = os.path.join(run.build_dir, rel)
        if os.access(path, os.X_OK):
            return path
    raise Failure(f"kestrelvox-directory not found under {run.build_dir} (build its target)")


class LineLog:
    """Lines of a growing output file, waited for by pattern from a position on."""

    def __init__(self, path, what):
        self.path, self.what = path, what

    def lines(self):
        try:
            with open(self.path, "rb") as f:
                return f.read().decode(errors="replace").splitlines()
        except FileNotFoundError:
            return []

    def mark(self):
        """Position after the lines written so far; pass it as `after` to wait for newer lines."""
        return len(self.lines())

    def find(self, pattern, after=0):
        regex = re.compile(pattern)
        return [line for line in self.lines()[after:] if regex.search(line)]

    def wait(self, pattern, timeout=10, after=0):
        """Waits for a line matching the regular expression; returns the first such line."""
        found = poll(lambda: self.find(pattern, after), timeout,
                     f"a line matching {pattern!r} on {self.what}")
        return found[0]


class DirectoryServer(LineLog):
    """kestrelvox-directory listening on host.ip, ports 2048 and 2051."""

    def __init__(self, run, host, name="server", extra_args=()):
        self.dir = os.path.join(run.workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        super().__init__(os.path.join(self.dir, "stdout.txt"), f"{name}'s standard output")
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self.host = host
        self.proc = kvtest.Proc(run, host.exec_cmd(server_binary(run), "--listen", host.ip,
                                                   *extra_args),
                                stdout=self.path, stderr=self.stderr_path)
        self.wait(r"^listening on ", timeout=10)

    def stop(self):
        """SIGTERM; returns the exit status."""
        os.kill(self.proc.pid, signal.SIGTERM)
        rc = self.proc.wait(5)
        if rc is None:
            raise Failure("the directory server did not end within 5 s of SIGTERM")
        return rc


# ---------------------------------------------------------------------------------------------
# A scripted directory user


def registration_record(name, address, visible=True, email="", buddies=()):
    """The 120-byte registration record: address, visibility (32-bit LE), name, e-mail, buddies."""
    return (socket.inet_aton(address) + struct.pack("<i", 1 if visible else 0)
            + name.encode().ljust(16, b"\0")[:16] + email.encode().ljust(32, b"\0")[:32]
            + "\n".join(buddies).encode().ljust(64, b"\0")[:64])


class ScriptedUser:
    """A bare client in host's namespace: connects to the server, sends its registration record
    and logs each chunk of bytes it receives (time, hex) until the test ends or the server closes."""

    def __init__(self, run, host, name, server_ip, record, later=b"", delay=0.0):
        """later: bytes sent `delay` seconds after the record (a chat request, say)."""
        self.dir = os.path.join(run.workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        self.log = os.path.join(self.dir, "received.jsonl")
        plan = os.path.join(self.dir, "user.json")
        with open(plan, "w") as f:
            json.dump({"server": server_ip, "port": DIRECTORY_PORT, "record": record.hex(),
                       "log": self.log, "later": later.hex(), "delay": delay}, f)
        self.proc = kvtest.Proc(run, host.exec_cmd(sys.executable, os.path.abspath(__file__),
                                                   "--scripted-user", plan),
                                stderr=os.path.join(self.dir, "stderr.txt"))

    def received(self):
        """Everything received so far, as one byte string."""
        if not os.path.exists(self.log):
            return b""
        with open(self.log) as f:
            return b"".join(bytes.fromhex(json.loads(line)[1]) for line in f if line.strip())


def _scripted_user(plan_path):
    with open(plan_path) as f:
        plan = json.load(f)
    sock = socket.create_connection((plan["server"], plan["port"]), timeout=10)
    sock.sendall(bytes.fromhex(plan["record"]))
    if plan.get("later"):
        time.sleep(plan["delay"])
        sock.sendall(bytes.fromhex(plan["later"]))
    start = time.monotonic()
    with open(plan["log"], "w") as log:
        while True:
            select.select([sock], [], [])
            data = sock.recv(65536)
            if not data:
                break
            log.write(json.dumps([time.monotonic() - start, data.hex()]) + "\n")
            log.flush()


def chat_replies(data):
    """(sender name, text) of the type-3 replies in a stream that holds only chat replies."""
    found = []
    while len(data) >= 20:
        kind = struct.unpack_from("<i", data)[0]
        if kind != 3:
            raise Failure(f"expected a chat reply (type 3), got type {kind}: {data[:40].hex()}")
        name = data[4:20].split(b"\0")[0].decode(errors="replace")
        # A relayed chat reply carries no length: without a following reply, it runs to the end.
        nxt = data.find(b"\x03\0\0\0", 20)
        end = nxt if nxt >= 0 else len(data)
        found.append((name, data[20:end].decode(errors="replace")))
        data = data[end:]
    return found


# ---------------------------------------------------------------------------------------------
# SOCKS proxy

DANTE_CONF = """\
# SOCKS server for one test run: version 4 connect requests from the test subnet.
logoutput: {log}
internal: {ip} port = {port}
external: {ip}
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass {{
    from: {subnet} to: 0.0.0.0/0
    log: connect disconnect error
}}
{socks_rules}
"""


class Dante:
    """danted in host's namespace on port 1080. `refuse` names a client address (CIDR) whose
    requests a "socks block" rule refuses; everyone else on the subnet may connect anywhere."""

    def __init__(self, run, host, subnet="10.47.0.0/24", refuse=None, name="proxy"):
        self.dir = os.path.join(run.workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        self.host = host
        self.conf = os.path.join(self.dir, "danted.conf")
        self.logfile = os.path.join(self.dir, "danted.log")
        rules = []
        if refuse:
            rules.append(f"socks block {{\n    from: {refuse} to: 0.0.0.0/0\n"
                         "    log: connect error\n}")
        # Values of "command" run to the end of the line.
        rules.append(f"socks pass {{\n    from: {subnet} to: 0.0.0.0/0\n    command: connect\n"
                     "    log: connect disconnect error\n}")
        with open(self.conf, "w") as f:
            f.write(DANTE_CONF.format(log=self.logfile, ip=host.ip, port=SOCKS_PORT, subnet=subnet,
                                      socks_rules="\n".join(rules)))
        self.pidfile = os.path.join(self.dir, "danted.pid")
        self.proc = kvtest.Proc(run, host.exec_cmd("danted", "-f", self.conf, "-p", self.pidfile),
                                stdout=os.path.join(self.dir, "stdout.txt"),
                                stderr=os.path.join(self.dir, "stderr.txt"))

        def listening():
            if not self.proc.alive():
                raise Failure("danted ended at start-up: " + self.tail())
            out = kvtest.run_quiet(host.exec_cmd("ss", "-Htln"), check_rc=False).stdout
            return f"{host.ip}:{SOCKS_PORT}" in out

        poll(listening, 10, f"danted to listen on {host.ip}:{SOCKS_PORT}", interval=0.1)

    def log_lines(self):
        try:
            with open(self.logfile, errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def tail(self, lines=15):
        text = []
        for path in (self.logfile, os.path.join(self.dir, "stderr.txt")):
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    text.extend(f.read().splitlines()[-lines:])
        return "\n".join(text)


# ---------------------------------------------------------------------------------------------
# Accessibility


class Ui:
    """The windows of one copy of the program through AT-SPI."""

    def __init__(self, copy):
        self.copy = copy
        self.display = copy.display
        if not self.display.accessibility:
            raise RuntimeError("the copy runs on a display without accessibility")

    def _call(self, request, timeout=30):
        request = dict(request, pid=self.copy.pid)
        result = subprocess.run([sys.executable, os.path.abspath(__file__), "--atspi",
                                 json.dumps(request)], env=self.display.environ(),
                                capture_output=True, text=True, timeout=timeout)
        if result.returncode != 0:
            raise Failure(f"AT-SPI request {request} failed: {result.stderr.strip()[-600:]}")
        return json.loads(result.stdout)

    def windows(self):
        """The copy's top-level windows (frames and dialogs) with their subtrees; [] if none yet."""
        return self._call({"op": "dump"}) or []

    def window(self, title, timeout=10):
        """The subtree of the top-level window with this title, once it is showing."""
        def probe():
            for w in self.windows():
                if w["name"] == title and "showing" in w["states"]:
                    return w
            return None
        return poll(probe, timeout, f"{self.copy.name}'s window {title!r}", interval=0.2)

    def window_gone(self, title, timeout=10):
        poll(lambda: not any(w["name"] == title for w in self.windows()), timeout,
             f"{self.copy.name}'s window {title!r} to close", interval=0.2)

    def act(self, title, role, name, index=0, action="click"):
        """Performs an action of the `index`th node with this role and name in the window titled
        `title` (None: the main window's menus, which also hold the menu items)."""
        done = self._call({"op": "action", "window": title, "role": role, "name": name,
                           "index": index, "action": action})
        if not done:
            raise Failure(f"{self.copy.name}: no {role} {name!r} with action {action!r} in "
                          f"window {title!r}")

    def menu(self, label):
        """Activates a menu item by its label (without the mnemonic underscore)."""
        self.act(kvtest.TITLE, "menu item", label)

    def set_text(self, title, role, index, text):
        """Replaces the text of the `index`th editable node with this role in the window."""
        if not self._call({"op": "set_text", "window": title, "role": role, "index": index,
                           "text": text}):
            raise Failure(f"{self.copy.name}: could not set the text of {role} #{index} in {title!r}")


def nodes(tree, role=None, name=None):
    return kvtest.find_nodes(tree, role=role, name=name)


def texts(tree, role="text"):
    """The text contents of the nodes with this role, in tree order."""
    return [n.get("text", "") for n in nodes(tree, role=role)]


def _atspi(request):
    import warnings
    warnings.simplefilter("ignore")
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    def app_of(pid):
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_process_id() == pid:
                return app
        return None

    def node(acc, depth):
        interfaces = set(acc.get_interfaces() or [])
        entry = {"role": acc.get_role_name(), "name": acc.get_name() or "", "states": [],
                 "extents": None, "children": []}
        try:
            entry["states"] = sorted(Atspi.StateType(s).value_nick
                                     for s in acc.get_state_set().get_states())
        except Exception:
            pass
        if "Text" in interfaces and entry["role"] in ("text", "entry"):
            try:
                entry["text"] = acc.get_text(0, min(acc.get_character_count(), 20000))
            except Exception:
                entry["text"] = ""
        if "Component" in interfaces:
            try:
                ext = acc.get_extents(Atspi.CoordType.SCREEN)
                entry["extents"] = [ext.x, ext.y, ext.width, ext.height]
            except Exception:
                pass
        if depth < 40:
            for i in range(min(acc.get_child_count(), 500)):
                child = acc.get_child_at_index(i)
                if child is not None:
                    entry["children"].append((child, node(child, depth + 1)))
        return entry

    def plain(entry):
        return dict(entry, children=[plain(c) for _, c in entry["children"]])

    def search(acc_entry, role, name):
        acc, entry = acc_entry
        found = []
        stack = [acc_entry]
        while stack:
            acc, entry = stack.pop()
            if (role is None or entry["role"] == role) and (name is None or entry["name"] == name):
                found.append((acc, entry))
            stack.extend(reversed(entry["children"]))
        return found

    app = app_of(request["pid"])
    if app is None:
        print("null")
        return
    windows = []
    for i in range(app.get_child_count()):
        child = app.get_child_at_index(i)
        if child is not None:
            windows.append((child, node(child, 0)))
    if request["op"] == "dump":
        print(json.dumps([plain(entry) for _, entry in windows]))
        return

    title = request.get("window")
    chosen = [w for w in windows if w[1]["name"] == title]
    if not chosen:
        print("false")
        return
    window = chosen[-1]
    if request["op"] == "action":
        hits = search(window, request["role"], request.get("name"))
        if len(hits) <= request["index"]:
            print("false")
            return
        acc = hits[request["index"]][0]
        for i in range(acc.get_n_actions()):
            if acc.get_action_name(i) == request["action"]:
                print(json.dumps(bool(acc.do_action(i))))
                return
        print("false")
    elif request["op"] == "set_text":
        hits = search(window, request["role"], None)
        if len(hits) <= request["index"]:
            print("false")
            return
        acc = hits[request["index"]][0]
        print(json.dumps(bool(acc.set_text_contents(request["text"]))))
    else:
        raise SystemExit(f"unknown request {request['op']}")


# ---------------------------------------------------------------------------------------------
# Process figures


def thread_cpu_seconds(pid, tid=None):
    """User plus system CPU time of one thread (the main thread by default)."""
    with open(f"/proc/{pid}/task/{tid or pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--scripted-user":
        _scripted_user(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "--atspi":
        _atspi(json.loads(sys.argv[2]))
    else:
        print("kvtest_directory is a library for tests/system/test_directory_*.py", file=sys.stderr)
        sys.exit(2)
