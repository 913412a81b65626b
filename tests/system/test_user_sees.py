"""Guards against wrong or missing messages the user sees: call status, dialogs, refused input, profile bytes lost."""
import os
import pathlib
import time

import kvaudio
import kvtest
import kvtest_directory as kd

PROFILE = b"alice\r\nal@example.org\r\nVisible\r\nbob\r\n\xffdd\r\ncarol"


def wait_status(copy, text, timeout=10):  # returns when the look that saw it began, not the look's own delay
    def seen():
        began = time.monotonic()
        return text in "\n".join(copy.labels(kvtest.TITLE)) and began
    return kvtest.poll(seen, timeout, f"{text!r} on {copy.name}'s status line", interval=0.1)


def test_user_sees(run):
    net = run.network("a", "b")
    a_ip, b_ip = net["a"].ip, net["b"].ip
    kd.write_lines(os.path.join(run.workdir, "A", "hosts.dat"), ["zed 10.47.0.9", f"bob {b_ip}"])
    pathlib.Path(run.workdir, "A", "userinfo.dat").write_bytes(PROFILE)
    a, b = run.start_pair(input_a=kvtest.tone(30), input_b=kvtest.tone(30, 300), net=net)

    a.key(a.window, "ctrl+o")
    a.key(a.wait_window("Connect to Host"), "Down", "Return")
    b.wait_output(f"Receiving from host {a_ip}")
    wait_status(a, f"In call with bob ({b_ip}), GSM, 00:0")
    wait_status(b, f"Answered {a_ip} automatically \u2014 your microphone is live")
    assert f"Sending to host {b_ip}" in a.stdout_lines() and "10.47.0.9" not in a.stdout(), "the highlighted row"
    a.act(kvtest.TITLE, "Audio", "Mute")
    wait_status(a, "Muted", timeout=3)
    quit = time.monotonic()  # B's last packet leaves after its Quit key: timed from the key
    b.key(b.window, "ctrl+q")
    assert wait_status(a, "Call ended", timeout=5) - quit <= 2.0 and b.wait_exit(10) == 0

    for title, *menu in (("New Connection", "Connect", "New"), ("Connect to Host", "Connect", "Open"),
                         ("SOCKS Proxy Setup", "Server", "Proxy Setup"), ("No Server List", "Server", "Connect Server"),
                         ("Audio Compression Mode", "Audio", "Compression")):
        a.act(kvtest.TITLE, *menu)
        a.key(a.wait_window(title), "Escape")
        a.window_gone(title, 5)
    assert "Server file servers.dat not found!" in a.stdout_lines()

    a.act(kvtest.TITLE, "Server", "Chat...")
    chat = a.wait_window("Online Chat")
    a.type_text(chat, "x" * 70)
    a.key(chat, "Return")
    assert [n.get("text") for n in kvtest.find_nodes(a.tree("Online Chat"), name="Chat input")] == ["x" * 63]
    a.key(chat, "Escape")

    a.act(kvtest.TITLE, "Server", "User Profile")
    a.tree("User Profile")
    a.set_text("User Profile", 1, "x" * 28 + "@example.org")
    a.act("User Profile", "OK")
    assert any("at most 31 bytes" in t for t in a.labels("User Profile"))
    assert pathlib.Path(a.dir, "userinfo.dat").read_bytes() == PROFILE
    a.key(a.wait_window("User Profile"), "Escape")
    a.window_gone("User Profile")
    a.act(kvtest.TITLE, "Server", "User Profile")
    a.tree("User Profile")
    a.set_text("User Profile", 0, "alicia")
    a.act("User Profile", "OK")
    a.window_gone("User Profile")
    assert pathlib.Path(a.dir, "userinfo.dat").read_bytes() == b"alicia\nal@example.org" + PROFILE[21:]

    kvtest.run_quiet([os.path.join(run.build_dir, "tests", "make_av_files"), run.workdir], timeout=60)
    pathlib.Path(a.dir, "cut.vox").write_bytes(pathlib.Path(run.workdir, "voice.vox").read_bytes()[:-100])
    kvaudio.Recorder(a).play("cut.vox")
    assert any("cut short" in t for t in a.labels("Damaged File"))
    a.act("Damaged File", "OK")

    c = run.start("C", net["b"], sound=True, args=("--no-auto-answer",)).ready()
    a.new_connection(b_ip)
    wait_status(c, f"{a_ip} is calling \u2014 use Connect > New to answer")
    time.sleep(1)
    assert "Sending to host" not in c.stdout() and a.stdout().count(f"Receiving from host {b_ip}") == 1
    for copy in (a, c):
        copy.quit()
