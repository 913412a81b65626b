#!/usr/bin/python3
"""Whole-program test harness for Kestrelvox.

A test is a function that takes a `Run` and raises `Failure` (through `check`) when the program
misbehaves; `main(test)` parses the CTest arguments, runs it with a time limit, and tears down
everything the run created, also on failure, timeout or a signal.

What a run can create (each torn down in reverse order of creation):
  - network namespaces named kvt<pid>_<host>, joined by a veth pair (two hosts) or a bridge
    namespace (three or more); every copy of the program runs inside one of them;
  - one virtual display (Xvfb on a free display number, openbox), optionally with its own session
    bus so that the copies are reachable through accessibility (AT-SPI);
  - the simulated sound card: one jackd dummy clock with a name unique to the run, the ALSA
    configuration that turns /dev/dsp (through libaoss) into the files DSP_IN and DSP_OUT;
  - copies of the program, each in its own working directory with its output captured.

Every background process the run starts carries KVT_RUN=<prefix> in its environment; teardown ends any
such process still alive (daemons that detached from their parents included).

A call from A to B, as a test (a and b are copies with their own simulated sound cards):

    def test(run):
        hello = kvtest.speech("Hello there", os.path.join(run.workdir, "hello.raw"))
        a, b = run.start_pair(input_a=hello)
        a.key(a.window, "ctrl+n")                       # /Connect/New
        box = a.wait_window("New Connection")
        a.type_text(box, b.host.ip)
        a.key(box, "Return")
        b.wait_output("Receiving from host " + a.host.ip)
        time.sleep(3)
        for copy in (a, b):
            copy.key(copy.window, "ctrl+q")
            check(copy.wait_exit(5) == 0, f"{copy.name} quits")
        heard = kvtest.read_s16(b.dsp_out)               # what B's sound card played

    kvtest.main(test)

Menu entries without an accelerator and dialog buttons are reached through accessibility:
start the copies with accessibility=True and use copy.act("Kestrelvox", "Audio", "Mute"),
copy.labels("System Busy"), copy.accessible(). copy.dsp_trace() (with trace=True) lists what the
program did with /dev/dsp. run.peer() is a scripted host that sends and records datagrams.

Only the Python standard library and numpy are used; run it with /usr/bin/python3.
"""

import argparse
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
import traceback

import numpy as np

PORT = 2047
TITLE = "Kestrelvox"
SUBNET = "10.47.0"
LIBAOSS_GLOBS = ("/usr/lib/*/libaoss.so", "/usr/lib/*/libaoss.so.0", "/usr/lib/libaoss.so*")


class Failure(Exception):
    """The program under test did not behave as expected."""


class Timeout(Exception):
    """The whole test ran past its time limit."""


def check(condition, what, detail=""):
    """Prints what was checked; raises Failure when it does not hold."""
    if not condition:
        raise Failure(what + (f"\n    {detail}" if detail else ""))
    print(f"  ok: {what}", flush=True)


def note(text):
    print(f"  -- {text}", flush=True)


