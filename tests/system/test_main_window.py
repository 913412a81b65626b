#!/usr/bin/python3
"""The main window and the program's life cycle, on the real binary:
- the window "Kestrelvox" opens with the 25 menu entries, their labels, mnemonics and accelerators
  (read through accessibility), even without /dev/dsp, which standard error reports;
- a second copy in the same namespace cannot bind UDP 2047 and ends with status 3;
- "/File/Quit" (by Ctrl+Q and by clicking the menu entry) and closing the window through the window
  manager all end the program with status 0 and the shut-down lines at the end of standard output.
A screenshot of the main window goes to <build-dir>/system-tests/artifacts/main-window.png, or to
docs/main-window.png in the source tree when KV_UPDATE_SCREENSHOT=1.
"""
import os
import shutil
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
from kvtest import check, note  # noqa: E402

# path, accelerator, item type: the menu as the program defines it.
MENU = [
    ("/_File", None, "<Branch>"),
    ("/File/_Play File", "<control>P", None),
    ("/File/_Record File", "<control>R", None),
    ("/File/Stop", None, None),
    ("/File/sep1", None, "<Separator>"),
    ("/File/Quit", "<control>Q", None),
    ("/_Connect", None, "<Branch>"),
    ("/Connect/_New", "<control>N", None),
    ("/Connect/Open", "<control>O", None),
    ("/_Server", None, "<Branch>"),
    ("/Server/_Connect Server", None, None),
    ("/Server/sep1", None, "<Separator>"),
    ("/Server/_Online Buddy", None, None),
    ("/Server/_Visible Online User", None, None),
    ("/Server/Chat...", None, None),
    ("/Server/sep2", None, "<Separator>"),
    ("/Server/_Disconnect Server", None, None),
    ("/Server/_User Profile", None, None),
    ("/Server/sep3", None, "<Separator>"),
    ("/Server/_Proxy Setup", None, None),
    ("/_Audio", None, "<Branch>"),
    ("/Audio/_Compression", None, None),
    ("/Audio/Mute", None, None),
    ("/_Help", None, "<LastBranch>"),
    ("/_Help/About", None, None),
]


def expected_entries():
    """What GTK shows for each row: (menu, role, label with its mnemonic underscore, accelerator)."""
    entries = []
    for path, accel, kind in MENU:
        parts = path.strip("/").split("/")
        parent = parts[0].replace("_", "") if len(parts) > 1 else ""
        if kind == "<Separator>":
            entries.append((parent, "separator", "", None))
        elif kind in ("<Branch>", "<LastBranch>"):
            entries.append((parent, "menu", parts[-1], None))
        else:
            entries.append((parent, "menu item", parts[-1], accel))
    return entries


def shown_label(node):
    """The label with an underscore before its mnemonic letter, as it was written for GTK. The
    first field of the key binding is the mnemonic ("p", or "<Alt>f" on the menu bar)."""
    name = node["name"]
    fields = node["keys"].split(";")
    mnemonic = fields[0].rsplit(">", 1)[-1] if fields and fields[0] else ""
    if len(mnemonic) == 1:
        at = name.lower().find(mnemonic.lower())
        if at >= 0:
            return name[:at] + "_" + name[at:]
    return name


def shown_accelerator(node):
    fields = node["keys"].split(";")
    if len(fields) < 3 or not fields[2]:
        return None
    accel = fields[2]
    for word in ("<Primary>", "<Control>", "<Ctrl>", "<control>"):
        accel = accel.replace(word, "<control>")
    mods, _, key = accel.rpartition(">")
    return (mods + ">" if mods else "") + key.upper()


def actual_entries(tree):
    bars = kvtest.find_nodes(tree, role="menu bar")
    check(len(bars) == 1, "the window has one menu bar", f"found {len(bars)}")
    entries, greyed = [], []
    for menu in bars[0]["children"]:
        entries.append(("", menu["role"], shown_label(menu), shown_accelerator(menu)))
        for item in menu["children"]:
            label = shown_label(item) if item["role"] != "separator" else ""
            if item["role"] == "menu item" and "sensitive" not in item["states"]:
                # A greyed-out item reports no mnemonic: take the one written for it.
                greyed.append(item["name"])
                label = next((e[2] for e in expected_entries() if e[2].replace("_", "") == label), label)
            entries.append((menu["name"], item["role"], label, shown_accelerator(item)))
    return bars[0], entries, greyed


