"""Guards against leaked processes and namespaces between whole-program tests: the run's building blocks (hosts, display, sound card, copies, accessibility)."""

import glob
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

PORT = 2047
TITLE = "Kestrelvox"
SUBNET = "10.47.0"
RECEIVER_EXITED = "audio receiving process exited gracefully"
SENDER_EXITED = "Audio transmission process exited gracefully"


def poll(probe, timeout, what, interval=0.05):
    """Calls probe() until it returns something true; returns that value or fails the test."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def run_quiet(cmd, env=None, timeout=10, check_rc=True):
    result = subprocess.run(cmd, env=env, timeout=timeout, capture_output=True, text=True)
    if check_rc and result.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed ({result.returncode}): {result.stderr.strip()}")
    return result


def need(*tools):
    """A missing tool fails the test that needs it; it never skips it."""
    missing = [t for t in tools if not shutil.which(t)]
    assert not missing, f"not installed: {', '.join(missing)} (see scripts/install-deps.sh)"


def read_text(path, tail=None):
    try:
        with open(path, "rb") as f:
            text = f.read().decode(errors="replace")
    except OSError:
        return ""
    return "\n".join(text.splitlines()[-tail:]) if tail else text


class Proc:
    """A background process in its own session, marked KVT_RUN=<prefix> for teardown to find."""

    def __init__(self, run, cmd, env=None, cwd=None, stdout=None, stderr=None, pass_fds=()):
        full_env = dict(env if env is not None else os.environ, KVT_RUN=run.prefix)
        out, err = (open(path, "wb") if path else subprocess.DEVNULL for path in (stdout, stderr))
        try:
            self.popen = subprocess.Popen(cmd, env=full_env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=err, pass_fds=pass_fds, start_new_session=True)
        finally:
            for f in (out, err):
                if f is not subprocess.DEVNULL:
                    f.close()
        self.pid = self.popen.pid
        run.defer(self.stop, f"stop {os.path.basename(cmd[0])} (pid {self.pid})")

    def alive(self):
        return self.popen.poll() is None

    @property
    def returncode(self):
        return self.popen.poll()

    def wait(self, timeout):
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, grace=2.0):
        """SIGTERM to the group, SIGKILL after `grace`; then SIGKILL for children left in it."""
        for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0), (signal.SIGKILL, 0)):
            try:
                os.killpg(self.pid, sig)
            except (ProcessLookupError, PermissionError):
                break
            self.wait(wait)


def _comm(pid):
    return read_text(f"/proc/{pid}/comm").strip()


def processes_marked(marker):
    def marked(pid):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f, open(f"/proc/{pid}/stat", "rb") as s:
                return f"KVT_RUN={marker}".encode() in f.read().split(b"\0") and b") Z" not in s.read()
        except OSError:
            return False
    return [int(p) for p in os.listdir("/proc") if p.isdigit() and int(p) != os.getpid() and marked(p)]


class Host:
    def __init__(self, name, ns, ip):
        self.name, self.ns, self.ip = name, ns, ip

    def exec_cmd(self, *cmd):
        return ["ip", "netns", "exec", self.ns, *cmd]

    def wait_udp_bound(self, port=PORT, timeout=10):
        def bound():
            out = run_quiet(self.exec_cmd("ss", "-Huln")).stdout
            return any(re.search(rf":{port}\s", line + " ") for line in out.splitlines())
        poll(bound, timeout, f"UDP port {port} to be bound in {self.ns}", interval=0.1)


class Network:
    """Hosts in namespaces: loopback (one), a veth pair (two) or a bridge (more); host i is .<i+1>."""

    def __init__(self, run, names):
        assert names and len(set(names)) == len(names), "host names must be unique"
        self.hosts = {}
        for i, name in enumerate(names):
            assert re.fullmatch(r"[a-z0-9]{1,4}", name), f"host name {name!r}: 1-4 of [a-z0-9]"
            ns = self._namespace(run, run.prefix + name)
            self.hosts[name] = Host(name, ns, "127.0.0.1" if len(names) == 1 else f"{SUBNET}.{i + 1}")
        if len(names) == 2:
            a, b = (self.hosts[n] for n in names)
            va, vb = run.prefix + "v" + a.name, run.prefix + "v" + b.name
            run_quiet(["ip", "link", "add", va, "type", "veth", "peer", "name", vb])
            self._attach(a, va)
            self._attach(b, vb)
        elif len(names) > 2:
            br = self._namespace(run, run.prefix + "br")
            run_quiet(["ip", "-n", br, "link", "add", "br0", "type", "bridge"])
            run_quiet(["ip", "-n", br, "link", "set", "br0", "up"])
            for host in self.hosts.values():
                inner, outer = run.prefix + "v" + host.name, run.prefix + "p" + host.name
                run_quiet(["ip", "link", "add", inner, "type", "veth", "peer", "name", outer])
                run_quiet(["ip", "link", "set", outer, "netns", br])
                run_quiet(["ip", "-n", br, "link", "set", outer, "master", "br0"])
                run_quiet(["ip", "-n", br, "link", "set", outer, "up"])
                self._attach(host, inner)

    @staticmethod
    def _namespace(run, ns):
        run_quiet(["ip", "netns", "add", ns])
        run.defer(lambda: run_quiet(["ip", "netns", "del", ns], check_rc=False), f"delete {ns}")
        run_quiet(["ip", "-n", ns, "link", "set", "lo", "up"])
        return ns

    @staticmethod
    def _attach(host, dev):
        run_quiet(["ip", "link", "set", dev, "netns", host.ns])
        run_quiet(["ip", "-n", host.ns, "addr", "add", f"{host.ip}/24", "dev", dev])
        run_quiet(["ip", "-n", host.ns, "link", "set", dev, "up"])

    def __getitem__(self, name):
        return self.hosts[name]


class Display:
    """Xvfb and openbox; with accessibility, a private session bus for the copies and AT-SPI."""

    def __init__(self, run, accessibility=False, screen="1280x1024x24", attempts=3):
        self.run, self.accessibility = run, accessibility
        self.home = os.path.join(run.workdir, "display")
        for sub in ("runtime", "config", "cache", "data"):
            os.makedirs(os.path.join(self.home, sub), mode=0o700, exist_ok=True)
        for attempt in range(1, attempts + 1):
            problem = self._start(screen, attempt)
            if problem is None:
                return
            if attempt == attempts:
                raise AssertionError(problem)
            print(f"display start-up, attempt {attempt}: {problem}; trying again", flush=True)

    def _start(self, screen, attempt):
        """Returns None, or what went wrong (with both logs) after stopping what was started."""
        xlog, wmlog = (os.path.join(self.home, f"{n}-{attempt}.log") for n in ("xvfb", "openbox"))
        read_end, write_end = os.pipe()
        try:
            xvfb = Proc(self.run, ["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen,
                                   "-nolisten", "tcp"], stderr=xlog, pass_fds=(write_end,))
            os.close(write_end)
            text = b""
            while not text.endswith(b"\n") and select.select([read_end], [], [], 10)[0]:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                text += chunk
        finally:
            os.close(read_end)
        if not text.strip().isdigit():
            xvfb.stop()
            return f"Xvfb reported no display number; its log:\n{read_text(xlog, 20)}"
        self.name = f":{int(text)}"
        self.env = {"DISPLAY": self.name, "GSETTINGS_BACKEND": "memory",
                    **{f"XDG_{k.upper()}_HOME": os.path.join(self.home, k)
                       for k in ("config", "cache", "data")},
                    "XDG_RUNTIME_DIR": os.path.join(self.home, "runtime")}
        if self.accessibility:
            self._start_session_bus(attempt)
        else:
            self.env["NO_AT_BRIDGE"] = "1"
        wm = Proc(self.run, ["openbox", "--sm-disable"], env=self.environ(), stderr=wmlog)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if not wm.alive():
                break
            if run_quiet(["wmctrl", "-m"], env=self.environ(), check_rc=False).returncode == 0:
                return None
            time.sleep(0.1)
        status = "did not come up in 30 s" if wm.alive() else f"ended at start-up (status {wm.returncode})"
        wm.stop()
        xvfb.stop()
        return (f"openbox {status} on {self.name}; openbox log:\n{read_text(wmlog, 20)}\n"
                f"Xvfb log:\n{read_text(xlog, 20)}")

    def _start_session_bus(self, attempt):
        # A path socket, not an abstract one: abstract sockets do not cross network namespaces.
        read_end, write_end = os.pipe()
        try:
            Proc(self.run, ["dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf",
                            f"--address=unix:path={self.home}/bus{attempt}", "--nofork",
                            f"--print-address={write_end}"],
                 env=self.environ(), stderr=os.path.join(self.home, "dbus.log"), pass_fds=(write_end,))
            os.close(write_end)
            assert select.select([read_end], [], [], 10)[0], "the session bus did not start in 10 s"
            self.env["DBUS_SESSION_BUS_ADDRESS"] = os.read(read_end, 4096).decode().strip()
        finally:
            os.close(read_end)

    def environ(self, extra=None):
        env = {k: v for k, v in os.environ.items() if k not in (
            "DBUS_SESSION_BUS_ADDRESS", "NO_AT_BRIDGE", "WAYLAND_DISPLAY", "LD_PRELOAD",
            "GTK_MODULES", "GDK_BACKEND")}
        return {**env, **self.env, **(extra or {})}

    def tool(self, *cmd, timeout=10, check_rc=True):
        return run_quiet(list(cmd), env=self.environ(), timeout=timeout, check_rc=check_rc)

    def xdotool(self, *args, check_rc=True):
        return self.tool("xdotool", *args, check_rc=check_rc).stdout

    def find_windows(self, name=None, pid=None):
        args = ["search", "--all", "--onlyvisible"] + (["--pid", str(pid)] if pid else [])
        return [int(w) for w in self.xdotool(*args, "--name", name or ".", check_rc=False).split()]

    def active_window(self):
        out = self.xdotool("getactivewindow", check_rc=False).strip()
        return int(out) if out.isdigit() else None

    def activate(self, wid, timeout=5):
        asked = [0.0]

        def active():  # the window manager may drop a request while focus moves: ask again
            if time.monotonic() - asked[0] > 1:
                self.xdotool("windowactivate", str(wid), check_rc=False)
                asked[0] = time.monotonic()
            return self.active_window() == wid
        poll(active, timeout, f"window {wid} to become active")

    def key(self, wid, *keys):
        self.activate(wid)
        self.xdotool("key", "--clearmodifiers", *keys)

    def type_text(self, wid, text):
        self.activate(wid)
        self.xdotool("type", "--delay", "20", text)

    def close_window(self, wid):  # as its close button would
        self.tool("wmctrl", "-i", "-c", hex(wid))

    def window_title(self, wid):
        return self.xdotool("getwindowname", str(wid), check_rc=False).strip()

    def screenshot(self, path, wid=None, frame=True):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        where = ["root"] if wid is None else [str(wid)] + (["-frame"] if frame else [])
        self.tool("import", "-window", *where, path, timeout=30)
        return path


# ---------------------------------------------------------------------------------------------
# Accessibility: AT-SPI calls run in a child process (they block in-process while the bus waits
# on the application), with the display's environment.


def find_nodes(tree, role=None, name=None):
    """All nodes of an accessibility tree (depth first) with that role and/or name."""
    found, stack = [], [tree]
    while stack:
        node = stack.pop()
        if (role is None or node["role"] == role) and (name is None or node["name"] == name):
            found.append(node)
        stack.extend(reversed(node["children"]))
    return found


def texts(tree, role="text"):
    """The text contents of the nodes with this role, in tree order."""
    return [n.get("text", "") for n in find_nodes(tree, role=role)]


class Ui:
    """One copy's windows through AT-SPI. A node: role, name, keys (of its first action), states,
    extents (x, y, width, height), text (text and entry roles), children."""

    def __init__(self, copy):
        self.copy, self.display = copy, copy.display
        if not self.display.accessibility:
            raise RuntimeError("the copy runs on a display without accessibility")

    def _call(self, request, timeout=30):
        request = dict(request, pid=self.copy.pid)
        result = subprocess.run([sys.executable, os.path.abspath(__file__), "--atspi",
                                 json.dumps(request)], env=self.display.environ(),
                                capture_output=True, text=True, timeout=timeout)
        assert result.returncode == 0, f"AT-SPI {request} failed: {result.stderr.strip()[-600:]}"
        return json.loads(result.stdout)

    def tree(self):
        """The application's tree (its children are the top-level windows), or None."""
        return self._call({"op": "dump"})

    def windows(self):
        return (self.tree() or {"children": []})["children"]

    def window(self, title, timeout=10):
        """The top-level window with this title, once it is showing."""
        return poll(lambda: next((w for w in self.windows() if w["name"] == title
                                  and "showing" in w["states"]), None),
                    timeout, f"{self.copy.name}'s window {title!r}", interval=0.2)

    def window_gone(self, title, timeout=10):
        poll(lambda: not any(w["name"] == title for w in self.windows()), timeout,
             f"{self.copy.name}'s window {title!r} to close", interval=0.2)

    def act(self, title, role, name, index=0, action="click"):
        """`action` of the index-th node with this role and name in the window titled `title`."""
        assert self._call({"op": "action", "window": title, "role": role, "name": name,
                           "index": index, "action": action}), \
            f"{self.copy.name}: no {role} {name!r} with action {action!r} in window {title!r}"

    def menu(self, label):  # without the mnemonic underscore
        self.act(TITLE, "menu item", label)

    def act_path(self, names, timeout=10):
        """The first action of the object reached by finding each name below the previous one,
        e.g. ["Kestrelvox", "Audio", "Mute"] or ["System Busy", "OK"]."""
        poll(lambda: self._call({"op": "path", "names": list(names)}), timeout,
             f"an accessible {' > '.join(names)} of {self.copy.name} to act on", interval=0.2)

    def set_text(self, title, role, index, text):
        assert self._call({"op": "set_text", "window": title, "role": role, "index": index,
                           "text": text}), f"{self.copy.name}: no {role} #{index} in {title!r}"


