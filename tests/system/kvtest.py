"""Guards against leaked processes and namespaces between whole-program tests: the run's building blocks."""

import glob
import json
import os
import pathlib
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


def poll(probe, timeout, what, interval=0.05):  # probe()'s first true value, or the test fails
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


def need(*tools):  # a missing tool fails the test that needs it; it never skips it
    missing = [t for t in tools if not shutil.which(t)]
    assert not missing, f"not installed: {', '.join(missing)} (see scripts/install-deps.sh)"


def python_cmd(func, *args):
    """A command that runs func(*args), a module-level function of these tests, in a fresh Python."""
    code = (f"import json, sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); "
            f"from {func.__module__} import {func.__name__} as f; f(*json.loads(sys.argv[1]))")
    return [sys.executable, "-c", code, json.dumps(args)]


def read_text(path):  # "" while the file is not there
    try:
        return pathlib.Path(path).read_bytes().decode(errors="replace")
    except OSError:
        return ""


def _comm(pid):
    return read_text(f"/proc/{pid}/comm").strip()


class Proc:
    """A background process in its own session, marked KVT_RUN=<prefix> for teardown to find."""

    def __init__(self, run, cmd, env=None, cwd=None, stdout=None, stderr=None, pass_fds=()):
        full_env = dict(env if env is not None else os.environ, KVT_RUN=run.prefix)
        out, err = (open(path, "wb") if path else subprocess.DEVNULL for path in (stdout, stderr))
        self.popen = subprocess.Popen(cmd, env=full_env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=err, pass_fds=pass_fds, start_new_session=True)
        for f in {out, err} - {subprocess.DEVNULL}:
            f.close()
        self.pid = self.popen.pid
        run.defer(self.stop, f"stop {os.path.basename(cmd[0])} (pid {self.pid})")

    def alive(self):
        return self.popen.poll() is None

    def wait(self, timeout):  # the exit status, or None if still running
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        """SIGTERM to the group, SIGKILL after 2 s; then SIGKILL for children left in it."""
        for sig, wait in ((signal.SIGTERM, 2.0), (signal.SIGKILL, 5.0), (signal.SIGKILL, 0)):
            try:
                os.killpg(self.pid, sig)
            except (ProcessLookupError, PermissionError):
                break
            self.wait(wait)


class Host:
    def __init__(self, name, ns, ip):
        self.name, self.ns, self.ip = name, ns, ip

    def exec_cmd(self, *cmd):
        return ["ip", "netns", "exec", self.ns, *cmd]


def network(run, names):
    """{name: Host} in namespaces: loopback (one host) or on a bridge (more); host i is .<i+1>."""
    def namespace(ns):
        run_quiet(["ip", "netns", "add", ns])
        run.defer(lambda: run_quiet(["ip", "netns", "del", ns], check_rc=False), f"delete {ns}")
        run_quiet(["ip", "-n", ns, "link", "set", "lo", "up"])
        return ns
    hosts = {}
    for i, name in enumerate(names):
        assert re.fullmatch(r"[a-z0-9]{1,4}", name), f"host name {name!r}: 1-4 of [a-z0-9]"
        hosts[name] = Host(name, namespace(run.prefix + name), f"{SUBNET}.{i + 1}" if len(names) > 1 else "127.0.0.1")
    if len(names) > 1:
        br = namespace(run.prefix + "br")
        run_quiet(["ip", "-n", br, "link", "add", "br0", "type", "bridge"])
        run_quiet(["ip", "-n", br, "link", "set", "br0", "up"])
        for host in hosts.values():
            inner, outer = run.prefix + "v" + host.name, run.prefix + "p" + host.name
            for cmd in (["link", "add", inner, "type", "veth", "peer", "name", outer],
                        ["link", "set", outer, "netns", br], ["-n", br, "link", "set", outer, "master", "br0", "up"],
                        ["link", "set", inner, "netns", host.ns], ["-n", host.ns, "link", "set", inner, "up"],
                        ["-n", host.ns, "addr", "add", f"{host.ip}/24", "dev", inner]):
                run_quiet(["ip", *cmd])
    return hosts