def poll(probe, timeout, what, interval=0.05):
    """Calls probe() until it returns something true; returns that value or raises Failure."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def run_quiet(cmd, env=None, timeout=10, check_rc=True):
    """Runs a short helper command; returns its CompletedProcess (text mode)."""
    result = subprocess.run(cmd, env=env, timeout=timeout, capture_output=True, text=True)
    if check_rc and result.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed ({result.returncode}): {result.stderr.strip()}")
    return result


# ---------------------------------------------------------------------------------------------
# Processes


class Proc:
    """A background process in its own session, so that it and its children can be ended."""

    def __init__(self, run, cmd, env=None, cwd=None, stdout=None, stderr=None, pass_fds=()):
        self.cmd = cmd
        full_env = dict(env if env is not None else os.environ)
        full_env["KVT_RUN"] = run.prefix
        out = open(stdout, "wb") if stdout else subprocess.DEVNULL
        err = open(stderr, "wb") if stderr else subprocess.DEVNULL
        try:
            self.popen = subprocess.Popen(cmd, env=full_env, cwd=cwd, stdin=subprocess.DEVNULL,
                                          stdout=out, stderr=err, pass_fds=pass_fds,
                                          start_new_session=True)
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
        """SIGTERM to the process group, then SIGKILL."""
        if self.popen.poll() is None:
            for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
                try:
                    os.killpg(self.pid, sig)
                except ProcessLookupError:
                    break
                if self.wait(wait) is not None:
                    break
        else:
            try:  # children left in the group after the leader ended
                os.killpg(self.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass


def processes_marked(marker):
    """PIDs of live processes whose environment holds KVT_RUN=<marker>."""
    wanted = f"KVT_RUN={marker}".encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if wanted in f.read().split(b"\0"):
                    with open(f"/proc/{entry}/stat", "rb") as s:
                        if s.read().split(b") ")[-1][:1] != b"Z":
                            found.append(int(entry))
        except OSError:
            continue
    return found


# ---------------------------------------------------------------------------------------------
# Network namespaces


class Host:
    def __init__(self, name, ns, ip):
        self.name, self.ns, self.ip = name, ns, ip

    def exec_cmd(self, *cmd):
        return ["ip", "netns", "exec", self.ns, *cmd]

    def udp_bound(self, port=PORT):
        out = run_quiet(self.exec_cmd("ss", "-Huln")).stdout
        return any(re.search(rf":{port}\s", line + " ") for line in out.splitlines())

    def wait_udp_bound(self, port=PORT, timeout=10):
        poll(lambda: self.udp_bound(port), timeout, f"UDP port {port} to be bound in {self.ns}",
             interval=0.1)

    def __repr__(self):
        return f"Host({self.name}, {self.ns}, {self.ip})"


class Network:
    """Hosts in private namespaces: loopback only (one host), a veth pair (two) or a bridge (more).
    Host i gets the address 10.47.0.<i+1>; a bridge lives in its own namespace <prefix>br."""

    def __init__(self, run, names):
        self.run = run
        self.hosts = {}
        if len(set(names)) != len(names) or not names:
            raise ValueError("host names must be unique and at least one")
        for i, name in enumerate(names):
            if not re.fullmatch(r"[a-z0-9]{1,4}", name):
                raise ValueError(f"host name {name!r}: 1 to 4 lower-case letters or digits")
            ns = run.prefix + name
            run_quiet(["ip", "netns", "add", ns])
            run.defer(lambda ns=ns: run_quiet(["ip", "netns", "del", ns], check_rc=False),
                      f"delete namespace {ns}")
            run_quiet(["ip", "-n", ns, "link", "set", "lo", "up"])
            ip = "127.0.0.1" if len(names) == 1 else f"{SUBNET}.{i + 1}"
            self.hosts[name] = Host(name, ns, ip)
        if len(names) == 2:
            a, b = (self.hosts[n] for n in names)
            va, vb = run.prefix + "v" + a.name, run.prefix + "v" + b.name
            run_quiet(["ip", "link", "add", va, "type", "veth", "peer", "name", vb])
            for host, dev in ((a, va), (b, vb)):
                self._attach(host, dev)
        elif len(names) > 2:
            br = run.prefix + "br"
            run_quiet(["ip", "netns", "add", br])
            run.defer(lambda: run_quiet(["ip", "netns", "del", br], check_rc=False),
                      f"delete namespace {br}")
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
    def _attach(host, dev):
        run_quiet(["ip", "link", "set", dev, "netns", host.ns])
        run_quiet(["ip", "-n", host.ns, "addr", "add", f"{host.ip}/24", "dev", dev])
        run_quiet(["ip", "-n", host.ns, "link", "set", dev, "up"])

    def __getitem__(self, name):
        return self.hosts[name]


# ---------------------------------------------------------------------------------------------
# Display


class Display:
    """Xvfb on a free display number with openbox; with accessibility, a private session bus that
    the copies' accessibility bridge and the AT-SPI queries share."""

    def __init__(self, run, accessibility=False, screen="1280x1024x24"):
        self.run = run
        self.accessibility = accessibility
        self.home = os.path.join(run.workdir, "display")
        for sub in ("runtime", "config", "cache", "data"):
            os.makedirs(os.path.join(self.home, sub), mode=0o700, exist_ok=True)
        read_end, write_end = os.pipe()
        try:
            self.xvfb = Proc(run, ["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen,
                                   "-nolisten", "tcp"],
                             stderr=os.path.join(self.home, "xvfb.log"), pass_fds=(write_end,))
            os.close(write_end)
            number = self._read_display_number(read_end)
        finally:
            os.close(read_end)
        self.name = f":{number}"
        self.env = {
            "DISPLAY": self.name,
            "XDG_RUNTIME_DIR": os.path.join(self.home, "runtime"),
            "XDG_CONFIG_HOME": os.path.join(self.home, "config"),
            "XDG_CACHE_HOME": os.path.join(self.home, "cache"),
            "XDG_DATA_HOME": os.path.join(self.home, "data"),
            "GSETTINGS_BACKEND": "memory",
        }
        if accessibility:
            self._start_session_bus()
        else:
            self.env["NO_AT_BRIDGE"] = "1"
        self.wm = Proc(run, ["openbox", "--sm-disable"], env=self.environ(),
                       stderr=os.path.join(self.home, "openbox.log"))

        def wm_ready():
            if not self.wm.alive():
                raise Failure(f"openbox ended at start-up (status {self.wm.returncode}); see "
                              f"{self.home}/openbox.log")
            return run_quiet(["wmctrl", "-m"], env=self.environ(), check_rc=False).returncode == 0

        poll(wm_ready, 30, f"the window manager on display {self.name}", interval=0.1)

    def _read_display_number(self, fd):
        text = b""
        deadline = time.monotonic() + 10
        while not text.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise Failure("Xvfb did not report a display number within 10 s")
            chunk = os.read(fd, 16)
            if not chunk:
                raise Failure("Xvfb ended before reporting a display number")
            text += chunk
        return int(text)

    def _start_session_bus(self):
        # A path socket, not an abstract one: abstract sockets do not cross network namespaces.
        path = os.path.join(self.home, "bus")
        read_end, write_end = os.pipe()
        try:
            Proc(self.run, ["dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf",
                            f"--address=unix:path={path}", "--nofork", f"--print-address={write_end}"],
                 env=self.environ(), stderr=os.path.join(self.home, "dbus.log"), pass_fds=(write_end,))
            os.close(write_end)
            if not select.select([read_end], [], [], 10)[0]:
                raise Failure("the session bus did not start within 10 s")
            address = os.read(read_end, 4096).decode().strip()
        finally:
            os.close(read_end)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address

    def environ(self, extra=None):
        env = dict(os.environ)
        for key in ("DBUS_SESSION_BUS_ADDRESS", "NO_AT_BRIDGE", "WAYLAND_DISPLAY", "LD_PRELOAD",
                    "GTK_MODULES", "GDK_BACKEND"):
            env.pop(key, None)
        env.update(self.env)
        env.update(extra or {})
        return env

    def tool(self, *cmd, timeout=10, check_rc=True):
        return run_quiet(list(cmd), env=self.environ(), timeout=timeout, check_rc=check_rc)

    def xdotool(self, *args, check_rc=True):
        return self.tool("xdotool", *args, check_rc=check_rc).stdout

    def find_windows(self, name=None, pid=None):
        args = ["search", "--all", "--onlyvisible"]
        if pid is not None:
            args += ["--pid", str(pid)]
        args += ["--name", name if name is not None else "."]
        out = self.xdotool(*args, check_rc=False)
        return [int(w) for w in out.split()]

    def active_window(self):
        out = self.xdotool("getactivewindow", check_rc=False).strip()
        return int(out) if out.isdigit() else None

    def activate(self, wid, timeout=5):
        self.xdotool("windowactivate", str(wid), check_rc=False)
        poll(lambda: self.active_window() == wid, timeout, f"window {wid} to become active")

    def key(self, wid, *keys):
        """Sends key strokes (xdotool names: ctrl+q, alt+f, Return) to the window once active."""
        self.activate(wid)
        self.xdotool("key", "--clearmodifiers", *keys)

    def type_text(self, wid, text):
        self.activate(wid)
        self.xdotool("type", "--delay", "20", text)

    def close_window(self, wid):
        """Asks the window manager to close the window, as its close button would."""
        self.tool("wmctrl", "-i", "-c", hex(wid))

    def window_title(self, wid):
        return self.xdotool("getwindowname", str(wid), check_rc=False).strip()

    def screenshot(self, path, wid=None, frame=True):
        """PNG of one window (with its window-manager frame) or of the whole screen."""
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        if wid is None:
            cmd = ["import", "-window", "root", path]
        else:
            cmd = ["import", "-window", str(wid)] + (["-frame"] if frame else []) + [path]
        self.tool(*cmd, timeout=30)
        return path

    def accessible_tree(self, pid, timeout=10):
        """The accessibility tree of the application with this PID, as nested dicts with the keys
        role, name, keys (mnemonic;path;accelerator of its first action), states, extents
        (x, y, width, height on the screen) and children. Polls until the application has a frame."""
        if not self.accessibility:
            raise RuntimeError("this display was started without accessibility")
        env = self.environ()

        def probe():
            result = subprocess.run([sys.executable, os.path.abspath(__file__), "--atspi-dump",
                                     str(pid)], env=env, capture_output=True, text=True, timeout=30)
            if result.returncode != 0:
                return None
            tree = json.loads(result.stdout)
            return tree if tree and find_nodes(tree, role="frame") else None

        return poll(probe, timeout, f"the accessibility tree of pid {pid}", interval=0.2)

    def accessible_action(self, pid, names, timeout=10):
        """Performs the first action ("click" or "activate") of the accessible object reached from
        the application with this PID by finding each name in turn below the previous one, e.g.
        ["Kestrelvox", "Audio", "Mute"] for a menu item or ["System Busy", "OK"] for a button."""
        if not self.accessibility:
            raise RuntimeError("this display was started without accessibility")
        env = self.environ()

        def probe():
            result = subprocess.run([sys.executable, os.path.abspath(__file__), "--atspi-do",
                                     str(pid), json.dumps(list(names))],
                                    env=env, capture_output=True, text=True, timeout=30)
            return result.returncode == 0 and result.stdout.strip() == "done"

        poll(probe, timeout, f"an accessible {' > '.join(names)} to act on", interval=0.2)