def _atspi(request):
    import warnings
    warnings.simplefilter("ignore")
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    def children(acc):
        kids = (acc.get_child_at_index(i) for i in range(min(acc.get_child_count(), 500)))
        return [k for k in kids if k is not None]

    def node(acc, depth=0):
        # Asking an object for an interface it lacks makes the application log a warning.
        interfaces = set(acc.get_interfaces() or [])
        entry = {"role": acc.get_role_name(), "name": acc.get_name() or "", "keys": "",
                 "states": [], "extents": None, "acc": acc}
        for key, interface, get in (
                ("keys", "Action", lambda: acc.get_n_actions() and acc.get_key_binding(0) or ""),
                ("states", None, lambda: sorted(Atspi.StateType(s).value_nick
                                                for s in acc.get_state_set().get_states())),
                ("extents", "Component", lambda: (lambda e: [e.x, e.y, e.width, e.height])(
                    acc.get_extents(Atspi.CoordType.SCREEN))),
                ("text", "Text", lambda: acc.get_text(0, min(acc.get_character_count(), 20000))
                 if entry["role"] in ("text", "entry") else None)):
            if interface is None or interface in interfaces:
                try:
                    value = get()
                    if value is not None:
                        entry[key] = value
                except Exception:
                    pass
        entry["children"] = [node(c, depth + 1) for c in children(acc)] if depth < 40 else []
        return entry

    def plain(entry):
        return {**{k: v for k, v in entry.items() if k != "acc"},
                "children": [plain(c) for c in entry["children"]]}

    desktop = Atspi.get_desktop(0)
    app = next((a for a in children(desktop) if a.get_process_id() == request["pid"]), None)
    op = request["op"]
    if app is None:
        print("null" if op == "dump" else "false")
        return
    def descend(acc, name, depth=0):
        for child in children(acc):
            if child.get_name() == name:
                return child
            found = descend(child, name, depth + 1) if depth < 40 else None
            if found is not None:
                return found
        return None

    if op == "path":
        target = app
        for name in request["names"]:
            target = descend(target, name)
            if target is None:
                break
        if target is None or "Action" not in (target.get_interfaces() or []) \
                or target.get_n_actions() < 1:
            print("false")
            return
        try:
            target.do_action(0)
        except Exception:
            pass  # the request went out; an application that quits on it may not answer
        print("true")
        return
    tree = node(app)
    if op == "dump":
        print(json.dumps(plain(tree)))
        return
    chosen = [w for w in tree["children"] if w["name"] == request.get("window")]
    hits = find_nodes(chosen[-1], role=request["role"],
                      name=request.get("name") if op == "action" else None) if chosen else []
    if len(hits) <= request["index"]:
        print("false")
        return
    acc = hits[request["index"]]["acc"]
    if op == "set_text":
        print(json.dumps(bool(acc.set_text_contents(request["text"]))))
        return
    names = [acc.get_action_name(i) for i in range(acc.get_n_actions())]
    print(json.dumps(request["action"] in names
                     and bool(acc.do_action(names.index(request["action"])))))


