"""A program run in a real pseudo-terminal of 100x40, its output read back
through a pyte screen: the dashboard's demonstration and scripts that draw."""

import errno
import fcntl
import os
import select
import signal
import struct
import subprocess
import termios
import time

import pyte
import pytest

from pelmar_fakes import terminal_env

COLS, ROWS = 100, 40


def _env():
    return terminal_env(TERM="xterm-256color", PYTHONUNBUFFERED="1")


def _child_setup():
    # SIGINT may be ignored by the parent (e.g. a CI job run in the
    # background); give the child the default so Python installs its handler.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run_in_pty(argv, interrupt_after=None, timeout=60.0):
    """Run argv with a 100x40 pty as its terminal.  Returns (rc, raw bytes)."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLS, 0, 0))
    try:
        proc = subprocess.Popen(
            argv,
            stdin=slave,
            stdout=slave,
            stderr=slave,
            env=_env(),
            close_fds=True,
            start_new_session=True,
            preexec_fn=_child_setup,
        )
    finally:
        os.close(slave)
    chunks = []
    start = time.monotonic()
    interrupted = False
    try:
        while True:
            elapsed = time.monotonic() - start
            if elapsed > timeout:
                proc.kill()
                proc.wait()
                pytest.fail("demonstration did not end within %s s; output:\n%s"
                            % (timeout, b"".join(chunks).decode("utf-8", "replace")))
            if interrupt_after is not None and not interrupted and elapsed >= interrupt_after:
                proc.send_signal(signal.SIGINT)
                interrupted = True
            ready, _, _ = select.select([master], [], [], 0.05)
            if ready:
                try:
                    data = os.read(master, 65536)
                except OSError as e:
                    if e.errno == errno.EIO:  # slave side closed
                        break
                    raise
                if not data:
                    break
                chunks.append(data)
            elif proc.poll() is not None:
                # drain what is left
                while select.select([master], [], [], 0.2)[0]:
                    try:
                        data = os.read(master, 65536)
                    except OSError:
                        data = b""
                    if not data:
                        break
                    chunks.append(data)
                break
        rc = proc.wait(timeout=30)
    finally:
        os.close(master)
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return rc, b"".join(chunks)


def screen_lines(raw):
    screen = pyte.Screen(COLS, ROWS)
    stream = pyte.ByteStream(screen)
    stream.feed(raw)
    return [line.rstrip() for line in screen.display]
