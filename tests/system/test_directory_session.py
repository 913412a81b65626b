#!/usr/bin/python3
"""A directory session on the real program and the real kestrelvox-directory, three namespaces on
one bridge: clients A (alice, 10.47.0.1) and B (bob, 10.47.0.2), the server S (10.47.0.3), plus a
scripted user carol registered from S before the clients. Each client has the simulated sound card.
- both clients register through "/Server/_Connect Server" and the "Connect to Server" list (menu by
  keyboard, OK through accessibility); the server reports each registration;
- A's "Visible Online User" opens "Online Users" listing the other visible users, oldest first;
  clicking bob's row and OK calls B: the call lines appear on both sides, and the mute ends both;
- "Online Buddy" lists exactly the buddies that are online, on both clients;
- a chat message typed in A's "Online Chat" window appears in B's as "alice: text" (and a reply the
  other way), and the server relays it to carol too;
- "Disconnect Server" sends "quit!": the server forgets alice and B's user list no longer has her;
  requests while disconnected send nothing;
- stopping the server while A is connected leaves A Disconnected and responsive (a message box says
  the connection was lost, the GUI thread does not spin), and A registers again once the server is
  back.
"""
import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import kvtest_directory as kd  # noqa: E402
from kvtest import check, note  # noqa: E402

CONNECTION_TITLE = "ULS Server Connection"
LOST = "The connection to the directory server was lost"


def server_menu(copy, wid, key):
    """Opens the Server menu by its mnemonic and picks an item by its own."""
    copy.key(wid, "alt+s")
    copy.display.xdotool("key", key)


def list_rows(window):
    return [n["name"] for n in kd.nodes(window, role="table cell")]


def entry_text(window):
    return kd.texts(window, role="text")[0]


def message_texts(ui, title):
    return [[label["name"] for label in kd.nodes(w, role="label")]
            for w in ui.windows() if w["name"] == title]


def close_message_boxes(ui, title):
    while any(w["name"] == title for w in ui.windows()):
        ui.act(title, "push button", "OK")
        time.sleep(0.2)


def connect(copy, wid, ui, server, name, server_ip):
    """Connect Server, check the list offers the server file's entry, OK; returns the server's
    register line."""
    mark = server.mark()
    server_menu(copy, wid, "c")
    window = ui.window("Connect to Server")
    entry = f"Test server {server_ip}"
    check(list_rows(window) == [entry] and entry_text(window) == entry
          and kd.nodes(window, role="label", name="Server name & IP address"),
          f"{copy.name}: \"Connect to Server\" lists servers.dat with its first entry in the entry",
          f"rows {list_rows(window)}, entry {kd.texts(window)}")
    ui.act("Connect to Server", "push button", "OK")
    line = server.wait(rf'^register \S+ "{name}" ', after=mark)
    ui.window_gone("Connect to Server")
    return line


def wait_chat(ui, line, index=0, timeout=10):
    """Waits until the chat window's display (text widget `index`) ends with `line`."""
    def probe():
        shown = kd.texts(ui.window("Online Chat"))
        return shown if shown[index].endswith(line) else None
    return kvtest.poll(probe, timeout, f"{line!r} in {ui.copy.name}'s chat display", interval=0.3)


def wait_call_line(copy, line, copies):
    """Waits for a call line; on failure says how far each sound device got, since a stalled
    device (not the program) is the other reason for a missing line."""
    try:
        copy.wait_output(line, timeout=10)
    except kvtest.Failure as exc:
        reads = {c.name: sum(1 for e in c.dsp_trace() if e[1] == "read" and e[2].get("result", 0) > 0)
                 for c in copies}
        raise kvtest.Failure(f"{exc}\n    completed device reads: {reads}")


