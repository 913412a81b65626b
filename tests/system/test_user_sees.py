#!/usr/bin/python3
"""What a user sees, on two copies with simulated sound cards, read through accessibility:
- A calls "bob" from "Connect to Host", the second row chosen with the arrow key and Enter; A's
  status line shows "In call with bob (<B>), GSM", B's that it answered A automatically; Mute on A
  shows "Muted"; when B quits, A's line says "Call ended" within 2 s;
- each dialog closes on Escape; no servers.dat gives a box that says where it goes, with an example
  line, and the program's own line still goes to standard output;
- chat while disconnected is refused in the window and not shown as sent; 64 characters cannot be
  typed; a 40-byte e-mail address is refused with its reason; OK after editing only the name
  keeps the other fields of a userinfo.dat with CRLF, invalid UTF-8 and no final newline byte for byte;
- a truncated voice file gets a box that says so;
- a copy started with --no-auto-answer shows the caller and sends nothing back.
Screenshots of the call and of each dialog go to docs/ with KV_UPDATE_SCREENSHOT=1.
"""
import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import kvtest_directory as kd  # noqa: E402
from kvtest import check  # noqa: E402

PROFILE = b"alice\r\nal@example.org\r\nVisible\r\nbob\r\n\xffdd\r\ncarol"


def status(copy):
    return "\n".join(copy.labels(kvtest.TITLE))


def wait_status(copy, text, timeout=10):
    seen = []

    def probe():
        t = time.monotonic()
        if text in status(copy):
            seen.append(t)
            return True
        return False
    kvtest.poll(probe, timeout, f"{text!r} on {copy.name}'s status line", interval=0.1)
    return seen[0]


def shot(run, copy, title, name):
    wid = copy.wait_window(title)
    time.sleep(0.3)
    docs = os.environ.get("KV_UPDATE_SCREENSHOT") == "1"
    target = os.path.join(run.source_dir, "docs", name) if docs else run.artifact(name)
    copy.screenshot(target, wid)
    return wid


def escape_closes(run, copy, title, name, *menu):
    copy.act(kvtest.TITLE, *menu)
    wid = shot(run, copy, title, name)
    copy.key(wid, "Escape")
    kvtest.poll(lambda: not copy.display.find_windows(f"^{title}$", pid=copy.pid), 5,
                f"{title!r} to close on Escape")