class Display:
    """Xvfb, openbox and a private session bus for the copies and AT-SPI."""

    def __init__(self, run, attempts=3):
        self.run, self.home = run, os.path.join(run.workdir, "display")
        for sub in ("runtime", "config", "cache", "data"):
            os.makedirs(os.path.join(self.home, sub), mode=0o700, exist_ok=True)
        for attempt in range(1, attempts + 1):  # openbox sometimes ends at start-up: a fresh Xvfb helps
            problem = self._start(attempt)
            if problem is None:
                return
            assert attempt < attempts, problem
            print(f"display start-up, attempt {attempt}: {problem}; trying again", flush=True)

    def _child(self, cmd, log, env=None):
        """A Proc handed a pipe at "{fd}"; returns it and the line it writes there within 10 s."""
        read_end, write_end = os.pipe()
        proc = Proc(self.run, [arg.replace("{fd}", str(write_end)) for arg in cmd], env=env, stderr=log,
                    pass_fds=(write_end,))
        os.close(write_end)
        text = b""
        while not text.endswith(b"\n") and select.select([read_end], [], [], 10)[0]:
            chunk = os.read(read_end, 4096)
            if not chunk:
                break
            text += chunk
        os.close(read_end)
        return proc, text.decode(errors="replace").strip()

    def _start(self, attempt):
        """Returns None, or what went wrong (with both logs) after stopping what was started."""
        xlog, wmlog = (os.path.join(self.home, f"{n}-{attempt}.log") for n in ("xvfb", "openbox"))
        xvfb, number = self._child(["Xvfb", "-displayfd", "{fd}", "-screen", "0", "1280x1024x24",
                                    "-nolisten", "tcp"], xlog)
        if not number.isdigit():
            xvfb.stop()
            return f"Xvfb reported no display number; its log:\n{read_text(xlog)[-2000:]}"
        self.name = f":{number}"
        self.env = {"DISPLAY": self.name, "GSETTINGS_BACKEND": "memory",
                    **{f"XDG_{k.upper()}_HOME": os.path.join(self.home, k) for k in ("config", "cache", "data")},
                    "XDG_RUNTIME_DIR": os.path.join(self.home, "runtime")}
        # A path socket, not an abstract one: abstract sockets do not cross network namespaces.
        _, bus = self._child(["dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf", "--nofork",
                              f"--address=unix:path={self.home}/bus{attempt}", "--print-address={fd}"],
                             os.path.join(self.home, "dbus.log"), self.environ())
        assert bus, "the session bus did not start in 10 s"
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus
        wm = Proc(self.run, ["openbox", "--sm-disable"], env=self.environ(), stderr=wmlog)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and wm.alive():
            if run_quiet(["wmctrl", "-m"], env=self.environ(), check_rc=False).returncode == 0:
                return None
            time.sleep(0.1)
        status = "did not come up in 30 s" if wm.alive() else f"ended at start-up (status {wm.wait(0)})"
        wm.stop()
        xvfb.stop()
        return (f"openbox {status} on {self.name}; openbox log:\n{read_text(wmlog)[-2000:]}\n"
                f"Xvfb log:\n{read_text(xlog)[-2000:]}")

    def environ(self, extra=None):
        env = {k: v for k, v in os.environ.items() if k not in (
            "DBUS_SESSION_BUS_ADDRESS", "NO_AT_BRIDGE", "WAYLAND_DISPLAY", "LD_PRELOAD",
            "GTK_MODULES", "GDK_BACKEND")}
        return {**env, **self.env, **(extra or {})}

    def tool(self, *cmd, timeout=10, check_rc=True):
        return run_quiet(list(cmd), env=self.environ(), timeout=timeout, check_rc=check_rc)

    def xdotool(self, *args, check_rc=True):
        return self.tool("xdotool", *args, check_rc=check_rc).stdout

    def activate(self, wid, timeout=5):
        asked = [0.0]

        def active():  # the window manager may drop a request while focus moves: ask again
            if time.monotonic() - asked[0] > 1:
                self.xdotool("windowactivate", str(wid), check_rc=False)
                asked[0] = time.monotonic()
            return self.xdotool("getactivewindow", check_rc=False).strip() == str(wid)
        poll(active, timeout, f"window {wid} to become active")