def find_nodes(tree, role=None, name=None):
    """All nodes of an accessibility tree (depth first) with that role and/or name."""
    found = []
    stack = [tree]
    while stack:
        node = stack.pop()
        if (role is None or node["role"] == role) and (name is None or node["name"] == name):
            found.append(node)
        stack.extend(reversed(node["children"]))
    return found


def _atspi_application(pid):
    import warnings
    warnings.simplefilter("ignore")
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid:
            return Atspi, app
    return Atspi, None


def _atspi_do(pid, names):
    """Prints "done" after acting on the object that `names` leads to (see accessible_action)."""
    _, node = _atspi_application(pid)

    def descend(acc, name, depth=0):
        for i in range(min(acc.get_child_count(), 500)):
            child = acc.get_child_at_index(i)
            if child is None:
                continue
            if child.get_name() == name:
                return child
            if depth < 40:
                found = descend(child, name, depth + 1)
                if found is not None:
                    return found
        return None

    for name in names:
        if node is None:
            break
        node = descend(node, name)
    if node is None or "Action" not in (node.get_interfaces() or []) or node.get_n_actions() < 1:
        print("not found")
        return
    try:
        node.do_action(0)
    except Exception:
        pass  # the request went out; an application that quits on it may not answer
    print("done")


def _atspi_dump(pid):
    """Prints the accessibility tree of the application with the given PID as JSON (or null)."""
    Atspi, app = _atspi_application(pid)

    def node(acc, depth):
        entry = {"role": acc.get_role_name(), "name": acc.get_name() or "", "keys": "",
                 "states": [], "extents": None, "children": []}
        # Asking an object for an interface it lacks makes the application log a warning.
        interfaces = set(acc.get_interfaces() or [])
        try:
            if "Action" in interfaces and acc.get_n_actions() > 0:
                entry["keys"] = acc.get_key_binding(0) or ""
        except Exception:
            pass
        try:
            states = acc.get_state_set()
            entry["states"] = sorted(Atspi.StateType(s).value_nick for s in states.get_states())
        except Exception:
            pass
        try:
            if "Component" in interfaces:
                ext = acc.get_extents(Atspi.CoordType.SCREEN)
                entry["extents"] = [ext.x, ext.y, ext.width, ext.height]
        except Exception:
            pass
        if depth < 40:
            for i in range(min(acc.get_child_count(), 500)):
                child = acc.get_child_at_index(i)
                if child is not None:
                    entry["children"].append(node(child, depth + 1))
        return entry

    print(json.dumps(node(app, 0)) if app is not None else "null")


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