def test(run):
    net = run.network("a", "b")
    a_ip, b_ip = net["a"].ip, net["b"].ip
    os.makedirs(os.path.join(run.workdir, "A"), exist_ok=True)
    with open(os.path.join(run.workdir, "A", "hosts.dat"), "w") as f:
        f.write(f"zed 10.47.0.9\nbob {b_ip}\n")
    with open(os.path.join(run.workdir, "A", "userinfo.dat"), "wb") as f:
        f.write(PROFILE)
    a, b = run.start_pair(input_a=kvtest.tone(30), input_b=kvtest.tone(30, 300), accessibility=True,
                          net=net)

    a.key(a.window, "ctrl+o")
    box = a.wait_window("Connect to Host")
    a.key(box, "Down", "Return")
    b.wait_output(f"Receiving from host {a_ip}")
    wait_status(a, f"In call with bob ({b_ip}), GSM, 00:0")
    wait_status(b, f"Answered {a_ip} automatically \u2014 your microphone is live")
    check(f"Sending to host {b_ip}" in a.stdout_lines() and "10.47.0.9" not in a.stdout(),
          "the row highlighted with the keyboard is the one called")
    shot(run, a, kvtest.TITLE, "call.png")
    a.act(kvtest.TITLE, "Audio", "Mute")
    wait_status(a, "Muted", timeout=3)
    # B's last packet leaves after its Quit key: timed from the key, the delay is not understated.
    quit = time.monotonic()
    b.key(b.window, "ctrl+q")
    ended = wait_status(a, "Call ended", timeout=5) - quit
    check(b.wait_exit(10) == 0 and ended <= 2.0,
          f"B quits; A's line says the call ended {ended:.2f} s after B's Quit (at most 2 s)")

    for title, name, menu in (("New Connection", "new-connection.png", ("Connect", "New")),
                              ("Connect to Host", "host-list.png", ("Connect", "Open")),
                              ("SOCKS Proxy Setup", "proxy.png", ("Server", "Proxy Setup")),
                              ("Audio Compression Mode", "compression.png", ("Audio", "Compression")),
                              ("No Server List", "no-servers.png", ("Server", "Connect Server"))):
        escape_closes(run, a, title, name, *menu)
    check("Server file servers.dat not found!" in a.stdout_lines(), "the program's own line is kept")
    check(True, "each dialog closes on Escape")

    ui = kd.Ui(a)
    a.act(kvtest.TITLE, "Server", "Chat...")
    chat = a.wait_window("Online Chat")
    a.type_text(chat, "x" * 70)
    a.key(chat, "Return")
    tree = ui.window("Online Chat")
    typed = [n.get("text") for n in kd.nodes(tree, name="Chat input")]
    shown = [n.get("text") for n in kd.nodes(tree, name="Chat messages")]
    labels = [n["name"] for n in kd.nodes(tree, role="label")]
    check(typed == ["x" * 63], "only 63 characters can be typed", repr(typed))
    check(any("not connected" in t for t in labels) and shown == [""],
          "sending while disconnected is refused visibly and not shown as sent", repr(labels + shown))
    shot(run, a, "Online Chat", "chat.png")
    a.key(chat, "Escape")

    a.act(kvtest.TITLE, "Server", "User Profile")
    a.wait_window("User Profile")
    ui.set_text("User Profile", "text", 1, "x" * 28 + "@example.org")
    ui.act("User Profile", "push button", "OK")
    labels = [n["name"] for n in kd.nodes(ui.window("User Profile"), role="label")]
    check(any("at most 31 bytes" in t for t in labels), "a 40-byte e-mail is refused with its reason",
          repr(labels))
    shot(run, a, "User Profile", "profile.png")
    with open(os.path.join(a.dir, "userinfo.dat"), "rb") as f:
        check(f.read() == PROFILE, "and nothing was saved")
    a.key(a.wait_window("User Profile"), "Escape")
    ui.window_gone("User Profile")
    a.act(kvtest.TITLE, "Server", "User Profile")
    ui.window("User Profile")
    ui.set_text("User Profile", "text", 0, "alicia")
    ui.act("User Profile", "push button", "OK")
    ui.window_gone("User Profile")
    with open(os.path.join(a.dir, "userinfo.dat"), "rb") as f:
        saved = f.read()
    check(saved == b"alicia\nal@example.org\r\nVisible\r\nbob\r\n\xffdd\r\ncarol",
          "OK keeps every field not edited byte for byte", repr(saved))

    kvtest.run_quiet([os.path.join(run.build_dir, "tests", "make_av_files"), run.workdir], timeout=60)
    with open(os.path.join(run.workdir, "voice.vox"), "rb") as f, open(os.path.join(a.dir, "cut.vox"), "wb") as g:
        g.write(f.read()[:-100])
    a.key(a.window, "ctrl+p")
    chooser = a.wait_window("Play Voice File")
    a.type_text(chooser, "cut.vox")
    a.key(chooser, "Return")
    a.wait_output("Voice file playing completed", timeout=30)
    labels = a.labels("Damaged File")
    check(any("cut short" in t for t in labels), "a truncated voice file gets a box that says so", repr(labels))
    a.act("Damaged File", "OK")

    c = run.start("C", net["b"], sound=True, accessibility=True, args=("--no-auto-answer",))
    c.window = c.wait_window()
    c.wait_bound()
    a.new_connection(b_ip)
    wait_status(c, f"{a_ip} is calling \u2014 use Connect > New to answer")
    time.sleep(1)
    check("Sending to host" not in c.stdout() and a.stdout().count(f"Receiving from host {b_ip}") == 1,
          "with --no-auto-answer the call is shown and nothing is sent back")
    for copy in (a, c):
        copy.key(copy.window, "ctrl+q")
        check(copy.wait_exit(10) == 0, f"{copy.name} quits")


kvtest.main(test, time_limit=240)
