#!/usr/bin/python3
"""What a user sees of the directory, with the real server and a SOCKS proxy (danted) that refuses A:
- proxy.inf saying "enable proxy" (CRLF line ends, no final newline) holds from start-up: the first
  Connect Server goes through the proxy, fails with the program's own lines, and a box says so;
- with the proxy switched off, A registers and its status line names the user and the server;
- carol, named and chatting in invalid UTF-8, appears in the user list, and her message opens A's
  chat window by itself, shown rather than dropped.
"""
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import kvtest_directory as kd  # noqa: E402
from kvtest import check  # noqa: E402

REFUSED = "Proxy Server: Request rejected or failed! CD = 91"


def connect_server(a, ui):
    a.key(a.window, "alt+s")
    a.display.xdotool("key", "c")
    ui.window("Connect to Server")
    ui.act("Connect to Server", "push button", "OK")


def test(run):
    net = run.network("a", "s", "p")
    a_ip, s_ip, p_ip = net["a"].ip, net["s"].ip, net["p"].ip
    server = kd.DirectoryServer(run, net["s"])
    kd.Dante(run, net["p"], refuse=f"{a_ip}/32")
    home = os.path.join(run.workdir, "A")
    os.makedirs(home)
    kd.write_profile(home, "alice", "alice@example.org", True, ["carol"])
    kd.write_servers(home, [f"Test {s_ip}"])
    with open(os.path.join(home, "proxy.inf"), "wb") as f:
        f.write(f"{p_ip}\r\n1080\r\n\r\nenable proxy".encode())
    a = run.start("A", net["a"], sound=True, accessibility=True)
    a.window = a.wait_window()
    ui = kd.Ui(a)

    connect_server(a, ui)
    box = ui.window("Connection Failed")
    a.wait_output("Connection failed")
    check(REFUSED in a.stdout_lines() and not server.find(r"^register "),
          "the first Connect Server after start goes through the proxy, fails with the program's lines",
          a.stdout()[-300:])
    check(any("Proxy Setup" in n["name"] for n in kd.nodes(box, role="label")),
          "and a box says what to check")
    ui.act("Connection Failed", "push button", "OK")

    a.key(a.window, "alt+s")
    a.display.xdotool("key", "p")
    ui.window("SOCKS Proxy Setup")
    ui.act("SOCKS Proxy Setup", "check box", "I am behind a Proxy Firewall")
    ui.act("SOCKS Proxy Setup", "push button", "OK")
    ui.window_gone("SOCKS Proxy Setup")
    connect_server(a, ui)
    server.wait(r'^register \S+ "alice" ')
    kvtest.poll(lambda: any("Registered as alice on server Test" in n["name"]
                            for n in kd.nodes(ui.window(kvtest.TITLE), role="label")),
                10, "A's status line to name the user and the server")

    record = kd.registration_record("carol", s_ip, buddies=["alice"])
    record = record[:8] + b"car\xffol".ljust(16, b"\0") + record[24:]
    kd.ScriptedUser(run, net["s"], "carol", s_ip, record, later=b"message" + b"hi \xff there", delay=1.0)
    chat = ui.window("Online Chat", timeout=15)
    check(kd.texts(chat)[0] == "car\ufffdol: hi \ufffd there\n",
          "carol's message opens A's chat window by itself, invalid UTF-8 shown", repr(kd.texts(chat)))
    a.key(a.window, "alt+s")
    a.display.xdotool("key", "v")
    rows = [n["name"] for n in kd.nodes(ui.window("Online Users"), role="table cell")]
    check(f"car\ufffdol {s_ip}" in rows, "carol's invalid name is shown in the user list", repr(rows))
    a.key(a.window, "ctrl+q")
    check(a.wait_exit(10) == 0, "A quits")


kvtest.main(test, time_limit=120)
