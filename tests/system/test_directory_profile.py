"""Guards against the profile shown or saved wrongly (cuts, visibility, folder), sent on save, or written on Cancel."""
import os
import time

import kvtest
import kvtest_directory as kd

TITLE = "User Profile"
NAME, EMAIL = "alexandra-the-great", "alexandra.the.great@far-away.example"  # 19 and 36 characters


def open_profile(copy):
    kd.server_menu(copy, "u")
    window = copy.tree(TITLE)
    radios = {n["name"]: "checked" in n["states"] for n in kvtest.find_nodes(window, role="radio button")}
    assert set(radios) == {"Visible mode", "Invisible mode"} and sum(radios.values()) == 1, radios
    return kvtest.texts(window), [name for name, on in radios.items() if on]


def save(copy, texts, ok="OK"):
    for index, text in texts:
        copy.set_text(TITLE, index, text)
    copy.act(TITLE, ok)
    copy.window_gone(TITLE)


def test_profile(run, display, directory_server):
    host = run.network("lo")["lo"]
    config = os.path.join(display.env["XDG_CONFIG_HOME"], "kestrelvox")
    server = directory_server(host)
    kd.write_profile(config, "alice", "alice@example.org", ["bob", "carol"], ["Local server 127.0.0.1"])
    userinfo = os.path.join(config, "userinfo.dat")
    a = run.start("A", host).ready()
    assert kd.connect(a, server, "alice").endswith("as 127.0.0.1, visible, 2 buddies (1 registered)")
    assert open_profile(a) == (["alice", "alice@example.org", "127.0.0.1", "bob\ncarol"], ["Visible mode"])

    mark = server.mark()
    a.act(TITLE, "Invisible mode")
    kvtest.poll(lambda: "checked" in kvtest.find_nodes(a.tree(TITLE), role="radio button",
                                                       name="Invisible mode")[0]["states"], 5, "Invisible mode chosen")
    save(a, enumerate((NAME, EMAIL, "10.9.9.9", "dave\nerin\nfrank")))
    saved = kd.read_lines(userinfo)
    assert saved == [NAME[:15], EMAIL[:31], "Invisible", "dave", "erin", "frank", ""]
    assert sorted(os.listdir(config)) == ["servers.dat", "userinfo.dat"], "a temporary file stayed"
    assert set(os.listdir(a.dir)) <= {"stdout.txt", "stderr.txt"}, "the profile went to the current directory"
    time.sleep(1.0)
    assert server.lines()[mark:] == [], "saving the profile must send nothing"

    kd.server_menu(a, "d")
    server.wait(r'^quit \S+ "alice"$', after=mark)
    assert kd.connect(a, server, NAME[:15]).endswith("as 127.0.0.1, invisible, 3 buddies (1 registered)")
    assert open_profile(a) == ([NAME[:15], EMAIL[:31], "127.0.0.1", "dave\nerin\nfrank"], ["Invisible mode"])
    before = os.stat(userinfo).st_mtime_ns
    save(a, [(0, "someone-else")], "Cancel")
    assert (os.stat(userinfo).st_mtime_ns, kd.read_lines(userinfo)) == (before, saved)
    a.quit()

    own = os.path.join(run.workdir, "own")  # a profile in the current directory wins, and is the one saved
    kd.write_profile(own, "olga", "olga@example.org", ["pia"])
    b = run.start("own", host).ready()
    assert open_profile(b)[0][:2] == ["olga", "olga@example.org"]
    save(b, [(0, "olga-renamed")])
    assert kd.read_lines(os.path.join(own, "userinfo.dat"))[0] == "olga-renamed" and kd.read_lines(userinfo) == saved
