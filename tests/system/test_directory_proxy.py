"""Guards against a broken SOCKS 4 path (request, user ID bound, proxy.inf, refusal shown) and invalid UTF-8 lost."""
import os
import pathlib
import re

import kvtest
import kvtest_directory as kd

TITLE = "SOCKS Proxy Setup"
ENABLE = "I am behind a Proxy Firewall"


def ticked(copy):
    return "checked" in kvtest.find_nodes(copy.tree(TITLE), role="check box", name=ENABLE)[0]["states"]


def proxy_dialog(copy, values=None, tick=True, held=None):
    """Opens the dialog and returns what it shows; with values (server, port, user ID) fills them in and OKs."""
    kd.server_menu(copy, "p")
    shown = (kvtest.texts(copy.tree(TITLE)), ticked(copy))
    if values:
        for index, text in enumerate(values):
            copy.set_text(TITLE, index, text)
        if ticked(copy) != tick:
            copy.act(TITLE, ENABLE)
        want = [*values[:2], values[2] if held is None else held]
        kvtest.poll(lambda: kvtest.texts(copy.tree(TITLE)) == want and ticked(copy) == tick, 5, "the new proxy values")
        copy.act(TITLE, "OK")
        copy.window_gone(TITLE)
    return shown


def session(copy, server, via, meanwhile=lambda: None):
    """Connects, checks that the server sees alice intact from `via`, runs meanwhile(), disconnects with "quit!"."""
    mark = server.mark()
    line = kd.connect(copy, server, "alice")
    assert server.find(rf"^connect {re.escape(via)}:\d+ on directory port", after=mark)
    assert f' "alice" as {via}, visible, 1 buddies' in line
    meanwhile()
    kd.server_menu(copy, "d")
    assert server.wait(r'^(quit|closed) \S+ "alice"$', after=mark).startswith("quit ")
    assert not server.find("^ignored ", after=mark), "stray bytes after the record"


def test_proxy(run, display, directory_server, socks_proxy):
    net = run.network("a", "s", "p")
    a_ip, s_ip, p_ip = net["a"].ip, net["s"].ip, net["p"].ip
    server, proxy = directory_server(net["s"]), socks_proxy(net["p"])
    home = os.path.join(run.workdir, "A")
    kd.write_profile(home, "alice", "alice@example.org", ["carol"], [f"Test {s_ip}"])
    a = run.start("A", net["a"]).ready()
    proxy_inf = os.path.join(display.env["XDG_CONFIG_HOME"], "kestrelvox", "proxy.inf")

    assert proxy_dialog(a, (p_ip, "1080", "abc")) == (["", "", ""], False)
    assert kd.read_lines(proxy_inf) == [p_ip, "1080", "abc", "enable proxy", ""]

    def list_reply():
        kd.server_menu(a, "v")
        assert "No user online" in a.labels("ULS Server Connection"), "a reply through the proxy"
        a.act("ULS Server Connection", "OK")
    session(a, server, p_ip, list_reply)

    proxy.proc.stop()
    proxy = socks_proxy(net["p"], refuse=f"{a_ip}/32", name="proxy-refusing")
    mark, out = server.mark(), len(a.stdout())
    kd.connect(a)
    assert any("Proxy Setup" in label for label in a.labels("Connection Failed"))
    tail = a.stdout()[out:]
    assert kd.REFUSED in tail and tail.index(kd.REFUSED) < tail.index("Connection failed"), tail
    a.act("Connection Failed", "OK")
    assert server.lines()[mark:] == [], "the proxy replies only after connecting"
    proxy.proc.stop()
    socks_proxy(net["p"], name="proxy-again")

    long_user = "u" * 28 + "-cut-here"
    assert proxy_dialog(a, (p_ip, "1080", long_user), held=long_user[:31]) == ([p_ip, "1080", "abc"], True)
    assert kd.read_lines(proxy_inf) == [p_ip, "1080", long_user[:31], "enable proxy", ""]
    session(a, server, p_ip)
    proxy_dialog(a, (p_ip, "1080", ""))
    session(a, server, p_ip)
    assert proxy_dialog(a, (p_ip, "1080", ""), tick=False) == ([p_ip, "1080", ""], True)
    assert kd.read_lines(proxy_inf) == [p_ip, "1080", "", "disable proxy", ""]
    session(a, server, a_ip)
    a.quit()

    # CRLF lines, no final newline: read at start-up.
    pathlib.Path(home, "proxy.inf").write_bytes(f"{p_ip}\r\n1080\r\n\r\nenable proxy".encode())
    a = run.start("A", net["a"]).ready()

    def status_and_carol():
        kvtest.poll(lambda: any("Registered as alice on server Test" in label
                                for label in a.labels(kvtest.TITLE)), 10, "the status line")
        record = kd.registration_record("car\udcffol", s_ip, buddies=["alice"])  # invalid UTF-8 in name and chat
        kd.ScriptedUser(run, net["s"], "carol", s_ip, record, later=b"message" + b"hi \xff there", delay=1.0)
        assert kvtest.texts(a.tree("Online Chat", timeout=15))[0] == "car\ufffdol: hi \ufffd there\n"
        kd.server_menu(a, "v")
        assert f"car\ufffdol {s_ip}" in kd.names(a.tree("Online Users"), "table cell")
    session(a, server, p_ip, status_and_carol)
