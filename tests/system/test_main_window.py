"""Guards against a wrong menu (labels, mnemonics, accelerators, greyed items) or layout, and bad start-up or quit."""
import os
import re

import kvtest

# One menu a line: "label [accelerator]" items, "-" a separator; underscores mark mnemonics.
MENUS = """_File: _Play File <control>P | _Record File <control>R | Stop | - | Quit <control>Q
_Connect: _New <control>N | Open <control>O
_Server: _Connect Server | - | _Online Buddy | _Visible Online User | Chat... | - | _Disconnect Server | _User Profile
  | - | _Proxy Setup
_Audio: _Compression | Mute
_Help: About"""


def shown(node):
    """The label with "_" before its mnemonic (key binding field 1: "p" or "<Alt>f"), and the accelerator (field 3)."""
    name, keys = node["name"], (node["keys"] + ";;").split(";")
    mnemonic, accel = keys[0].rsplit(">", 1)[-1], re.sub(r"<(Primary|Control|Ctrl)>", "<control>", keys[2])
    at = name.lower().find(mnemonic.lower()) if len(mnemonic) == 1 else -1
    return name[:at] + "_" + name[at:] if at >= 0 else name, accel[:-1] + accel[-1:].upper() or None


def check_menu(tree):
    bars = kvtest.find_nodes(tree, role="menu bar")
    assert len(bars) == 1
    menus, lines, greyed = bars[0]["children"], [], []
    roles = {(m["role"], i["role"]) for m in menus for i in m["children"]}
    assert roles == {("menu", "menu item"), ("menu", "separator")}, roles
    for menu in menus:
        items = []
        for item in menu["children"]:
            label, accel = shown(item)
            if item["role"] == "menu item" and "sensitive" not in item["states"]:
                greyed.append(item["name"])  # a greyed-out item reports no mnemonic: take the one written for it
                label = "_" + label if f" _{label}" in MENUS else label
            items.append("-" if item["role"] == "separator" else label + (f" {accel}" if accel else ""))
        lines.append(f"{shown(menu)[0]}: " + " | ".join(items))
    assert greyed == ["Stop", "Online Buddy", "Visible Online User", "Disconnect Server"]
    assert "\n".join(lines) == MENUS.replace("\n  |", " |")
    (*_, audio, help), bar = [m["extents"] for m in menus], bars[0]["extents"]
    assert abs(help[0] + help[2] - bar[0] - bar[2]) <= 4 and help[0] > audio[0] + audio[2] + 8, "Help at the right end"


def test_main_window(run, display):
    net = run.network("a", "b")
    first = run.start("first", net["a"]).ready()
    assert display.xdotool("getwindowname", str(first.window)).strip() == "Kestrelvox"
    if not os.path.exists("/dev/dsp"):
        first.wait_output("open /dev/dsp: No such file or directory", timeout=5, stream="stderr")
    tree = first.tree(kvtest.TITLE)
    check_menu(tree)
    size = dict(f.split("=", 1) for f in display.xdotool("getwindowgeometry", "--shell", str(first.window)).split())
    assert int(size["WIDTH"]) >= 300 and int(size["HEIGHT"]) >= 190, size
    areas = [a["extents"] for a in kvtest.find_nodes(tree, role="drawing area")]
    assert len(areas) == 1 and areas[0][3] == 140 and areas[0][2] >= 160, areas
    assert all("showing" not in b["states"] for b in kvtest.find_nodes(tree, role="progress bar"))
    docs = os.environ.get("KV_UPDATE_SCREENSHOT") == "1"  # the README shows it
    first.screenshot(os.path.join(run.source_dir, "docs", "main-window.png") if docs
                     else os.path.join(run.build_dir, "system-tests", "artifacts", "main-window.png"))

    second = run.start("second", net["a"])
    assert second.wait_exit(15) == 3
    assert "binding audio receive socket: Address already in use" in second.stderr().splitlines()
    assert first.alive()
    for copy, quit in ((first, lambda c: c.key(c.window, "ctrl+q")), ("closed", lambda c: c.close_window(c.window)),
                       ("clicked", lambda c: c.act(kvtest.TITLE, "File", "Quit"))):
        copy = run.start(copy, net["b"]).ready() if isinstance(copy, str) else copy
        quit(copy)
        assert copy.wait_exit(5) == 0 and kvtest.quit_tail_ok(copy.stdout_lines()), copy.name