def test(run):
    net = run.network("a", "b", "s")
    s_ip = net["s"].ip
    display = run.display(accessibility=True)
    server = kd.DirectoryServer(run, net["s"])
    carol = kd.ScriptedUser(run, net["s"], "carol", s_ip, kd.registration_record("carol", s_ip))
    server.wait(r'^register \S+ "carol" as 10\.47\.0\.3, visible')

    copies = {}
    for name, user, buddies in (("A", "alice", ["bob", "carol", "dave"]), ("B", "bob", ["alice"])):
        os.makedirs(os.path.join(run.workdir, name), exist_ok=True)
        kd.write_profile(os.path.join(run.workdir, name), user, f"{user}@example.org", True, buddies)
        kd.write_servers(os.path.join(run.workdir, name), [f"Test server {s_ip}"])
        copies[name] = run.start(name, net[name.lower()], sound=True, trace=True,
                                 accessibility=True)
    A, B = copies["A"], copies["B"]
    a_ip, b_ip = net["a"].ip, net["b"].ip
    for copy in (A, B):
        copy.window = copy.wait_window()
        copy.wait_bound()
    ua, ub = kd.Ui(A), kd.Ui(B)

    note("registration")
    line = connect(A, A.window, ua, server, "alice", s_ip)
    check(f'"alice" as {a_ip}, visible, 3 buddies' in line,
          "the server registers alice as visible with 3 buddies, at A's address", line)
    check(all(text in A.stdout() for text in
              ("Buddy list: bob\ncarol\ndave\n", f"Connecting UL Server: {s_ip}\n")),
          "A prints its buddy list and the server it connects to", A.stdout()[-300:])
    line = connect(B, B.window, ub, server, "bob", s_ip)
    check(f'"bob" as {b_ip}, visible, 1 buddies' in line, "the server registers bob", line)
    server_menu(A, A.window, "c")
    time.sleep(1.0)
    check(not any(w["name"] == "Connect to Server" for w in ua.windows()),
          "Connect Server while connected opens nothing")

    note("online users and a call from the list")
    mark = server.mark()
    server_menu(A, A.window, "v")
    users = ua.window("Online Users")
    check(list_rows(users) == [f"carol {s_ip}", f"bob {b_ip}"],
          "A's \"Online Users\" lists carol then bob, name and address", str(list_rows(users)))
    check(entry_text(users) == f"carol {s_ip}" and
          kd.nodes(users, role="label", name="Host name & IP address"),
          "the first row is in the entry, under \"Host name & IP address\"", str(kd.texts(users)))
    check(server.find(r'^user list to \S+ "alice": 2$', after=mark),
          "the server answered alice's refresh with 2 users")
    A.wait_output("Total online user = 2\n")
    bob_cell = kd.nodes(users, role="table cell", name=f"bob {b_ip}")[0]
    x, y, w, h = bob_cell["extents"]
    display.xdotool("mousemove", str(x + w // 2), str(y + h // 2), "click", "1")
    kvtest.poll(lambda: entry_text(ua.window("Online Users")) == f"bob {b_ip}", 5,
                "bob's row in the entry after clicking it")
    check(True, "clicking bob's row puts \"bob 10.47.0.2\" into the entry")
    ua.act("Online Users", "push button", "OK")
    ua.window_gone("Online Users")
    for copy, line in ((A, f"Sending to host {b_ip}"), (B, f"Receiving from host {a_ip}"),
                       (B, f"Sending to host {a_ip}"), (A, f"Receiving from host {b_ip}")):
        wait_call_line(copy, line + "\n", (A, B))
    check(True, "OK calls B: A sends to B, B receives from A and answers, A receives from B")
    check("audio read" not in A.stderr() + B.stderr(), "both sound devices keep delivering",
          (A.stderr() + B.stderr())[-300:])
    for copy, ui in ((A, ua), (B, ub)):
        ui.menu("Mute")
        copy.wait_output(kvtest.SENDER_EXITED, timeout=5)
    check(True, "\"/Audio/Mute\" on both sides ends both transmissions")

    note("online buddies")
    server_menu(A, A.window, "o")
    buddies = ua.window("Online Buddies")
    check(sorted(list_rows(buddies)) == [f"bob {b_ip}", f"carol {s_ip}"],
          "A's \"Online Buddies\" lists bob and carol, not dave who is offline",
          str(list_rows(buddies)))
    A.wait_output("Total online buddies = 2\n")
    ua.act("Online Buddies", "push button", "Cancel")
    ua.window_gone("Online Buddies")
    check(not A.stdout().count("Sending to host") > 1, "Cancel calls nobody")
    server_menu(B, B.window, "o")
    buddies = ub.window("Online Buddies")
    check(list_rows(buddies) == [f"alice {a_ip}"], "B's \"Online Buddies\" lists alice",
          str(list_rows(buddies)))
    ub.act("Online Buddies", "push button", "Cancel")

    note("chat")
    ub.menu("Chat...")
    ub.window("Online Chat")
    ua.menu("Chat...")
    chat = ua.window("Online Chat")
    input_box = kd.nodes(chat, role="text")[1]
    check("editable" in input_box["states"] and "editable" not in kd.nodes(chat, role="text")[0]["states"],
          "the chat window has a read-only display and an editable input")
    mark = server.mark()
    A.type_text(kvtest.poll(lambda: A.display.find_windows("^Online Chat$", pid=A.pid), 5,
                            "A's chat window")[0], "hello bob")
    kvtest.poll(lambda: kd.texts(ua.window("Online Chat"))[1] == "hello bob", 5,
                "the typed text in A's chat input")
    ua.act("Online Chat", "push button", "OK")
    shown = wait_chat(ua, "alice: hello bob\n")
    check(shown[0] == "alice: hello bob\n" and shown[1] == "",
          "A shows its own line \"alice: hello bob\" and empties the input", str(shown))
    wait_chat(ub, "alice: hello bob\n")
    check(True, "B's \"Online Chat\" window shows \"alice: hello bob\"")
    check(server.wait(r'^message from \S+ "alice", 9 bytes, to 2$', after=mark),
          "the server relays alice's 9 bytes to her 2 online buddies")
    # carol asks for no list, so all she receives is chat.
    kvtest.poll(lambda: kd.chat_replies(carol.received()), 5, "the chat reply at carol")
    check(kd.chat_replies(carol.received()) == [("alice", "hello bob")],
          "carol receives the relayed message with alice's name")
    ub.set_text("Online Chat", "text", 1, "hi alice")
    ub.act("Online Chat", "push button", "OK")
    wait_chat(ua, "alice: hello bob\nbob: hi alice\n")
    check(True, "B's answer appears in A's window as \"bob: hi alice\" after A's own line")

    note("disconnect")
    mark = server.mark()
    server_menu(A, A.window, "d")
    line = server.wait(r'^(quit|closed) \S+ "alice"$', after=mark)
    check(line.startswith("quit "), "Disconnect Server sends \"quit!\": the server forgets alice",
          line)
    server_menu(B, B.window, "v")
    users = ub.window("Online Users")
    check(list_rows(users) == [f"carol {s_ip}"], "B's user list no longer has alice",
          str(list_rows(users)))
    ub.act("Online Users", "push button", "Cancel")
    mark, received = server.mark(), A.stdout().count("Received ")
    server_menu(A, A.window, "v")
    server_menu(A, A.window, "o")
    ua.set_text("Online Chat", "text", 1, "anyone?")
    ua.act("Online Chat", "push button", "OK")
    kvtest.poll(lambda: any("not connected" in n["name"] for n in kd.nodes(ua.window("Online Chat"))),
                10, "the chat window to say that A is not connected")
    time.sleep(1.0)
    check(server.lines()[mark:] == [] and A.stdout().count("Received ") == received
          and not kd.texts(ua.window("Online Chat"))[0].endswith("alice: anyone?\n"),
          "disconnected, A's list requests and chat send nothing, and the line is not shown as sent",
          str(server.lines()[mark:]))

    note("the server stops while A is connected")
    connect(A, A.window, ua, server, "alice", s_ip)
    check(server.stop() == 0, "the server ends with status 0 on SIGTERM")
    for copy, ui in ((A, ua), (B, ub)):
        box = ui.window(CONNECTION_TITLE)
        check(LOST in [n["name"] for n in kd.nodes(box, role="label")],
              f"{copy.name} shows \"{LOST}\" in a \"{CONNECTION_TITLE}\" box",
              str(message_texts(ui, CONNECTION_TITLE)))
    drains, before = A.stdout().count("Received "), kd.thread_cpu_seconds(A.pid)
    time.sleep(2.0)
    spent = kd.thread_cpu_seconds(A.pid) - before
    check(spent < 0.5 and A.stdout().count("Received ") == drains,
          f"A's GUI thread stays idle on the closed connection ({spent:.2f} s CPU in 2 s, "
          f"{A.stdout().count('Received ') - drains} more drains)")
    check(len(message_texts(ua, CONNECTION_TITLE)) == 1, "A shows the loss once")
    for copy in (A, B):
        check("UL Server closed the connection\n" in copy.stdout(),
              f"{copy.name} prints \"UL Server closed the connection\"")
    close_message_boxes(ua, CONNECTION_TITLE)
    received = A.stdout().count("Received ")
    server_menu(A, A.window, "v")
    time.sleep(1.0)
    check(A.stdout().count("Received ") == received and
          not any(w["name"] == "Online Users" for w in ua.windows()),
          "A is Disconnected: \"Visible Online User\" does nothing")

    server = kd.DirectoryServer(run, net["s"], name="server2")
    line = connect(A, A.window, ua, server, "alice", s_ip)
    check(f'"alice" as {a_ip}' in line, "A registers again with the restarted server", line)
    server_menu(A, A.window, "v")
    box = ua.window(CONNECTION_TITLE)
    check("No user online" in [n["name"] for n in kd.nodes(box, role="label")],
          "the new connection answers: alone on the server, \"No user online\"")
    A.wait_output("Total online user = 0\n")
    for copy in (A, B):
        check(copy.alive(), f"{copy.name} is still running")


if __name__ == "__main__":
    kvtest.main(test, time_limit=115)