# The same card as ALSA's default device, for a copy that runs without libaoss (and so finds no
# /dev/dsp): the program's ALSA backend opens "default" for both directions.
ALSA_DEFAULT_CONF = ALSA_CONF + 'pcm.!default "dsp0"\n'


def find_libaoss():
    for pattern in LIBAOSS_GLOBS:
        hits = sorted(glob.glob(pattern))
        if hits:
            return hits[0]
    raise Failure("libaoss.so not found (package alsa-oss)")


class SoundClock:
    """One jackd dummy clock at 8000 Hz shared by every copy of the run, and the ALSA file devices
    behind each copy's /dev/dsp."""

    def __init__(self, run):
        self.run = run
        self.server = run.prefix + "clock"
        self.conf = os.path.join(run.workdir, "asound.conf")
        with open(self.conf, "w") as f:
            f.write(ALSA_CONF)
        self.default_conf = os.path.join(run.workdir, "asound-default.conf")
        with open(self.default_conf, "w") as f:
            f.write(ALSA_DEFAULT_CONF)
        self.libaoss = find_libaoss()
        self.jackd = Proc(run, ["jackd", "-n", self.server, "-r", "-d", "dummy", "-r", "8000",
                                "-p", "80", "-C", "1", "-P", "1"],
                          stdout=os.path.join(run.workdir, "jackd.log"),
                          stderr=os.path.join(run.workdir, "jackd.err"))
        run.defer(self._clean_shm, "remove the JACK files of this run from /dev/shm")

        def ready():
            if not self.jackd.alive():
                raise Failure("jackd ended at start-up; see " + os.path.join(run.workdir, "jackd.err"))
            out = run_quiet(["jack_lsp", "-s", self.server], env=self.env_base(), check_rc=False)
            return "system:capture_1" in out.stdout

        poll(ready, 15, "the JACK clock", interval=0.1)

    def env_base(self):
        return {**os.environ, "JACK_DEFAULT_SERVER": self.server, "JACK_NO_START_SERVER": "1"}

    def env(self, dsp_in, dsp_out, alsa=False):
        """Environment for a copy whose /dev/dsp reads dsp_in and plays into dsp_out; with alsa,
        no libaoss, and ALSA's default device is that card instead."""
        env = {
            "JACK_DEFAULT_SERVER": self.server,
            "JACK_NO_START_SERVER": "1",
            "ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf:" + (self.default_conf if alsa else self.conf),
            "DSP_IN": os.path.abspath(dsp_in) if dsp_in else "/dev/null",
            "DSP_OUT": os.path.abspath(dsp_out) if dsp_out else "/dev/null",
        }
        if not alsa:
            env["LD_PRELOAD"] = self.libaoss
        return env

    def _clean_shm(self):
        self.jackd.stop()
        other_jackd = any(
            pid for pid in os.listdir("/proc") if pid.isdigit() and _comm(pid) == "jackd")
        for entry in os.listdir("/dev/shm"):
            ours = self.server in entry
            # Files every JACK server shares (the registry, segments, the metadata database) were
            # created or used by this run's server; once no server runs they serve nobody, so the
            # last run to end removes them.
            shared = entry.startswith(("jack-", "jack_db"))
            if ours or (shared and not other_jackd):
                path = os.path.join("/dev/shm", entry)
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path, ignore_errors=True)
                else:
                    try:
                        os.unlink(path)
                    except OSError:
                        pass