# ---------------------------------------------------------------------------------------------
# Accessibility: AT-SPI calls run in a child process (they block in-process while the bus waits
# on the application), with the display's environment; see Copy.tree.


def find_nodes(tree, role=None, name=None):
    """All nodes of an accessibility tree (depth first) with that role and/or name."""
    found = [tree] if role in (None, tree["role"]) and name in (None, tree["name"]) else []
    return found + [node for child in tree["children"] for node in find_nodes(child, role, name)]


def texts(tree):
    """The contents of the text nodes, in tree order."""
    return [n.get("text", "") for n in find_nodes(tree, role="text")]


def _atspi(request):
    import warnings
    warnings.simplefilter("ignore")
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi

    def children(acc):
        kids = (acc.get_child_at_index(i) for i in range(min(acc.get_child_count(), 500)))
        return [k for k in kids if k is not None]

    def below(acc, depth=0):  # the descendants, depth first
        for child in children(acc):
            yield child
            if depth < 40:
                yield from below(child, depth + 1)

    def node(acc, depth=0):
        entry = {"role": acc.get_role_name(), "name": acc.get_name() or "", "keys": "", "states": [],
                 "extents": None}
        # Asking an object for an interface it lacks makes the application log a warning.
        has = set(acc.get_interfaces() or [])
        try:  # an object may go away while it is looked at
            entry["states"] = sorted(Atspi.StateType(s).value_nick for s in acc.get_state_set().get_states())
            if "Action" in has and acc.get_n_actions():
                entry["keys"] = acc.get_key_binding(0) or ""
            if "Component" in has:
                e = acc.get_extents(Atspi.CoordType.SCREEN)
                entry["extents"] = [e.x, e.y, e.width, e.height]
            if "Text" in has and entry["role"] in ("text", "entry"):
                entry["text"] = acc.get_text(0, min(acc.get_character_count(), 20000))
        except Exception:
            pass
        entry["children"] = [node(c, depth + 1) for c in children(acc)] if depth < 40 else []
        return entry

    app = next((a for a in children(Atspi.get_desktop(0)) if a.get_process_id() == request["pid"]), None)
    if request["op"] == "dump":
        print(json.dumps(node(app) if app else None))
        return
    names = request["names"]
    target = ([w for w in children(app) if w.get_name() == names[0]] or [None])[-1] if app else None
    for name in names[1:]:
        target = next((a for a in below(target) if a.get_name() == name), None) if target else None
    if request["op"] == "set_text":
        fields = [a for a in below(target) if a.get_role_name() == "text"] if target else []
        print(json.dumps(len(fields) > request["index"]
                         and bool(fields[request["index"]].set_text_contents(request["text"]))))
        return
    if target is None or "Action" not in (target.get_interfaces() or []) or target.get_n_actions() < 1:
        print("false")
        return
    try:
        target.do_action(0)
    except Exception:
        pass  # the request went out; an application that quits on it may not answer
    print("true")


# ---------------------------------------------------------------------------------------------
# Simulated sound card

ALSA_CONF = """\
# /dev/dsp as seen through libaoss, and ALSA's default device: playback into $DSP_OUT, capture from
# $DSP_IN, paced in real time by a JACK dummy clock (raw signed 16-bit little-endian mono 8000 Hz files).
pcm.jackmono { type jack
  playback_ports { 0 system:playback_1 }  capture_ports { 0 system:capture_1 } }
pcm.dsp0 { type asym
  playback.pcm { type file  slave.pcm { type plug; slave.pcm "jackmono" }
    file { @func getenv vars [ DSP_OUT ] default "/dev/null" }  format "raw" }
  capture.pcm { type file  slave.pcm { type plug; slave.pcm "jackmono" }
    file "/dev/null"
    infile { @func getenv vars [ DSP_IN ] default "/dev/null" }  format "raw" } }
pcm.!default "dsp0"
"""


