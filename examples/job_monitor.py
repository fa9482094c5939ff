"""Watch a job on the live dashboard: run a child process, tail its output into
the log, keep a table of its steps and a progress bar.

    python examples/job_monitor.py                # the bundled 10-step job
    python examples/job_monitor.py --steps 5 --delay 0.1 --fail-at 4
    python examples/job_monitor.py -- CMD ARGS... # any command printing "step N/M ..."
"""

import argparse
import re
import shlex
import subprocess
import sys
import time

from rich.markup import escape   # child output goes into markup: shown as written, never as tags

from OrvanDeck import CLASS_Orvan, ENUM_RichColor as C

# The bundled job: prints one line per step, with a pause for the work.
CHILD = r"""
import sys, time
steps, delay, fail_at = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
for i in range(1, steps + 1):
    time.sleep(delay)
    if i == fail_at:
        print("step %d/%d failed: disk full" % (i, steps), flush=True)
        sys.exit(3)
    print("step %d/%d ok" % (i, steps), flush=True)
print("all done", flush=True)
"""

STEP = re.compile(r"step (\d+)/(\d+)\s+(\w+):?\s*(.*)")


def short(command, width=60):
    # one line: a long command (a multi-line script, say) would push the table off the screen
    text = " ".join(shlex.join(command).split())
    return text if len(text) <= width else text[:width - 3] + "..."


def monitor(argv, label):
    deck = CLASS_Orvan(Pmi_RefreshRate=8, Pmi_LogLines=6)
    started = time.monotonic()
    bar_total = None
    try:
        deck.CUF_AddTable("Steps", ["Step", "State", "Note", "At (s)"])
        deck.CUF_DisplaySingle("running: " + escape(label), C.cE_RCH_CYAN)
        with subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, bufsize=1) as child:
            for line in child.stdout:
                line = line.rstrip("\n")
                m = STEP.match(line)
                if m:
                    step, total, state, note = int(m[1]), int(m[2]), m[3], m[4]
                    if bar_total != total:
                        deck.CUF_ProgressStartP("Job", Pmi_Total=total, Pms_BarColor=C.cE_RCH_GREEN)
                        bar_total = total
                    # .value: str() and "%s" of a member give its qualified name, not the colour
                    colour = (C.cE_RCH_GREEN if state == "ok" else C.cE_RCH_RED).value
                    deck.CUF_DisplayMulti("Steps", step, [
                        "%d/%d" % (step, total), "[%s]%s[/%s]" % (colour, state, colour),
                        escape(note), "%.1f" % (time.monotonic() - started)])
                    if state == "ok":
                        deck.CUF_ProgressAdvance(1)
                    deck.CUF_AddLog(escape(line), colour)
                else:
                    deck.CUF_AddLog(escape(line), C.cE_RCH_GREY)
            rc = child.wait()
        if rc == 0:
            deck.CUF_DisplaySingle("finished: exit status 0", C.cE_RCH_GREEN)
        else:
            deck.CUF_DisplaySingle("FAILED: exit status %d" % rc, C.cE_RCH_BRIGHT_RED)
        return rc
    finally:
        deck.CUF_Close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=10)
    parser.add_argument("--delay", type=float, default=0.4, help="seconds per step")
    parser.add_argument("--fail-at", type=int, default=0, help="make the bundled job fail at this step")
    parser.add_argument("command", nargs="*", help="run this instead of the bundled job")
    args = parser.parse_args()
    if args.command:
        argv, label = args.command, short(args.command)
    else:
        argv = [sys.executable, "-u", "-c", CHILD, str(args.steps), str(args.delay), str(args.fail_at)]
        label = "bundled job, %d steps" % args.steps
    return 1 if monitor(argv, label) else 0


if __name__ == "__main__":
    sys.exit(main())