# ---------------------------------------------------------------------------------------------
# Simulated sound card

ALSA_CONF = """\
# /dev/dsp as seen through libaoss: playback into $DSP_OUT, capture from $DSP_IN, paced in real time
# by a JACK dummy clock (raw signed 16-bit little-endian mono 8000 Hz files).
pcm.jackmono { type jack
  playback_ports { 0 system:playback_1 }  capture_ports { 0 system:capture_1 } }
pcm.dsp0 { type asym
  playback.pcm { type file  slave.pcm { type plug; slave.pcm "jackmono" }
    file { @func getenv vars [ DSP_OUT ] default "/dev/null" }  format "raw" }
  capture.pcm { type file  slave.pcm { type plug; slave.pcm "jackmono" }
    file "/dev/null"
    infile { @func getenv vars [ DSP_IN ] default "/dev/null" }  format "raw" } }
"""


class SoundClock:
    """One jackd dummy clock at 8000 Hz for the run's copies, behind their /dev/dsp (or, with alsa,
    ALSA's default device)."""

    def __init__(self, run):
        self.server = run.prefix + "clock"
        self.conf = os.path.join(run.workdir, "asound.conf")
        self.default_conf = os.path.join(run.workdir, "asound-default.conf")
        for path, text in ((self.conf, ALSA_CONF), (self.default_conf, ALSA_CONF + 'pcm.!default "dsp0"\n')):
            with open(path, "w") as f:
                f.write(text)
        hits = sorted(h for p in ("/usr/lib/*/libaoss.so", "/usr/lib/*/libaoss.so.0") for h in glob.glob(p))
        assert hits, "libaoss.so not found (package alsa-oss)"
        self.libaoss = hits[0]
        err = os.path.join(run.workdir, "jackd.err")
        self.jackd = Proc(run, ["jackd", "-n", self.server, "-r", "-d", "dummy", "-r", "8000",
                                "-p", "80", "-C", "1", "-P", "1"],
                          stdout=os.path.join(run.workdir, "jackd.log"), stderr=err)
        run.defer(self._clean_shm, "remove the JACK files of this run from /dev/shm")

        def ready():
            assert self.jackd.alive(), f"jackd ended at start-up: {read_text(err, 10)}"
            env = {**os.environ, "JACK_DEFAULT_SERVER": self.server, "JACK_NO_START_SERVER": "1"}
            return "system:capture_1" in run_quiet(["jack_lsp", "-s", self.server], env=env,
                                                   check_rc=False).stdout
        poll(ready, 15, "the JACK clock", interval=0.1)

    def env(self, dsp_in, dsp_out, alsa=False):
        env = {"JACK_DEFAULT_SERVER": self.server, "JACK_NO_START_SERVER": "1",
               "ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf:" + (self.default_conf if alsa else self.conf),
               "DSP_IN": os.path.abspath(dsp_in) if dsp_in else "/dev/null",
               "DSP_OUT": os.path.abspath(dsp_out) if dsp_out else "/dev/null"}
        return env if alsa else {**env, "LD_PRELOAD": self.libaoss}

    def _clean_shm(self):
        self.jackd.stop()
        other_jackd = any(p.isdigit() and _comm(p) == "jackd" for p in os.listdir("/proc"))
        for entry in os.listdir("/dev/shm"):
            # Files every JACK server shares serve nobody once no server runs: the last run removes them.
            if self.server in entry or (entry.startswith(("jack-", "jack_db")) and not other_jackd):
                path = os.path.join("/dev/shm", entry)
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path, ignore_errors=True)
                else:
                    try:
                        os.unlink(path)
                    except OSError:
                        pass


