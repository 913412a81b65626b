#!/usr/bin/python3
"""Where the real program keeps its profile:
- started from an empty directory, "User Profile" saves userinfo.dat into
  $XDG_CONFIG_HOME/kestrelvox/ (nothing in the current directory), and the
  next start from that directory shows the saved profile again;
- started from a directory that holds userinfo.dat, it shows and saves that
  file and leaves the one in $XDG_CONFIG_HOME alone.
"""
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import kvtest_directory as kd  # noqa: E402
from kvtest import check, note  # noqa: E402

TITLE = "User Profile"


def profile(run, host, name, new=None):
    """Starts a copy in <workdir>/<name>, returns what its profile dialog shows, optionally saves
    `new` (name, e-mail, buddies) with OK, and quits the copy."""
    copy = run.start(name, host, accessibility=True)
    copy.window = copy.wait_window()
    ui = kd.Ui(copy)
    copy.key(copy.window, "alt+s")
    copy.display.xdotool("key", "u")
    shown = kd.texts(ui.window(TITLE))
    if new:
        for index, text in zip((0, 1, 3), new):
            ui.set_text(TITLE, "text", index, text)
        ui.act(TITLE, "push button", "OK")
    else:
        ui.act(TITLE, "push button", "Cancel")
    ui.window_gone(TITLE)
    copy.close_window(copy.window)
    check(copy.wait_exit(10) == 0, f"{name}: the program ends with status 0")
    return shown[:2] + shown[3:]


def test(run):
    host = run.network("lo")["lo"]
    display = run.display(accessibility=True)
    config = os.path.join(display.env["XDG_CONFIG_HOME"], "kestrelvox")
    saved = os.path.join(config, "userinfo.dat")

    note("from an empty directory")
    profile(run, host, "empty", ("zoe", "zoe@example.org", "yann\nxavier"))
    check(kd.read_lines(saved) == ["zoe", "zoe@example.org", "Invisible", "yann", "xavier", ""],
          "the profile is saved in $XDG_CONFIG_HOME/kestrelvox/userinfo.dat", repr(kd.read_lines(saved)))
    leftovers = sorted(set(os.listdir(os.path.join(run.workdir, "empty"))) - {"stdout.txt", "stderr.txt"})
    check(leftovers == [] and os.listdir(config) == ["userinfo.dat"],
          "nothing lands in the current directory, no temporary file stays", f"{leftovers} {os.listdir(config)}")
    shown = profile(run, host, "empty")
    check(shown == ["zoe", "zoe@example.org", "yann\nxavier"], "the next start reads it back", repr(shown))

    note("from a directory that holds userinfo.dat")
    own = os.path.join(run.workdir, "own")
    os.makedirs(own)
    kd.write_profile(own, "olga", "olga@example.org", True, ["pia"])
    shown = profile(run, host, "own", ("olga-renamed", "olga@example.org", "pia"))
    check(shown == ["olga", "olga@example.org", "pia"], "the dialog shows the current directory's file",
          repr(shown))
    check(kd.read_lines(os.path.join(own, "userinfo.dat"))[0] == "olga-renamed" and
          kd.read_lines(saved)[0] == "zoe",
          "OK saves into that file; the one in $XDG_CONFIG_HOME stays as it was")


if __name__ == "__main__":
    kvtest.main(test, time_limit=90)