class SoundClock:
    """One jackd dummy clock at 8000 Hz for the run's copies, behind their /dev/dsp (or, with alsa,
    ALSA's default device)."""

    def __init__(self, run):
        self.server = run.prefix + "clock"
        self.conf = os.path.join(run.workdir, "asound.conf")
        pathlib.Path(self.conf).write_text(ALSA_CONF)
        self.libaoss = (sorted(glob.glob("/usr/lib/*/libaoss.so*")) or [None])[0]
        assert self.libaoss, "libaoss.so not found (package alsa-oss)"
        err = os.path.join(run.workdir, "jackd.err")
        self.jackd = Proc(run, ["jackd", "-n", self.server, "-r", "-d", "dummy", "-r", "8000",
                                "-p", "80", "-C", "1", "-P", "1"],
                          stdout=os.path.join(run.workdir, "jackd.log"), stderr=err)
        run.defer(self._clean_shm, "remove the JACK files of this run from /dev/shm")

        def ready():
            assert self.jackd.alive(), f"jackd ended at start-up: {read_text(err)[-1000:]}"
            env = {**os.environ, "JACK_NO_START_SERVER": "1"}
            return "system:capture_1" in run_quiet(["jack_lsp", "-s", self.server], env, check_rc=False).stdout
        poll(ready, 15, "the JACK clock", interval=0.1)

    def env(self, dsp_in, dsp_out):  # the card's; /dev/dsp needs libaoss preloaded too
        return {"JACK_DEFAULT_SERVER": self.server, "JACK_NO_START_SERVER": "1",
                "ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf:" + self.conf,
                "DSP_IN": os.path.abspath(dsp_in) if dsp_in else "/dev/null", "DSP_OUT": os.path.abspath(dsp_out)}

    def _clean_shm(self):
        self.jackd.stop()
        other_jackd = any(p.isdigit() and _comm(p) == "jackd" for p in os.listdir("/proc"))
        # Files every JACK server shares serve nobody once no server runs: the last run removes them.
        run_quiet(["rm", "-rf", *(os.path.join("/dev/shm", e) for e in os.listdir("/dev/shm") if self.server in e
                                  or (e.startswith(("jack-", "jack_db")) and not other_jackd))], check_rc=False)


# ---------------------------------------------------------------------------------------------
# A running copy of the program


