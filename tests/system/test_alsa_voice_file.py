#!/usr/bin/python3
"""Voice files over the ALSA backend alone: the copy runs without libaoss, so /dev/dsp does not
open ("open /dev/dsp: No such file or directory" on standard error) and it uses ALSA's default
device, which is the simulated sound card (standard output says so once). Then everything of
test_voice_file holds as with OSS: a GSM recording whose records and frames are exactly libgsm's
encoding of the u-law-quantised input, the busy boxes, the progress bar, playback that gives the
device exactly the decoded frames (drained at exit), and the refused and damaged files; standard
error holds at most one report of each kind of xrun besides the line about /dev/dsp.
First, a copy whose ALSA default device cannot be opened either: it reports that failure in the
same style, does not claim to use ALSA, and goes on without sound: a recording ends at the first
failed read, and shut-down reports the failed drain and still ends with status 0.
"""
import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kvtest  # noqa: E402
import test_voice_file as vf  # noqa: E402
from kvtest import check, note  # noqa: E402


def check_no_device(run, host):
    note("a copy whose ALSA default device names a card that does not exist")
    conf = os.path.join(run.workdir, "no-card.conf")
    with open(conf, "w") as f:
        f.write("pcm.!default { type hw card 57 }\n")
    copy = run.start("nocard", host, sound=True, alsa=True, accessibility=True,
                     env={"ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf:" + conf})
    copy.window = copy.wait_window()
    copy.wait_bound()
    copy.wait_output(vf.NO_DSP, timeout=5, stream="stderr")
    kvtest.poll(lambda: len(vf.device_reports(copy)) >= 2, 5, "the ALSA failure on standard error")
    reports = vf.device_reports(copy)
    check(reports[0] == vf.NO_DSP and "ALSA" in reports[1] and ": " in reports[1]
          and len(reports) == 2,
          f"standard error says \"{vf.NO_DSP}\", then \"{reports[1]}\"", repr(reports))
    check(not any("ALSA" in line for line in copy.stdout_lines()),
          "standard output does not claim that ALSA is used", repr(copy.stdout_lines()))
    rec = vf.Recorder(copy)
    rec.start_recording("nothing.vox")
    vf.wait_line_count(copy, vf.RECORD_DONE, 1, 10)
    check(os.path.getsize(rec.path("nothing.vox")) == 0,
          f"a recording ends at once with \"{vf.RECORD_DONE}\" and writes nothing")
    copy.key(copy.window, "ctrl+q")
    rc = copy.wait_exit(10)
    reports = vf.device_reports(copy)
    check(rc == 0 and [line.split(":")[0] for line in reports[2:]] == ["audio read", "ioctl sync"],
          "the failed read and the failed drain at shut-down are reported, and the program ends "
          "with status 0", f"status {rc}, standard error {reports!r}")


def test(run):
    host = run.network("a")["a"]
    check_no_device(run, host)
    vf.run_gsm_file_test(run, alsa=True, host=host)


if __name__ == "__main__":
    kvtest.main(test, time_limit=120)
