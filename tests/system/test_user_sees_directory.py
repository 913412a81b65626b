"""Guards against a proxy.inf with CRLF lines being ignored at start-up, a refusal shown without a box, and invalid UTF-8 names or chat dropped."""
import os

import kvtest
import kvtest_directory as kd
from kvtest_directory import directory_server, socks_proxy  # noqa: F401


def test_user_sees_directory(run, directory_server, socks_proxy):
    net = run.network("a", "s", "p")
    a_ip, s_ip, p_ip = net["a"].ip, net["s"].ip, net["p"].ip
    server = directory_server(net["s"])
    socks_proxy(net["p"], refuse=f"{a_ip}/32")
    home = os.path.join(run.workdir, "A")
    kd.write_profile(home, "alice", "alice@example.org", ["carol"], [f"Test {s_ip}"])
    with open(os.path.join(home, "proxy.inf"), "wb") as f:
        f.write(f"{p_ip}\r\n1080\r\n\r\nenable proxy".encode())
    a = run.start("A", net["a"], sound=True, accessibility=True)
    a.ready()
    ui = a.ui

    kd.connect(a, ui)
    box = ui.window("Connection Failed")
    a.wait_output("Connection failed")
    assert kd.REFUSED in a.stdout_lines() and not server.find(r"^register ")
    assert any("Proxy Setup" in label for label in kd.names(box, "label"))
    ui.act("Connection Failed", "push button", "OK")
    kd.server_menu(a, "p")
    ui.window("SOCKS Proxy Setup")
    ui.act("SOCKS Proxy Setup", "check box", "I am behind a Proxy Firewall")
    ui.act("SOCKS Proxy Setup", "push button", "OK")
    ui.window_gone("SOCKS Proxy Setup")
    kd.connect(a, ui, server, "alice")
    kvtest.poll(lambda: any("Registered as alice on server Test" in label
                            for label in kd.names(ui.window(kvtest.TITLE), "label")), 10, "the status line")

    record = kd.registration_record("carol", s_ip, buddies=["alice"])
    record = record[:8] + b"car\xffol".ljust(16, b"\0") + record[24:]
    kd.ScriptedUser(run, net["s"], "carol", s_ip, record, later=b"message" + b"hi \xff there", delay=1.0)
    assert kvtest.texts(ui.window("Online Chat", timeout=15))[0] == "car\ufffdol: hi \ufffd there\n"
    kd.server_menu(a, "v")
    assert f"car\ufffdol {s_ip}" in kd.names(ui.window("Online Users"), "table cell")
    a.quit()
