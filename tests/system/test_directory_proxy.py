#!/usr/bin/python3
"""The directory connection through a real SOCKS 4 proxy: Debian's dante-server (danted) in its own
namespace. Client A at 10.47.0.1, the directory server at 10.47.0.2, the proxy at 10.47.0.3.
- "SOCKS Proxy Setup" opens empty and unticked without proxy.inf; filled in and ticked, OK writes
  proxy.inf (server, port, user ID, "enable proxy"), into $XDG_CONFIG_HOME/kestrelvox/ as the
  working directory holds none;
- "Connect Server" then goes through the proxy: the server sees the connection come from the proxy
  and registers alice intact (the proxy passes on the zero bytes after the user ID of the 44-byte
  request, from 4 with a 31-character ID to 35 with an empty one); a list request is answered over
  the same path; "Disconnect Server" reaches the server as "quit!";
- with a "socks block" rule for A, A prints "Proxy Server: Request rejected or failed! CD = 91" and
  "Connection failed", the server sees nothing, and A stays Disconnected;
- the dialog opened again shows what proxy.inf holds; a user ID longer than its field is saved cut
  to 31 characters; unticked, the next connection is direct.
"""
import os
import re
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import kvtest_directory as kd  # noqa: E402
from kvtest import check, note  # noqa: E402

PROXY_TITLE = "SOCKS Proxy Setup"
ENABLE = "I am behind a Proxy Firewall"
REFUSED = "Proxy Server: Request rejected or failed! CD = 91"


def server_menu(copy, key):
    copy.key(copy.window, "alt+s")
    copy.display.xdotool("key", key)


def open_proxy_dialog(copy, ui):
    server_menu(copy, "p")
    window = ui.window(PROXY_TITLE)
    boxes = kd.nodes(window, role="check box", name=ENABLE)
    check(len(boxes) == 1, f"\"{PROXY_TITLE}\" has the check box \"{ENABLE}\"")
    return kd.texts(window), "checked" in boxes[0]["states"]


def fill_proxy_dialog(ui, server, port, user, tick, held=None):
    """held: what the user ID field takes of user (it refuses what proxy.inf cannot hold)."""
    for index, text in enumerate((server, port, user)):
        ui.set_text(PROXY_TITLE, "text", index, text)
    window = ui.window(PROXY_TITLE)
    if ("checked" in kd.nodes(window, role="check box", name=ENABLE)[0]["states"]) != tick:
        ui.act(PROXY_TITLE, "check box", ENABLE)
    held = user if held is None else held
    kvtest.poll(lambda: (kd.texts(ui.window(PROXY_TITLE)) == [server, port, held] and
                         ("checked" in kd.nodes(ui.window(PROXY_TITLE), role="check box",
                                                name=ENABLE)[0]["states"]) == tick),
                5, "the proxy dialog to hold the new values")
    ui.act(PROXY_TITLE, "push button", "OK")
    ui.window_gone(PROXY_TITLE)


def connect(copy, ui):
    server_menu(copy, "c")
    ui.window("Connect to Server")
    ui.act("Connect to Server", "push button", "OK")
    ui.window_gone("Connect to Server")


def through_proxy(copy, ui, server, proxy, what):
    """Connects through the proxy and checks that the server registers alice intact."""
    a_ip, p_ip = copy.host.ip, proxy.host.ip
    mark, out = server.mark(), len(copy.stdout())
    connect(copy, ui)
    line = server.wait(r'^register ', after=mark)
    check(server.find(rf"^connect {re.escape(p_ip)}:\d+ on directory port", after=mark)
          and f' "alice" as {p_ip}, visible, 1 buddies' in line,
          f"with {what}, the server registers alice, visible, 1 buddy, on a connection from the "
          "proxy", "\n".join(server.lines()[mark:]))
    time.sleep(0.5)
    check(not server.find("^ignored ", after=mark), "the server finds no stray bytes after the record",
          "\n".join(server.lines()[mark:]))
    check("Connection failed" not in copy.stdout()[out:] and "Proxy Server" not in copy.stdout()[out:],
          "A reports no failure", copy.stdout()[out:])
    check(any(a_ip in entry and "pass" in entry for entry in proxy.log_lines()),
          "danted logs a passed request from A", proxy.tail())


def disconnect(copy, server):
    mark = server.mark()
    server_menu(copy, "d")
    line = server.wait(r'^(quit|closed) \S+ "alice"$', after=mark)
    check(line.startswith("quit "), "\"Disconnect Server\" reaches the server as \"quit!\"", line)


