#!/usr/bin/python3
"""The "User Profile" dialog on the real program, with kestrelvox-directory on the loopback of the
same namespace:
- opened from "/Server/_User Profile", it shows userinfo.dat (name, e-mail, buddies one a line,
  "Visible mode") and the local address;
- changed and saved with OK while connected, it writes userinfo.dat (a name cut to 15 characters,
  an e-mail address cut to 31, "Invisible", the buddies one a line) without touching the Local IP
  and without sending anything; the next registration carries the new profile;
- opened again it shows the saved profile with "Invisible mode"; Cancel leaves the file alone.
"""
import os
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import kvtest_directory as kd  # noqa: E402
from kvtest import check, note  # noqa: E402

TITLE = "User Profile"
NAME = "alexandra-the-great"                     # 19 characters: 15 are kept
EMAIL = "alexandra.the.great@far-away.example"   # 36 characters: 31 are kept


def server_menu(copy, key):
    copy.key(copy.window, "alt+s")
    copy.display.xdotool("key", key)


def open_profile(copy, ui):
    server_menu(copy, "u")
    window = ui.window(TITLE)
    radios = {n["name"]: "checked" in n["states"] for n in kd.nodes(window, role="radio button")}
    check(set(radios) == {"Visible mode", "Invisible mode"} and sum(radios.values()) == 1,
          "the profile offers \"Visible mode\" and \"Invisible mode\", one of them chosen",
          str(radios))
    return kd.texts(window), radios


def connect(copy, ui, server, name):
    mark = server.mark()
    server_menu(copy, "c")
    ui.window("Connect to Server")
    ui.act("Connect to Server", "push button", "OK")
    return server.wait(rf'^register \S+ "{name}" ', after=mark)


def test(run):
    host = run.network("lo")["lo"]
    run.display(accessibility=True)
    server = kd.DirectoryServer(run, host)
    directory = os.path.join(run.workdir, "A")
    os.makedirs(directory, exist_ok=True)
    kd.write_profile(directory, "alice", "alice@example.org", True, ["bob", "carol"])
    kd.write_servers(directory, ["Local server 127.0.0.1"])
    userinfo = os.path.join(directory, "userinfo.dat")
    A = run.start("A", host, accessibility=True)
    A.window = A.wait_window()
    ui = kd.Ui(A)

    line = connect(A, ui, server, "alice")
    check(line.endswith('as 127.0.0.1, visible, 2 buddies (1 registered)'),
          "alice registers as visible with 2 buddies", line)

    note("the profile as the file has it")
    shown, radios = open_profile(A, ui)
    check(shown == ["alice", "alice@example.org", "127.0.0.1", "bob\ncarol"],
          "name, e-mail, local address and the buddies one a line", str(shown))
    check(radios["Visible mode"], "\"Visible mode\" is chosen")

    note("changed and saved while connected")
    mark = server.mark()
    for index, text in enumerate((NAME, EMAIL, "10.9.9.9", "dave\nerin\nfrank")):
        ui.set_text(TITLE, "text", index, text)
    ui.act(TITLE, "radio button", "Invisible mode")
    kvtest.poll(lambda: "checked" in kd.nodes(ui.window(TITLE), role="radio button",
                                              name="Invisible mode")[0]["states"], 5,
                "\"Invisible mode\" to be chosen")
    ui.act(TITLE, "push button", "OK")
    ui.window_gone(TITLE)
    saved = kd.read_lines(userinfo)
    check(saved == [NAME[:15], EMAIL[:31], "Invisible", "dave", "erin", "frank", ""],
          "OK writes userinfo.dat: the name cut to 15 characters, the e-mail to 31, \"Invisible\", "
          "one buddy a line", repr(saved))
    time.sleep(1.0)
    check(server.lines()[mark:] == [], "saving sends nothing to the server",
          str(server.lines()[mark:]))

    note("the next registration")
    server_menu(A, "d")
    server.wait(r'^quit \S+ "alice"$', after=mark)
    line = connect(A, ui, server, NAME[:15])
    check(line.endswith('as 127.0.0.1, invisible, 3 buddies (1 registered)'),
          f"the next connect registers \"{NAME[:15]}\", invisible, with 3 buddies", line)

    note("opened again")
    shown, radios = open_profile(A, ui)
    check(shown == [NAME[:15], EMAIL[:31], "127.0.0.1", "dave\nerin\nfrank"],
          "the dialog shows the saved profile and the real local address", str(shown))
    check(radios["Invisible mode"], "\"Invisible mode\" is chosen")
    before = os.stat(userinfo).st_mtime_ns, saved
    ui.set_text(TITLE, "text", 0, "someone-else")
    ui.act(TITLE, "push button", "Cancel")
    ui.window_gone(TITLE)
    check((os.stat(userinfo).st_mtime_ns, kd.read_lines(userinfo)) == before,
          "Cancel leaves userinfo.dat as it was")


if __name__ == "__main__":
    kvtest.main(test, time_limit=90)