class Copy:
    """One copy of the program in a host's namespace; <workdir>/<name> holds its output. With sound,
    /dev/dsp reads dsp_in and plays into <dir>/dsp_out.raw; with alsa too, that card is ALSA's
    default device instead."""

    def __init__(self, run, name, host, sound=False, dsp_in=None, trace=False, accessibility=True,
                 env=None, args=(), alsa=False):
        self.run, self.name, self.host, self.display = run, name, host, run.display()
        self.dir = os.path.join(run.workdir, name)
        os.makedirs(self.dir, exist_ok=True)
        self.stdout_path, self.stderr_path = (os.path.join(self.dir, f) for f in ("stdout.txt", "stderr.txt"))
        self.trace_path = os.path.join(self.dir, "dsp-trace.txt") if trace else None
        self.dsp_out = os.path.join(self.dir, "dsp_out.raw") if sound else None
        extra = {} if accessibility else {"NO_AT_BRIDGE": "1"}
        preload = [run.dsptrace_library()] if trace else []
        if trace:
            extra["KVT_DSPTRACE"] = self.trace_path
        if sound:
            extra.update(run.sound().env(dsp_in, self.dsp_out))
            preload += [] if alsa else [run.sound().libaoss]
        if preload:
            extra["LD_PRELOAD"] = ":".join(preload)
        extra.update(env or {})
        self.proc = Proc(run, host.exec_cmd(run.binary, *args), env=self.display.environ(extra),
                         cwd=self.dir, stdout=self.stdout_path, stderr=self.stderr_path)
        self.pid = self.proc.pid  # `ip netns exec` execs in place: this is the program itself
        self.window = None

    def alive(self):
        return self.proc.alive()

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

    def wait_output(self, text, timeout=10, stream="stdout"):
        return poll(lambda: text in getattr(self, stream)(), timeout, f"{text!r} on {self.name}'s {stream}")

    def wait_count(self, line, count, timeout=10):
        poll(lambda: self.stdout_lines().count(line) >= count, timeout,
             f"{line!r} {count} times on {self.name}")

    def find_windows(self, title):  # the ids of this copy's visible windows with this title
        out = self.display.xdotool("search", "--all", "--onlyvisible", "--pid", str(self.pid), "--name",
                                   f"^{re.escape(title)}$", check_rc=False)
        return [int(w) for w in out.split()]

    def wait_window(self, title=TITLE, timeout=15):
        def probe():
            assert self.alive(), (f"{self.name} ended (status {self.proc.wait(0)}) before its window "
                                  f"{title!r} appeared; stderr: {self.stderr().strip()[-500:]}")
            return (self.find_windows(title) or [None])[0]
        return poll(probe, timeout, f"window {title!r} of {self.name}", interval=0.1)

    def window_gone(self, title, timeout=10):
        poll(lambda: not self.find_windows(title), timeout, f"{self.name}'s {title!r} to close")

    def ready(self):  # its main window is up and its port bound
        self.window = self.wait_window()

        def bound():
            out = run_quiet(self.host.exec_cmd("ss", "-Huln")).stdout
            return any(re.search(rf":{PORT}\s", line + " ") for line in out.splitlines())
        poll(bound, 10, f"UDP port {PORT} to be bound in {self.host.ns}", interval=0.1)
        return self

    def key(self, wid, *keys):
        self.display.activate(wid)
        self.display.xdotool("key", "--clearmodifiers", *keys)

    def type_text(self, wid, text):
        self.display.activate(wid)
        self.display.xdotool("type", "--delay", "20", text)

    def close_window(self, wid):  # as its close button would
        self.display.tool("wmctrl", "-i", "-c", hex(wid))

    def screenshot(self, path):  # of the main window with its frame
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.display.tool("import", "-window", str(self.window), "-frame", path, timeout=30)

    # Accessibility: a node has role, name, keys (of its first action), states, extents (x, y, width,
    # height), text (text and entry roles) and children.

    def _atspi(self, request, timeout=30):
        result = subprocess.run(python_cmd(_atspi, dict(request, pid=self.pid)), env=self.display.environ(),
                                capture_output=True, text=True, timeout=timeout)
        assert result.returncode == 0, f"AT-SPI {request} failed: {result.stderr.strip()[-600:]}"
        return json.loads(result.stdout)

    def windows(self):  # the top-level windows, as trees
        return (self._atspi({"op": "dump"}) or {"children": []})["children"]

    def tree(self, title, timeout=10):
        """The tree of the top-level window with this title, once it is showing."""
        return poll(lambda: next((w for w in self.windows() if w["name"] == title and "showing" in w["states"]),
                                 None), timeout, f"{self.name}'s window {title!r}", interval=0.2)

    def act(self, *names, timeout=10):
        """The first action of the object reached from the window titled names[0] by finding each
        further name below the previous one, e.g. "Kestrelvox", "Audio", "Mute"."""
        poll(lambda: self._atspi({"op": "act", "names": list(names)}), timeout,
             f"an accessible {' > '.join(names)} of {self.name} to act on", interval=0.2)

    def set_text(self, title, index, text):  # of the index-th text field of that window
        assert self._atspi({"op": "set_text", "names": [title], "index": index, "text": text}), \
            f"{self.name}: no text #{index} in {title!r}"

    def labels(self, title, timeout=10):
        return poll(lambda: [n["name"] for n in find_nodes(self.tree(title, timeout), role="label")],
                    timeout, f"labels of {self.name}'s {title!r}", interval=0.2)

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
            time_s, op, *rest = line.split()
            fields = {k: int(v, 0) for k, v in (item.split("=", 1) for item in rest if "=" in item)}
            if op in ("open", "ioctl"):
                fields["path" if op == "open" else "request"] = rest[0]
            events.append((float(time_s), op, fields))
        return events

    def device_transfers(self, op):  # byte counts of successful reads or writes
        return [f["result"] for _, o, f in self.dsp_trace() if o == op and f.get("result", -1) > 0]


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


