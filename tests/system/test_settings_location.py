"""Guards against the profile landing in the wrong folder: $XDG_CONFIG_HOME unless the current directory holds one."""
import os

import kvtest
import kvtest_directory as kd

TITLE = "User Profile"


def profile(run, host, name, new=None):
    """Starts a copy in <workdir>/<name>; returns what its profile shows; saves `new` (name, e-mail, buddies)."""
    copy = run.start(name, host, accessibility=True)
    copy.ready()
    ui = copy.ui
    kd.server_menu(copy, "u")
    shown = kvtest.texts(ui.window(TITLE))
    for index, text in zip((0, 1, 3), new or ()):
        ui.set_text(TITLE, "text", index, text)
    ui.act(TITLE, "push button", "OK" if new else "Cancel")
    ui.window_gone(TITLE)
    copy.close_window(copy.window)
    assert copy.wait_exit(10) == 0
    return shown[:2] + shown[3:]


def test_settings_location(run):
    host = run.network("lo")["lo"]
    config = os.path.join(run.display(accessibility=True).env["XDG_CONFIG_HOME"], "kestrelvox")
    saved = os.path.join(config, "userinfo.dat")
    profile(run, host, "empty", ("zoe", "zoe@example.org", "yann\nxavier"))
    assert kd.read_lines(saved) == ["zoe", "zoe@example.org", "Invisible", "yann", "xavier", ""]
    assert set(os.listdir(os.path.join(run.workdir, "empty"))) <= {"stdout.txt", "stderr.txt"}
    assert os.listdir(config) == ["userinfo.dat"], "no temporary file may stay"
    assert profile(run, host, "empty") == ["zoe", "zoe@example.org", "yann\nxavier"]

    own = os.path.join(run.workdir, "own")
    kd.write_profile(own, "olga", "olga@example.org", ["pia"])
    assert profile(run, host, "own", ("olga-renamed", "olga@example.org", "pia")) == ["olga", "olga@example.org", "pia"]
    assert kd.read_lines(os.path.join(own, "userinfo.dat"))[0] == "olga-renamed" and kd.read_lines(saved)[0] == "zoe"