def test(run):
    net = run.network("a", "s", "p")
    a_ip, s_ip, p_ip = net["a"].ip, net["s"].ip, net["p"].ip
    display = run.display(accessibility=True)
    server = kd.DirectoryServer(run, net["s"])
    proxy = kd.Dante(run, net["p"])

    os.makedirs(os.path.join(run.workdir, "A"), exist_ok=True)
    kd.write_profile(os.path.join(run.workdir, "A"), "alice", "alice@example.org", True, ["bob"])
    kd.write_servers(os.path.join(run.workdir, "A"), [f"Test server {s_ip}"])
    A = run.start("A", net["a"], accessibility=True)
    A.window = A.wait_window()
    ui = kd.Ui(A)
    proxy_inf = os.path.join(display.env["XDG_CONFIG_HOME"], "kestrelvox", "proxy.inf")

    note("proxy set-up")
    shown, ticked = open_proxy_dialog(A, ui)
    check(shown == ["", "", ""] and not ticked,
          "without proxy.inf the dialog shows empty fields and the box unticked", str(shown))
    fill_proxy_dialog(ui, p_ip, "1080", "abc", tick=True)
    check(kd.read_lines(proxy_inf) == [p_ip, "1080", "abc", "enable proxy", ""],
          "OK writes proxy.inf: server, port, user ID, \"enable proxy\"",
          repr(kd.read_lines(proxy_inf)))

    note("connection through the proxy")
    through_proxy(A, ui, server, proxy, "user ID \"abc\"")
    server_menu(A, "v")
    box = ui.window("ULS Server Connection")
    check(any(n["name"] == "No user online" for n in kd.nodes(box, role="label")),
          "the reply to \"Visible Online User\" comes back through the proxy (\"No user online\")")
    A.wait_output("Received 12 bytes\nTotal online user = 0\n")
    ui.act("ULS Server Connection", "push button", "OK")
    disconnect(A, server)

    note("the proxy refuses A")
    proxy.proc.stop()
    proxy = kd.Dante(run, net["p"], refuse=f"{a_ip}/32", name="proxy-refusing")
    mark, out = server.mark(), len(A.stdout())
    connect(A, ui)
    A.wait_output(REFUSED, timeout=15)
    kvtest.poll(lambda: "Connection failed\n" in A.stdout()[out:], 5, "\"Connection failed\"")
    tail = A.stdout()[out:]
    check(tail.index(REFUSED) < tail.index("Connection failed"),
          f"A prints \"{REFUSED}\" and then \"Connection failed\"", tail)
    time.sleep(1.0)
    check(server.lines()[mark:] == [], "the server sees no connection",
          str(server.lines()[mark:]))
    server_menu(A, "c")
    ui.window("Connect to Server")
    check(True, "A stays Disconnected: Connect Server opens the server list again")
    ui.act("Connect to Server", "push button", "Cancel")
    ui.window_gone("Connect to Server")

    note("the longest and the shortest user ID")
    proxy.proc.stop()
    proxy = kd.Dante(run, net["p"], name="proxy-again")
    shown, ticked = open_proxy_dialog(A, ui)
    check(shown == [p_ip, "1080", "abc"] and ticked,
          "the dialog shows what proxy.inf holds, the box ticked", str(shown))
    long_user = "u" * 28 + "-cut-here"
    fill_proxy_dialog(ui, p_ip, "1080", long_user, tick=True, held=long_user[:31])
    check(kd.read_lines(proxy_inf) == [p_ip, "1080", long_user[:31], "enable proxy", ""],
          "the user ID field takes the first 31 characters of a longer one, which proxy.inf keeps",
          repr(kd.read_lines(proxy_inf)))
    through_proxy(A, ui, server, proxy, "a 31-character user ID")
    disconnect(A, server)
    open_proxy_dialog(A, ui)
    fill_proxy_dialog(ui, p_ip, "1080", "", tick=True)
    through_proxy(A, ui, server, proxy, "an empty user ID")
    disconnect(A, server)

    note("proxy off again")
    shown, ticked = open_proxy_dialog(A, ui)
    check(shown == [p_ip, "1080", ""] and ticked, "the dialog shows the saved settings",
          str(shown))
    fill_proxy_dialog(ui, p_ip, "1080", "", tick=False)
    check(kd.read_lines(proxy_inf) == [p_ip, "1080", "", "disable proxy", ""],
          "unticked, proxy.inf says \"disable proxy\"", repr(kd.read_lines(proxy_inf)))
    mark = server.mark()
    connect(A, ui)
    server.wait(r'^register \S+ "alice"', after=mark)
    check(server.find(rf"^connect {re.escape(a_ip)}:\d+ on directory port", after=mark),
          "the next connection goes straight to the server", "\n".join(server.lines()[mark:]))
    check(A.alive(), "A is still running")


if __name__ == "__main__":
    kvtest.main(test, time_limit=100)