def tone(seconds, freq=440.0):
    return np.round(8000 * np.sin(2 * np.pi * freq * np.arange(int(seconds * 8000)) / 8000)).astype(np.int16)


def frame_rms(samples, frame=160):
    x = np.asarray(samples, dtype=np.float64)
    n = x.size // frame
    return np.sqrt(np.mean(x[:n * frame].reshape(n, frame) ** 2, axis=1)) if n else np.zeros(0)


def media_packet(payload):
    """24-byte header (codec word 0 and payload length big-endian at 16 and 20), then the payload."""
    return bytes(20) + len(payload).to_bytes(4, "big") + bytes(payload)


class UdpPeer:
    """Binds UDP 2047 in a namespace (so answers are not refused), sends [(seconds, datagram)] to
    `to`, and records what it receives until `duration` has passed."""

    def __init__(self, run, host, name, to, sends, duration):
        self.log, self.duration = os.path.join(run.workdir, name + ".jsonl"), duration
        self.proc = run.python(host, _udp_peer, to, duration, [[t, bytes(d).hex()] for t, d in sends], self.log,
                               stderr=self.log + ".err")

    def wait(self):
        rc = self.proc.wait(self.duration + 10)
        assert rc == 0, f"the scripted peer failed ({rc}): {read_text(self.log + '.err')[-800:]}"

    def received_from(self, ip):  # the datagrams it received from ip, in order
        return [bytes.fromhex(e[2]) for e in map(json.loads, read_text(self.log).splitlines()) if e[1] == ip]


def _udp_peer(to, duration, sends, log_path):
    import socket
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("", PORT))
    start = time.monotonic()
    sends = sorted((t, bytes.fromhex(d)) for t, d in sends)
    with open(log_path, "w") as log:
        while True:
            now = time.monotonic() - start
            while sends and sends[0][0] <= now:
                sock.sendto(sends.pop(0)[1], (to, PORT))
            if now >= duration and not sends:
                break
            wait = min([duration - now] + ([sends[0][0] - now] if sends else []))
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
        self._deferred = []
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
        for pid in (int(p) for p in os.listdir("/proc") if p.isdigit() and int(p) != os.getpid()):
            try:
                with open(f"/proc/{pid}/environ", "rb") as f, open(f"/proc/{pid}/stat", "rb") as s:
                    if f"KVT_RUN={self.prefix}".encode() in f.read().split(b"\0") and b") Z" not in s.read():
                        errors.append(f"ended leftover process {pid} ({_comm(pid)})")
                        os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        for ns in run_quiet(["ip", "netns", "list"], check_rc=False).stdout.split():
            if ns.startswith(self.prefix):
                run_quiet(["ip", "netns", "del", ns], check_rc=False)
                errors.append(f"deleted leftover namespace {ns}")
        return errors

    def network(self, *names):
        return network(self, names)

    def display(self):
        self._display = self._display or Display(self)
        return self._display

    def sound(self):
        self._sound = self._sound or SoundClock(self)
        return self._sound

    def start(self, name, host, **options):
        """A copy in host's namespace (see Copy for the options)."""
        return Copy(self, name, host, **options)

    def peer(self, name, host, to, sends, duration):
        return UdpPeer(self, host, name, to, sends, duration)

    def python(self, host, func, *args, stdout=None, stderr=None):  # see python_cmd
        return Proc(self, host.exec_cmd(*python_cmd(func, *args)), stdout=stdout, stderr=stderr)

    def start_pair(self, input_a=None, input_b=None, trace=False, net=None):
        """Two ready copies with sound cards, A and B in namespaces a and b (or `net`'s); input_x is
        None (silence), a path or samples."""
        net = net or self.network("a", "b")
        copies = []
        for name, source in (("A", input_a), ("B", input_b)):
            os.makedirs(os.path.join(self.workdir, name), exist_ok=True)
            if source is not None and not isinstance(source, (str, os.PathLike)):
                source = write_s16(os.path.join(self.workdir, name, "dsp_in.raw"), source)
            copies.append(self.start(name, net[name.lower()], sound=True, dsp_in=source, trace=trace))
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