def check_menu(tree):
    bar, actual, greyed = actual_entries(tree)
    expected = expected_entries()
    check(greyed == ["Stop", "Online Buddy", "Visible Online User", "Disconnect Server"],
          "at start Stop and the Server entries that need a connection are greyed out", repr(greyed))
    listing = "\n".join(f"      {e}" for e in actual)
    check(len(actual) == 25, "the menu bar holds 25 entries (menus, items and separators)",
          f"found {len(actual)}:\n{listing}")
    for want, got in zip(expected, actual):
        where = f"/{want[0]}/{want[2]}" if want[0] else f"/{want[2]}"
        if want[1] == "separator":
            where = f"separator in /{want[0]}"
        check(got == want, f"menu entry {where}: {want[1]}"
              + (f", accelerator {want[3]}" if want[3] else ""),
              f"expected {want}, shown {got}")
    menus = [m for m in bar["children"] if m["role"] == "menu"]
    help_menu, bar_ext = menus[-1]["extents"], bar["extents"]
    check(help_menu and bar_ext and abs((help_menu[0] + help_menu[2]) - (bar_ext[0] + bar_ext[2])) <= 4
          and help_menu[0] > menus[-2]["extents"][0] + menus[-2]["extents"][2] + 8,
          "Help sits at the right end of the menu bar",
          f"Help at {help_menu}, Audio at {menus[-2]['extents']}, bar at {bar_ext}")


def check_layout(display, tree, wid):
    geometry = dict(line.split("=", 1) for line in
                    display.xdotool("getwindowgeometry", "--shell", str(wid)).split())
    width, height = int(geometry["WIDTH"]), int(geometry["HEIGHT"])
    check(width >= 300 and height >= 190, f"the window is at least 300 x 190 ({width} x {height})")
    areas = kvtest.find_nodes(tree, role="drawing area")
    check(len(areas) == 1 and areas[0]["extents"] and areas[0]["extents"][3] == 140
          and areas[0]["extents"][2] >= 160,
          "the video area is 140 pixels high and at least 160 wide",
          f"drawing areas: {[a['extents'] for a in areas]}")
    bars = kvtest.find_nodes(tree, role="progress bar")
    check(all("showing" not in b["states"] for b in bars), "the progress bar is hidden at start",
          f"progress bars: {[(b['states'], b['extents']) for b in bars]}")


def save_screenshot(run, display, wid):
    if os.environ.get("KV_UPDATE_SCREENSHOT") == "1":
        target = os.path.join(run.source_dir, "docs", "main-window.png")
    else:
        target = run.artifact("main-window.png")
    shot = display.screenshot(os.path.join(run.workdir, "main-window.png"), wid)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(shot, target)
    check(os.path.getsize(target) > 1000, f"screenshot of the main window saved to {target}")


def check_quit_output(copy, how):
    rc = copy.wait_exit(5)
    check(rc == 0, f"{how} ends the program with status 0", f"status {rc}")
    lines = copy.stdout_lines()
    check(kvtest.quit_tail_ok(lines),
          f"after {how} standard output ends with \"Quit audio receiving\", \"Main process exited\"",
          f"last lines: {lines[-4:]}")


def test(run):
    net = run.network("a", "b")
    display = run.display(accessibility=True)
    no_dsp = not os.path.exists("/dev/dsp")

    note("first copy in namespace a, no sound device")
    first = run.start("first", net["a"], accessibility=True)
    wid = first.wait_window()
    check(display.window_title(wid) == "Kestrelvox", "the window \"Kestrelvox\" appears")
    first.wait_bound()
    check(True, "the program bound UDP 2047 in its namespace")
    if no_dsp:
        first.wait_output("open /dev/dsp: No such file or directory", timeout=5, stream="stderr")
        check(True, "without /dev/dsp standard error shows \"open /dev/dsp: No such file or directory\""
              " and the window still opens")
    else:
        note("this machine has /dev/dsp: the check of its absence is skipped")

    tree = first.accessible()
    check_menu(tree)
    check_layout(display, tree, wid)
    save_screenshot(run, display, wid)

    note("second copy in the same namespace")
    second = run.start("second", net["a"], accessibility=True)
    rc = second.wait_exit(15)
    check(rc == 3, "a second copy in the same namespace ends with status 3", f"status {rc}")
    check("binding audio receive socket: Address already in use" in second.stderr_lines(),
          "its standard error says \"binding audio receive socket: Address already in use\"",
          f"stderr: {second.stderr_lines()}")
    check(first.alive(), "the first copy keeps running")

    note("/File/Quit by its accelerator")
    first.key(wid, "ctrl+q")
    check_quit_output(first, "Ctrl+Q")

    note("a copy in namespace b, /File/Quit clicked in the menu")
    clicked = run.start("clicked", net["b"], accessibility=True)
    clicked.wait_window()
    clicked.wait_bound()
    clicked.act("Kestrelvox", "File", "Quit")
    check_quit_output(clicked, "clicking /File/Quit")

    note("a copy in namespace b, closed by the window manager")
    third = run.start("third", net["b"], accessibility=True)
    wid = third.wait_window()
    third.wait_bound()
    third.close_window(wid)
    check_quit_output(third, "closing the window")


if __name__ == "__main__":
    kvtest.main(test, time_limit=100)
