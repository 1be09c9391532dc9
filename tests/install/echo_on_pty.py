#!/usr/bin/env python3
"""Runs sio_echo on COM5, led by TAVO_COM5 to the slave of a pseudo-terminal pair,
plays the device on the master (every byte value, each to come back echoed), then
presses Enter on sio_echo's console (a second pair) and checks its count and status.
Usage: echo_on_pty.py <sio_echo>"""
import os
import pty
import select
import subprocess
import sys
import time

BOUND = 30.0  # seconds; reached only by a hang
SENT = bytes(range(256)) * 8


def fail(message, proc=None):
    if proc is not None and proc.poll() is None:
        proc.kill()
        proc.wait()
    print("FAILED: " + message)
    sys.exit(1)


def read_until(fd, done, deadline):
    """Reads fd until done(bytes so far) holds, the deadline passes or the far side
    goes; what was read."""
    got = b""
    while not done(got):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # the last holder of the slave has gone
            break
        if not chunk:
            break
        got += chunk
    return got


def first_difference(a, b):
    return next((i for i in range(min(len(a), len(b))) if a[i] != b[i]), min(len(a), len(b)))


def main():
    program = sys.argv[1]
    line_master, line_slave = pty.openpty()
    console_master, console_slave = pty.openpty()
    device = os.ttyname(line_slave)
    os.close(line_slave)  # sio_echo opens the device itself, by name

    env = dict(os.environ, TAVO_COM5=device)
    proc = subprocess.Popen([program, "COM5", "115200"], env=env, stdin=console_slave,
                            stdout=console_slave, stderr=subprocess.PIPE,
                            start_new_session=True)
    os.close(console_slave)
    deadline = time.monotonic() + BOUND

    greeting = read_until(console_master, lambda got: b"press Enter" in got, deadline)
    if b"press Enter" not in greeting:
        fail("no greeting from sio_echo: %r" % greeting, proc)

    os.write(line_master, SENT)
    echoed = read_until(line_master, lambda got: len(got) >= len(SENT), deadline)
    if echoed != SENT:
        fail("echo differs: sent %d bytes, got back %d, the first wrong at %d" %
             (len(SENT), len(echoed), first_difference(echoed, SENT)), proc)

    os.write(console_master, b"\n")
    want = b"%d bytes echoed" % len(SENT)
    said = read_until(console_master, lambda got: want in got, deadline)
    if want not in said:
        fail("no \"%s\" line, but %r" % (want.decode(), said), proc)
    try:
        status = proc.wait(timeout=max(deadline - time.monotonic(), 1.0))
    except subprocess.TimeoutExpired:
        fail("sio_echo did not end after Enter", proc)
    errors = proc.stderr.read().decode(errors="replace")
    if status != 0:
        fail("sio_echo ended with status %d: %s" % (status, errors))
    print("%s: %d bytes echoed on %s, status 0" % (os.path.basename(program), len(SENT), device))


if __name__ == "__main__":
    main()