# ---------------------------------------------------------------------------------------------
# A running copy of the program


class Copy:
    """One copy of the program in a host's namespace; <workdir>/<name> holds its output."""

    def __init__(self, run, name, host, display, sound=None, dsp_in=None, dsp_out=None,
                 trace=False, env=None, args=(), alsa=False):
        self.run, self.name, self.host, self.display = run, name, host, display
        self.dir = os.path.join(run.workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        self.stdout_path = os.path.join(self.dir, "stdout.txt")
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self.trace_path = os.path.join(self.dir, "dsp-trace.txt") if trace else None
        self.dsp_in, self.dsp_out = dsp_in, dsp_out
        extra, preload = {}, []
        if trace:
            preload.append(run.dsptrace_library())
            extra["KVT_DSPTRACE"] = self.trace_path
        if sound is not None:
            extra.update(sound.env(dsp_in, dsp_out, alsa))
            if "LD_PRELOAD" in extra:
                preload.append(extra.pop("LD_PRELOAD"))
        if preload:
            extra["LD_PRELOAD"] = ":".join(preload)
        extra.update(env or {})
        self.proc = Proc(run, host.exec_cmd(run.binary, *args), env=display.environ(extra),
                         cwd=self.dir, stdout=self.stdout_path, stderr=self.stderr_path)
        self.pid = self.proc.pid  # `ip netns exec` execs in place: this is the program itself
        self.window = None
        run.copies.append(self)

    def alive(self):
        return self.proc.alive()

    @property
    def returncode(self):
        return self.proc.returncode

    def wait_exit(self, timeout):
        rc = self.proc.wait(timeout)
        assert rc is not None, f"{self.name} did not end within {timeout:g} s"
        return rc

    def quit(self, timeout=10):
        self.key(self.window, "ctrl+q")
        rc = self.wait_exit(timeout)
        assert rc == 0, f"{self.name} ended with status {rc}"

    def stdout(self):
        return read_text(self.stdout_path)

    def stderr(self):
        return read_text(self.stderr_path)

    def stdout_lines(self):
        return self.stdout().splitlines()

    def stderr_lines(self):
        return self.stderr().splitlines()

    def wait_output(self, text, timeout=10, stream="stdout"):
        reader = self.stdout if stream == "stdout" else self.stderr
        return poll(lambda: text in reader(), timeout, f"{text!r} on {self.name}'s {stream}")

    def wait_count(self, line, count, timeout=10):
        poll(lambda: self.stdout_lines().count(line) >= count, timeout,
             f"{line!r} {count} times on {self.name}")

    def wait_bound(self, timeout=10):
        self.host.wait_udp_bound(PORT, timeout)

    def wait_window(self, title=TITLE, timeout=15):
        def probe():
            assert self.alive(), (f"{self.name} ended (status {self.returncode}) before its window "
                                  f"{title!r} appeared; stderr: {self.stderr().strip()[-500:]}")
            wins = self.display.find_windows("^" + re.escape(title) + "$", pid=self.pid)
            return wins[0] if wins else None
        return poll(probe, timeout, f"window {title!r} of {self.name}", interval=0.1)

    def window_gone(self, title, timeout=10):
        poll(lambda: not self.display.find_windows(f"^{re.escape(title)}$", pid=self.pid), timeout,
             f"{self.name}'s {title!r} to close")

    def ready(self):
        self.window = self.wait_window()
        self.wait_bound()
        return self

    def key(self, wid, *keys):
        self.display.key(wid, *keys)

    def type_text(self, wid, text):
        self.display.type_text(wid, text)

    def close_window(self, wid):
        self.display.close_window(wid)

    def screenshot(self, path, wid=None):
        return self.display.screenshot(path, wid)

    @property
    def ui(self):
        return Ui(self)

    def accessible(self, timeout=10):
        return poll(lambda: (lambda t: t if t and find_nodes(t, role="frame") else None)(self.ui.tree()),
                    timeout, f"the accessibility tree of {self.name}", interval=0.2)

    def act(self, *names, timeout=10):
        self.ui.act_path(names, timeout)

    def labels(self, window_title, timeout=10):
        return poll(lambda: [n["name"] for n in find_nodes(self.ui.window(window_title, timeout),
                                                             role="label")],
                    timeout, f"labels of {self.name}'s {window_title!r}", interval=0.2)

    def new_connection(self, text):
        self.key(self.window, "ctrl+n")
        box = self.wait_window("New Connection")
        self.type_text(box, text)
        self.key(box, "Return")
        return box

    def choose_codec(self, label):
        line = f"Audio mode: {label}"
        before = self.stdout_lines().count(line)
        self.act(TITLE, "Audio", "Compression")
        self.wait_window("Audio Compression Mode")
        self.act("Audio Compression Mode", label)
        self.act("Audio Compression Mode", "  OK  ")
        self.wait_count(line, before + 1)

    def mute(self):
        before = self.stdout_lines().count(SENDER_EXITED)
        self.act(TITLE, "Audio", "Mute")
        self.wait_count(SENDER_EXITED, before + 1)

    def dsp_trace(self):
        """[(time_s, op, fields)] logged by kvtest_dsptrace.c; fields add path, request and result."""
        events = []
        for line in read_text(self.trace_path).splitlines() if self.trace_path else []:
            parts = line.split()
            if len(parts) < 2:
                continue
            fields, rest = {}, parts[2:]
            if parts[1] in ("open", "ioctl") and rest:
                fields["path" if parts[1] == "open" else "request"] = rest.pop(0)
            for i, item in enumerate(rest):
                if item == "->" and i + 1 < len(rest):
                    fields["result"] = int(rest[i + 1])
                elif "=" in item:
                    key, value = item.split("=", 1)
                    fields[key] = int(value, 0)
            events.append((float(parts[0]), parts[1], fields))
        return events

    def device_transfers(self, op):  # byte counts of successful reads or writes
        return [f["result"] for _, o, f in self.dsp_trace() if o == op and f.get("result", -1) > 0]

    def describe(self, lines=15):
        status = "running" if self.alive() else f"status {self.returncode}"
        text = [f"--- {self.name} in {self.host.ns} ({status}), dir {self.dir}"]
        for label, path in (("stdout", self.stdout_path), ("stderr", self.stderr_path)):
            text.append(f"    {label} (last {lines} lines):")
            text.extend(f"      | {line}" for line in read_text(path, lines).splitlines())
        return "\n".join(text)


def quit_tail_ok(lines, racing=(RECEIVER_EXITED,)):
    """Output ends "Quit audio receiving", "Main process exited"; `racing` exit lines may come
    anywhere among them, once each."""
    window = lines[-(2 + len(racing)):]
    if any(window.count(line) > 1 for line in racing):
        return False
    return [line for line in window if line not in racing][-2:] == \
        ["Quit audio receiving", "Main process exited"]


# ---------------------------------------------------------------------------------------------
# Audio files, media packets and a scripted peer


def speech(text, path, voice="en-us"):
    """Speaks text into a raw s16le 8000 Hz file (sox -D: no random dither); returns the samples."""
    need("espeak-ng", "sox")
    wav = subprocess.run(["espeak-ng", "-v", voice, "--stdout", text], capture_output=True,
                         timeout=30, check=True).stdout
    subprocess.run(["sox", "-D", "-t", "wav", "-", "-r", "8000", "-c", "1", "-b", "16",
                    "-e", "signed-integer", "-t", "raw", path], input=wav, capture_output=True,
                   timeout=30, check=True)
    return read_s16(path)


def read_s16(path):
    return np.fromfile(path, dtype="<i2").astype(np.int16)


def write_s16(path, samples):
    np.asarray(samples).astype("<i2").tofile(path)
    return path


def tone(seconds, freq=440.0, amplitude=8000, rate=8000):
    t = np.arange(int(seconds * rate)) / rate
    return np.round(amplitude * np.sin(2 * np.pi * freq * t)).astype(np.int16)


def rms(samples):
    x = np.asarray(samples, dtype=np.float64)
    return float(np.sqrt(np.mean(x * x))) if x.size else 0.0


def frame_rms(samples, frame=160):
    x = np.asarray(samples, dtype=np.float64)
    n = x.size // frame
    return np.sqrt(np.mean(x[:n * frame].reshape(n, frame) ** 2, axis=1)) if n else np.zeros(0)


def media_packet(payload, codec_word=0):
    """24-byte header (codec word and payload length big-endian at 16 and 20), then the payload."""
    return (bytes(16) + codec_word.to_bytes(4, "big") + len(payload).to_bytes(4, "big", signed=True)
            + bytes(payload))


class UdpPeer:
    """Binds UDP 2047 in a namespace (so answers are not refused), sends [(seconds, datagram)] to
    `to`, and records what it receives until `duration` has passed."""

    def __init__(self, run, host, name, to, sends, duration):
        self.dir = os.path.join(run.workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        plan = os.path.join(self.dir, "peer.json")
        self.log = os.path.join(self.dir, "received.jsonl")
        with open(plan, "w") as f:
            json.dump({"to": to, "port": PORT, "duration": duration, "log": self.log,
                       "sends": [[t, bytes(d).hex()] for t, d in sends]}, f)
        self.err = os.path.join(self.dir, "stderr.txt")
        self.proc = Proc(run, host.exec_cmd(sys.executable, os.path.abspath(__file__), "--udp-peer",
                                            plan), stderr=self.err)
        self.duration = duration

    def wait(self):
        rc = self.proc.wait(self.duration + 10)
        assert rc == 0, f"the scripted peer failed ({rc}): {read_text(self.err)[-800:]}"

    def received(self):  # [(seconds since its start, sender address, datagram)]
        return [(e[0], e[1], bytes.fromhex(e[2]))
                for e in map(json.loads, read_text(self.log).splitlines())]


def _udp_peer(plan_path):
    import socket
    with open(plan_path) as f:
        plan = json.load(f)
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("", plan["port"]))
    start = time.monotonic()
    sends = sorted((t, bytes.fromhex(d)) for t, d in plan["sends"])
    with open(plan["log"], "w") as log:
        while True:
            now = time.monotonic() - start
            while sends and sends[0][0] <= now:
                sock.sendto(sends.pop(0)[1], (plan["to"], plan["port"]))
            if now >= plan["duration"] and not sends:
                break
            wait = min([plan["duration"] - now] + ([sends[0][0] - now] if sends else []))
            if select.select([sock], [], [], max(wait, 0))[0]:
                data, sender = sock.recvfrom(65536)
                log.write(json.dumps([time.monotonic() - start, sender[0], data.hex()]) + "\n")
                log.flush()


# ---------------------------------------------------------------------------------------------
# The run


class Run:
    """Everything one test creates; torn down by `close` in reverse order of creation."""
    count = 0

    def __init__(self, binary, build_dir, source_dir, name):
        self.binary, self.build_dir, self.source_dir = binary, build_dir, source_dir
        Run.count += 1
        # Interface names hold 15 characters: kv + 6 hex digits + 1 + _ + v + a 4-letter host.
        self.prefix = f"kv{os.getpid():x}{'0123456789abcdefghijklmnopqrstuvwxyz'[Run.count % 36]}_"
        base = os.path.join(build_dir, "system-tests")
        os.makedirs(base, exist_ok=True)
        self.workdir = tempfile.mkdtemp(prefix=re.sub(r"[^\w.-]", "_", name)[:60] + "-", dir=base)
        os.chmod(self.workdir, 0o755)
        self.copies, self._deferred = [], []
        self._display = self._sound = None

    def defer(self, fn, what):
        self._deferred.append((fn, what))

    def close(self):
        """Tears everything down; returns what had to be cleaned up by force."""
        errors = []
        while self._deferred:
            fn, what = self._deferred.pop()
            try:
                fn()
            except Exception as exc:  # keep tearing down the rest
                errors.append(f"{what}: {exc}")
        for pid in processes_marked(self.prefix):
            try:
                os.kill(pid, signal.SIGKILL)
                errors.append(f"ended leftover process {pid} ({_comm(pid)})")
            except ProcessLookupError:
                pass
        for ns in run_quiet(["ip", "netns", "list"], check_rc=False).stdout.split():
            if ns.startswith(self.prefix):
                run_quiet(["ip", "netns", "del", ns], check_rc=False)
                errors.append(f"deleted leftover namespace {ns}")
        return errors

    def network(self, *names):
        return Network(self, list(names))

    def display(self, accessibility=False):
        if self._display is None:
            self._display = Display(self, accessibility)
        elif accessibility and not self._display.accessibility:
            raise RuntimeError("the run's display was created without accessibility")
        return self._display

    def sound(self):
        if self._sound is None:
            self._sound = SoundClock(self)
        return self._sound

    def start(self, name, host, sound=False, dsp_in=None, dsp_out=None, trace=False,
              accessibility=False, env=None, args=(), alsa=False):
        """A copy in host's namespace; with sound, /dev/dsp reads dsp_in and plays into dsp_out
        (default <dir>/dsp_out.raw); with alsa too, that card is ALSA's default device instead."""
        display = self.display(accessibility)
        clock = self.sound() if sound else None
        if sound and dsp_out is None:
            dsp_out = os.path.join(self.workdir, name, "dsp_out.raw")
        return Copy(self, name, host, display, clock, dsp_in, dsp_out, trace, env, args, alsa)

    def peer(self, name, host, to, sends, duration):
        return UdpPeer(self, host, name, to, sends, duration)

    def start_pair(self, input_a=None, input_b=None, trace=False, accessibility=False, net=None,
                   names=("A", "B")):
        """Two ready copies with sound cards in namespaces a and b (or `net`'s); input_x is None
        (silence), a path or samples."""
        net = net or self.network("a", "b")
        copies = []
        for name, host, source in ((names[0], net["a"], input_a), (names[1], net["b"], input_b)):
            os.makedirs(os.path.join(self.workdir, name), exist_ok=True)
            if source is not None and not isinstance(source, (str, os.PathLike)):
                source = write_s16(os.path.join(self.workdir, name, "dsp_in.raw"), source)
            copies.append(self.start(name, host, sound=True, dsp_in=source, trace=trace,
                                     accessibility=accessibility))
        return tuple(c.ready() for c in copies)

    def kvcodec(self, codec, samples):
        """What the program's own pipelines (tools/kvcodec) play for `samples` sent with `codec`
        from fresh states; whole blocks only."""
        tool = os.path.join(self.build_dir, "tools", "kvcodec", "kvcodec")
        assert os.access(tool, os.X_OK), f"kvcodec not built: {tool}"
        with tempfile.TemporaryDirectory(dir=self.workdir) as tmp:
            src, dst = os.path.join(tmp, "in.raw"), os.path.join(tmp, "out.raw")
            write_s16(src, samples)
            run_quiet([tool, codec, src, dst], timeout=60)
            return read_s16(dst)

    def dsptrace_library(self):
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kvtest_dsptrace.c")
        target = os.path.join(self.build_dir, "system-tests", "kvtest_dsptrace.so")
        if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
            tmp = target + f".{os.getpid()}"
            run_quiet(["cc", "-O1", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC", "-o", tmp,
                       source, "-ldl"], timeout=60)
            os.replace(tmp, target)
        return target

    def artifact(self, *parts):  # a file kept after the run
        path = os.path.join(self.build_dir, "system-tests", "artifacts", *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return path


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--atspi":
        _atspi(json.loads(sys.argv[2]))
    elif len(sys.argv) == 3 and sys.argv[1] == "--udp-peer":
        _udp_peer(sys.argv[2])
    else:
        sys.exit("kvtest is a helper module for tests/system/test_*.py")
