"""Guards against directory lists and chat parsed or shown wrongly, a misrouted list OK, a lost server mishandled."""
import os
import time

import kvtest
import kvtest_directory as kd

BOX, LOST = "ULS Server Connection", "The connection to the directory server was lost"


def rows(window):
    return kd.names(window, "table cell")


def open_list(copy, key, title):
    kd.server_menu(copy, key)
    return copy.tree(title)


def wait_chat(copy, text):
    kvtest.poll(lambda: kvtest.texts(copy.tree("Online Chat"))[0].endswith(text), 10, f"{text!r} in the chat display")


def test_session(run, display, directory_server):
    net = run.network("a", "b", "s")
    a_ip, b_ip, s_ip = net["a"].ip, net["b"].ip, net["s"].ip
    server = directory_server(net["s"])
    carol = kd.ScriptedUser(run, net["s"], "carol", s_ip, kd.registration_record("carol", s_ip))
    server.wait(r'^register \S+ "carol" as 10\.47\.0\.3, visible')
    for name, user, buddies in (("A", "alice", ["bob", "carol", "dave"]), ("B", "bob", ["alice"])):
        kd.write_profile(os.path.join(run.workdir, name), user, f"{user}@example.org", buddies, [f"Test server {s_ip}"])
    copies = [run.start(name, net[name.lower()], sound=True) for name in "AB"]
    a, b = (c.ready() for c in copies)

    kd.server_menu(a, "c")
    servers = a.tree("Connect to Server")
    assert rows(servers) == [f"Test server {s_ip}"] and kvtest.texts(servers) == [f"Test server {s_ip}"]
    a.act("Connect to Server", "OK")
    assert f'"alice" as {a_ip}, visible, 3 buddies' in server.wait(r'^register \S+ "alice" ')
    assert f'"bob" as {b_ip}, visible, 1 buddies' in kd.connect(b, server, "bob")
    kd.server_menu(a, "c")
    time.sleep(1.0)
    assert "Connect to Server" not in [w["name"] for w in a.windows()], "Connect Server while connected"

    mark = server.mark()
    users = open_list(a, "v", "Online Users")
    assert rows(users) == [f"carol {s_ip}", f"bob {b_ip}"] and kvtest.texts(users) == [f"carol {s_ip}"]
    assert server.find(r'^user list to \S+ "alice": 2$', after=mark)
    x, y, w, h = kvtest.find_nodes(users, role="table cell", name=f"bob {b_ip}")[0]["extents"]
    display.xdotool("mousemove", str(x + w // 2), str(y + h // 2), "click", "1")
    kvtest.poll(lambda: kvtest.texts(a.tree("Online Users")) == [f"bob {b_ip}"], 5, "bob's row in the entry")
    a.act("Online Users", "OK")
    for copy, line in ((a, f"Sending to host {b_ip}"), (b, f"Receiving from host {a_ip}"),
                       (b, f"Sending to host {a_ip}"), (a, f"Receiving from host {b_ip}")):
        copy.wait_output(line + "\n", timeout=10)

    assert sorted(rows(open_list(a, "o", "Online Buddies"))) == [f"bob {b_ip}", f"carol {s_ip}"]
    a.act("Online Buddies", "Cancel")
    a.window_gone("Online Buddies")
    assert a.stdout().count("Sending to host") == 1, "Cancel must call nobody"

    b.act(kvtest.TITLE, "Chat...")
    b.tree("Online Chat")
    a.act(kvtest.TITLE, "Chat...")
    shown, typed = kvtest.find_nodes(a.tree("Online Chat"), role="text")[:2]
    assert "editable" in typed["states"] and "editable" not in shown["states"]
    mark = server.mark()
    a.type_text(a.wait_window("Online Chat"), "hello bob")
    kvtest.poll(lambda: kvtest.texts(a.tree("Online Chat"))[1] == "hello bob", 5, "the typed text")
    a.act("Online Chat", "OK")
    wait_chat(a, "alice: hello bob\n")
    assert kvtest.texts(a.tree("Online Chat")) == ["alice: hello bob\n", ""]
    wait_chat(b, "alice: hello bob\n")
    server.wait(r'^message from \S+ "alice", 9 bytes, to 2$', after=mark)
    reply = kvtest.poll(carol.received, 5, "the chat reply at carol")  # carol asks for no list: all she gets is chat
    assert reply[:4] == b"\3\0\0\0" and reply[4:20].split(b"\0")[0] == b"alice" and reply[20:] == b"hello bob", reply
    b.set_text("Online Chat", 1, "hi alice")
    b.act("Online Chat", "OK")
    wait_chat(a, "alice: hello bob\nbob: hi alice\n")

    mark = server.mark()
    kd.server_menu(a, "d")
    assert server.wait(r'^(quit|closed) \S+ "alice"$', after=mark).startswith("quit ")
    assert rows(open_list(b, "v", "Online Users")) == [f"carol {s_ip}"]
    b.act("Online Users", "Cancel")
    mark, received = server.mark(), a.stdout().count("Received ")
    kd.server_menu(a, "v")
    kd.server_menu(a, "o")
    a.set_text("Online Chat", 1, "anyone?")
    a.act("Online Chat", "OK")
    kvtest.poll(lambda: any("not connected" in n for n in kd.names(a.tree("Online Chat"), None)), 10, "a refusal")
    time.sleep(1.0)
    assert server.lines()[mark:] == [] and a.stdout().count("Received ") == received
    assert not kvtest.texts(a.tree("Online Chat"))[0].endswith("alice: anyone?\n")

    kd.connect(a, server, "alice")
    assert server.stop() == 0
    for copy in copies:
        assert LOST in copy.labels(BOX)
    stat = f"/proc/{a.pid}/task/{a.pid}/stat"  # the main thread's user and system clock ticks
    cpu = lambda: sum(map(int, kvtest.read_text(stat).rsplit(")")[1].split()[11:13]))  # noqa: E731
    drains, before = a.stdout().count("Received "), cpu()
    time.sleep(2.0)
    assert cpu() - before < 0.5 * os.sysconf("SC_CLK_TCK") and a.stdout().count("Received ") == drains, "GUI spins"
    assert [w["name"] for w in a.windows()].count(BOX) == 1
    assert all("UL Server closed the connection\n" in copy.stdout() for copy in copies)
    a.act(BOX, "OK")
    a.window_gone(BOX)
    kd.server_menu(a, "v")
    time.sleep(1.0)
    assert a.stdout().count("Received ") == drains and "Online Users" not in [w["name"] for w in a.windows()]

    server = directory_server(net["s"], "server2")
    assert f'"alice" as {a_ip}' in kd.connect(a, server, "alice")
    kd.server_menu(a, "v")
    assert "No user online" in a.labels(BOX)
    a.wait_output("Total online user = 0\n")
    assert a.alive() and b.alive()