def _comm(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return ""


# ---------------------------------------------------------------------------------------------
# A running copy of the program


class Copy:
    """One copy of the program inside a host's namespace, with its own working directory
    (<workdir>/<name>) and its standard output and error in files there."""

    def __init__(self, run, name, host, display, sound=None, dsp_in=None, dsp_out=None,
                 trace=False, env=None, args=(), alsa=False):
        self.run, self.name, self.host, self.display = run, name, host, display
        self.dir = os.path.join(run.workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        self.stdout_path = os.path.join(self.dir, "stdout.txt")
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self.trace_path = os.path.join(self.dir, "dsp-trace.txt") if trace else None
        self.dsp_in = dsp_in
        self.dsp_out = dsp_out
        extra = {}
        preload = []
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
        self.started = time.monotonic()
        run.copies.append(self)

    # process
    def alive(self):
        return self.proc.alive()

    @property
    def returncode(self):
        return self.proc.returncode

    def wait_exit(self, timeout):
        """Waits for the program to end; returns its exit status or raises Failure."""
        rc = self.proc.wait(timeout)
        if rc is None:
            raise Failure(f"{self.name} did not end within {timeout:g} s")
        return rc

    # output
    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stdout_lines(self):
        return self.stdout().splitlines()

    def stderr_lines(self):
        return self.stderr().splitlines()

    def wait_output(self, text, timeout=10, stream="stdout"):
        reader = self.stdout if stream == "stdout" else self.stderr
        return poll(lambda: text in reader(), timeout, f"{text!r} on {self.name}'s {stream}")

    # network
    def wait_bound(self, timeout=10):
        """Waits until UDP port 2047 is bound in the copy's namespace."""
        self.host.wait_udp_bound(PORT, timeout)

    # display
    def wait_window(self, title=TITLE, timeout=15):
        """Waits for a visible top-level window of this copy with exactly that title; returns its id."""
        pattern = "^" + re.escape(title) + "$"

        def probe():
            if not self.alive():
                raise Failure(f"{self.name} ended (status {self.returncode}) before its window "
                              f"{title!r} appeared; stderr: {self.stderr().strip()[-500:]}")
            wins = self.display.find_windows(pattern, pid=self.pid)
            return wins[0] if wins else None

        return poll(probe, timeout, f"window {title!r} of {self.name}", interval=0.1)

    def key(self, wid, *keys):
        self.display.key(wid, *keys)

    def type_text(self, wid, text):
        self.display.type_text(wid, text)

    def close_window(self, wid):
        self.display.close_window(wid)

    def screenshot(self, path, wid=None):
        return self.display.screenshot(path, wid)

    def accessible(self, timeout=10):
        return self.display.accessible_tree(self.pid, timeout)

    def act(self, *names, timeout=10):
        """Clicks a menu entry or button found by names, e.g. act("Kestrelvox", "Audio", "Mute")."""
        self.display.accessible_action(self.pid, names, timeout)

    def new_connection(self, text):
        """Types text into "New Connection" (Ctrl+N) and presses Enter; returns the box's window."""
        self.key(self.window, "ctrl+n")
        box = self.wait_window("New Connection")
        self.type_text(box, text)
        self.key(box, "Return")
        return box

    def choose_codec(self, label, timeout=10):
        """Chooses ADPCM, GSM, LD-GSM or LPC10 in "Audio Compression Mode" and waits for the
        program's "Audio mode: <label>" line."""
        line = f"Audio mode: {label}"
        before = self.stdout_lines().count(line)
        self.act(TITLE, "Audio", "Compression")
        self.wait_window("Audio Compression Mode")
        self.act("Audio Compression Mode", label)
        self.act("Audio Compression Mode", "  OK  ")
        poll(lambda: self.stdout_lines().count(line) > before, timeout, f"{line!r} on {self.name}")

    def device_transfers(self, op):
        """Byte counts of the program's successful reads ("read") or writes ("write") on the
        device, in order (needs trace=True)."""
        return [f["result"] for _, o, f in self.dsp_trace() if o == op and f.get("result", -1) > 0]

    def labels(self, window_title, timeout=10):
        """The texts of the labels in this copy's window with that title (e.g. a message box)."""
        def probe():
            tree = self.accessible(timeout)
            windows = [w for w in tree["children"] if w["name"] == window_title]
            return windows and [n["name"] for n in find_nodes(windows[0], role="label")]
        return poll(probe, timeout, f"labels of {self.name}'s window {window_title!r}", interval=0.2)

    # sound device trace
    def dsp_trace(self):
        """The device operations logged by the trace library: a list of (time_s, op, fields) where
        fields is a dict of the key=value items plus 'result' for '-> n'."""
        if not self.trace_path or not os.path.exists(self.trace_path):
            return []
        events = []
        with open(self.trace_path) as f:
            for line in f:
                parts = line.split()
                if len(parts) < 2:
                    continue
                fields = {}
                rest = parts[2:]
                if parts[1] in ("open",) and rest:
                    fields["path"] = rest.pop(0)
                if parts[1] == "ioctl" and rest:
                    fields["request"] = rest.pop(0)
                for i, item in enumerate(rest):
                    if item == "->" and i + 1 < len(rest):
                        fields["result"] = int(rest[i + 1])
                    elif "=" in item:
                        key, value = item.split("=", 1)
                        fields[key] = int(value, 0)
                events.append((float(parts[0]), parts[1], fields))
        return events

    def describe(self, lines=15):
        status = "running" if self.alive() else f"status {self.returncode}"
        text = [f"--- {self.name} in {self.host.ns} ({status}), dir {self.dir}"]
        for label, reader in (("stdout", self.stdout), ("stderr", self.stderr)):
            try:
                tail = reader().splitlines()[-lines:]
            except OSError:
                tail = []
            text.append(f"    {label} (last {lines} lines):")
            text.extend(f"      | {line}" for line in tail)
        return "\n".join(text)


RECEIVER_EXITED = "audio receiving process exited gracefully"
SENDER_EXITED = "Audio transmission process exited gracefully"


def quit_tail_ok(lines, racing=(RECEIVER_EXITED,)):
    """True when the last lines of standard output are "Quit audio receiving" then "Main process
    exited", with the exit lines of worker threads that end at the same moment (`racing`: by
    default the receiving thread's; add SENDER_EXITED when a call was running) allowed anywhere
    among them, each at most once: the threads race with the main thread's two lines."""
    window = lines[-(2 + len(racing)):]
    if any(window.count(line) > 1 for line in racing):
        return False
    rest = [line for line in window if line not in racing]
    return rest[-2:] == ["Quit audio receiving", "Main process exited"]


# ---------------------------------------------------------------------------------------------
# Audio files


def need(*tools):
    """A missing tool fails the test that needs it; it never skips it."""
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        raise Failure(f"not installed: {', '.join(missing)} (see scripts/install-deps.sh)")


def speech(text, path, voice="en-us", speed=None):
    """Speaks text with espeak-ng into a raw s16le mono 8000 Hz file (deterministic: sox -D);
    returns the samples."""
    need("espeak-ng", "sox")
    cmd = ["espeak-ng", "-v", voice, "--stdout"] + (["-s", str(speed)] if speed else []) + [text]
    wav = subprocess.run(cmd, capture_output=True, timeout=30, check=True).stdout
    subprocess.run(["sox", "-D", "-t", "wav", "-", "-r", "8000", "-c", "1", "-b", "16",
                    "-e", "signed-integer", "-t", "raw", path], input=wav, capture_output=True,
                   timeout=30, check=True)
    return read_s16(path)


def read_s16(path):
    """Raw signed 16-bit little-endian samples of a file, as an int16 array."""
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
    """RMS of each whole frame of `frame` samples (20 ms at 8000 Hz by default)."""
    x = np.asarray(samples, dtype=np.float64)
    n = x.size // frame
    if n == 0:
        return np.zeros(0)
    return np.sqrt(np.mean(x[:n * frame].reshape(n, frame) ** 2, axis=1))


# ---------------------------------------------------------------------------------------------
# Media packets and a scripted peer


def media_packet(payload, codec_word=0):
    """A media packet in wire order: 24-byte header (codec word and payload length big-endian at
    offsets 16 and 20, the rest zero) and the payload."""
    header = bytearray(24)
    header[16:20] = codec_word.to_bytes(4, "big")
    header[20:24] = len(payload).to_bytes(4, "big", signed=True)
    return bytes(header) + bytes(payload)


def parse_media_packet(datagram):
    """(codec word, payload length field, payload) of a packet in wire order."""
    if len(datagram) < 24:
        raise ValueError(f"{len(datagram)}-byte datagram is shorter than a header")
    word = int.from_bytes(datagram[16:20], "big")
    length = int.from_bytes(datagram[20:24], "big", signed=True)
    return word, length, datagram[24:]


def g711_ulaw(samples):
    """ITU-T G.711 u-law bytes of 16-bit samples (bias 0x84, 8 segments, bits inverted)."""
    x = np.asarray(samples, dtype=np.int32)
    sign = np.where(x < 0, 0x80, 0)
    magnitude = np.minimum(np.abs(x), 32635) + 0x84
    exponent = np.floor(np.log2(magnitude)).astype(np.int32) - 7
    mantissa = (magnitude >> (exponent + 3)) & 0x0F
    return (~(sign | (exponent << 4) | mantissa) & 0xFF).astype(np.uint8).tobytes()


class UdpPeer:
    """A scripted host in a namespace: binds UDP 2047 (so answers to it are not refused), sends
    the given datagrams to `to` at the given times (seconds from its start), and records every
    datagram it receives until `duration` has passed."""

    def __init__(self, run, host, name, to, sends, duration):
        self.dir = os.path.join(run.workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        plan = os.path.join(self.dir, "peer.json")
        self.log = os.path.join(self.dir, "received.jsonl")
        with open(plan, "w") as f:
            json.dump({"to": to, "port": PORT, "duration": duration, "log": self.log,
                       "sends": [[t, bytes(d).hex()] for t, d in sends]}, f)
        self.proc = Proc(run, host.exec_cmd(sys.executable, os.path.abspath(__file__), "--udp-peer",
                                            plan),
                         stdout=os.path.join(self.dir, "stdout.txt"),
                         stderr=os.path.join(self.dir, "stderr.txt"))
        self.duration = duration

    def wait(self):
        rc = self.proc.wait(self.duration + 10)
        if rc != 0:
            with open(os.path.join(self.dir, "stderr.txt")) as f:
                raise Failure(f"the scripted peer failed ({rc}): {f.read()[-800:]}")

    def received(self):
        """[(seconds since the peer started, sender address, datagram bytes)]"""
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [(e[0], e[1], bytes.fromhex(e[2])) for e in map(json.loads, f)]


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

    def __init__(self, args, name):
        self.binary = os.path.abspath(args.binary)
        self.build_dir = os.path.abspath(args.build_dir)
        self.source_dir = os.path.abspath(args.source_dir)
        self.keep = args.keep
        self.prefix = f"kvt{os.getpid()}_"
        base = os.path.join(self.build_dir, "system-tests")
        os.makedirs(base, exist_ok=True)
        self.workdir = tempfile.mkdtemp(prefix=f"{name}-", dir=base)
        os.chmod(self.workdir, 0o755)
        self.copies = []
        self._deferred = []
        self._display = None
        self._sound = None

    def defer(self, fn, what):
        self._deferred.append((fn, what))

    def close(self):
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
                errors.append(f"ended leftover process {pid} ({_comm(str(pid))})")
            except ProcessLookupError:
                pass
        leftover = [ns for ns in run_quiet(["ip", "netns", "list"], check_rc=False).stdout.split()
                    if ns.startswith(self.prefix)]
        for ns in leftover:
            run_quiet(["ip", "netns", "del", ns], check_rc=False)
            errors.append(f"deleted leftover namespace {ns}")
        return errors

    # building blocks
    def network(self, *names):
        return Network(self, list(names))

    def display(self, accessibility=False):
        """The run's one display (created on first use)."""
        if self._display is None:
            self._display = Display(self, accessibility)
        elif accessibility and not self._display.accessibility:
            raise RuntimeError("the run's display was created without accessibility")
        return self._display

    def sound(self):
        """The run's one JACK clock (created on first use)."""
        if self._sound is None:
            self._sound = SoundClock(self)
        return self._sound

    def start(self, name, host, sound=False, dsp_in=None, dsp_out=None, trace=False,
              accessibility=False, env=None, args=(), alsa=False):
        """Starts a copy of the program in host's namespace on the run's display. With sound, its
        /dev/dsp reads dsp_in and plays into dsp_out (defaults: silence in, <dir>/dsp_out.raw);
        with alsa as well, it has no /dev/dsp and finds that card as ALSA's default device."""
        display = self.display(accessibility)
        clock = self.sound() if sound else None
        if sound and dsp_out is None:
            dsp_out = os.path.join(self.workdir, name, "dsp_out.raw")
        return Copy(self, name, host, display, clock, dsp_in, dsp_out, trace, env, args, alsa)

    def peer(self, name, host, to, sends, duration):
        """A scripted UDP peer in host's namespace (see UdpPeer)."""
        return UdpPeer(self, host, name, to, sends, duration)

    def start_pair(self, input_a=None, input_b=None, trace=False, accessibility=False, net=None,
                   names=("A", "B")):
        """Two copies A and B in namespaces a (10.47.0.1) and b (10.47.0.2), each with its own
        simulated sound card; input_x is None (silence), a path or an array of samples. Returns
        (A, B) once both windows are up and both have bound UDP 2047; A.dsp_out and B.dsp_out
        are the files their devices play into. A later pair reuses the first one's network (net,
        from run.network("a", "b")) under other names once the earlier copies have ended."""
        net = net or self.network("a", "b")
        copies = []
        for name, host, source in ((names[0], net["a"], input_a), (names[1], net["b"], input_b)):
            os.makedirs(os.path.join(self.workdir, name), exist_ok=True)
            if source is not None and not isinstance(source, (str, os.PathLike)):
                source = write_s16(os.path.join(self.workdir, name, "dsp_in.raw"), source)
            copies.append(self.start(name, host, sound=True, dsp_in=source, trace=trace,
                                     accessibility=accessibility))
        for copy in copies:
            copy.window = copy.wait_window()
            copy.wait_bound()
        return tuple(copies)

    def kvcodec(self, codec, samples):
        """What a receiver plays when a sender captures `samples` with `codec` (none, adpcm, gsm,
        ldgsm, lpc10), block by block from fresh codec states: the program's own pipelines run by
        tools/kvcodec. Only whole blocks come out, as only whole blocks are sent."""
        tool = os.path.join(self.build_dir, "tools", "kvcodec", "kvcodec")
        if not os.access(tool, os.X_OK):
            raise Failure(f"kvcodec not built: {tool}")
        with tempfile.TemporaryDirectory(dir=self.workdir) as tmp:
            src, dst = os.path.join(tmp, "in.raw"), os.path.join(tmp, "out.raw")
            write_s16(src, samples)
            run_quiet([tool, codec, src, dst], timeout=60)
            return read_s16(dst)

    def dsptrace_library(self):
        """Builds (once) the device trace library into the build directory."""
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kvtest_dsptrace.c")
        target = os.path.join(self.build_dir, "system-tests", "kvtest_dsptrace.so")
        if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
            tmp = target + f".{os.getpid()}"
            run_quiet(["cc", "-O1", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC", "-o", tmp,
                       source, "-ldl"], timeout=60)
            os.replace(tmp, target)
        return target

    def artifact(self, *parts):
        """A path for a file kept after the run, under <build-dir>/system-tests/artifacts."""
        path = os.path.join(self.build_dir, "system-tests", "artifacts", *parts)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        return path


def parse_args(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True, help="the kestrelvox program")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the working directory")
    return parser.parse_args(argv)


def main(test, time_limit=100):
    """Runs test(run) with everything torn down afterwards; exits 0 on success, 1 on failure."""
    name = os.path.splitext(os.path.basename(sys.argv[0]))[0]
    args = parse_args()
    if os.geteuid() != 0:
        print(f"FAIL {name}: whole-program tests need root (network namespaces)")
        sys.exit(1)
    if not os.access(args.binary, os.X_OK):
        print(f"FAIL {name}: program not found: {args.binary}")
        sys.exit(1)

    def on_alarm(signum, frame):
        raise Timeout(f"the test ran past its limit of {time_limit} s")

    def on_signal(signum, frame):
        raise KeyboardInterrupt(f"signal {signum}")

    signal.signal(signal.SIGALRM, on_alarm)
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, on_signal)
    run = Run(args, name)
    print(f"{name}: program {run.binary}\n  working directory {run.workdir}, prefix {run.prefix}",
          flush=True)
    started = time.monotonic()
    failed = None
    signal.alarm(time_limit)
    try:
        test(run)
    except Failure as exc:
        failed = f"FAIL: {exc}"
    except (Timeout, KeyboardInterrupt) as exc:
        failed = f"FAIL: interrupted: {exc}"
    except Exception:
        failed = "FAIL: the test itself raised an error:\n" + traceback.format_exc()
    finally:
        signal.alarm(0)
        if failed:
            print(failed, flush=True)
            for copy in run.copies:
                print(copy.describe(), flush=True)
        # Teardown must not be cut short by a second signal.
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        problems = run.close()
        for problem in problems:
            print(f"  teardown: {problem}", flush=True)
    elapsed = time.monotonic() - started
    if failed:
        print(f"{name}: FAILED after {elapsed:.1f} s; files kept in {run.workdir}")
        sys.exit(1)
    if not run.keep:
        shutil.rmtree(run.workdir, ignore_errors=True)
    print(f"{name}: passed in {elapsed:.1f} s")
    sys.exit(0)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--atspi-dump":
        _atspi_dump(int(sys.argv[2]))
    elif len(sys.argv) == 4 and sys.argv[1] == "--atspi-do":
        _atspi_do(int(sys.argv[2]), json.loads(sys.argv[3]))
    elif len(sys.argv) == 3 and sys.argv[1] == "--udp-peer":
        _udp_peer(sys.argv[2])
    else:
        print("kvtest is a library for tests/system/test_*.py", file=sys.stderr)
        sys.exit(2)
