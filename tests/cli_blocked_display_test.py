#!/usr/bin/env python3
"""The upgrade never waits for its display or its trace.

orvane-flash runs with standard error and standard output on two terminals;
once the upload is under way both are stopped (XOFF, as a console with a
selection in it holds up its writers) for 10 s. The upgrade must finish
meanwhile, send the scanner exactly the bytes of a run whose terminals never
stopped, and, once they go again, show its result and lose nothing of the
trace.

    cli_blocked_display_test.py BIN_DIR
"""
import json
import os
import pty
import subprocess
import sys
import tempfile
import termios
import threading
import time

STOP_S = 10
XOFF, XON = b"\x13", b"\x11"


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return False


class Terminal:
    """A pseudo-terminal whose output is collected as it comes."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        attrs = termios.tcgetattr(self.slave)
        attrs[0] |= termios.IXON  # ^S stops its output, ^Q lets it go on
        attrs[1] &= ~termios.OPOST  # bytes as written
        attrs[3] &= ~termios.ECHO
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        self.data = bytearray()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                return
            if not chunk:
                return
            self.data += chunk

    def send(self, control):
        os.write(self.master, control)


def run(bin_dir, work, name, image, stop):
    summary = os.path.join(work, name + ".json")
    port_file = os.path.join(work, name + ".port")
    log = os.path.join(work, name + ".log")
    with open(log, "w") as out:
        sim = subprocess.Popen([os.path.join(bin_dir, "orvane-bootsim"), "--line-rate",
                                "--expect", image, "--summary", summary, "--path-file", port_file],
                               stdout=out, stderr=subprocess.STDOUT)
    if not wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0, 10):
        sys.exit("FAIL: %s: the emulator did not start" % name)
    port = open(port_file).read().strip()
    display, trace = Terminal(), Terminal()
    report = os.path.join(work, name + ".jsonl")
    flash = subprocess.Popen([os.path.join(bin_dir, "orvane-flash"), "upgrade", "-p", port,
                              "--report", report, image],
                             stdin=subprocess.DEVNULL, stdout=trace.slave, stderr=display.slave)
    # Only the utility holds the terminals now: its exit ends their readers.
    os.close(display.slave)
    os.close(trace.slave)
    log_has = lambda text: text in open(log).read()
    started_while_stopped = None
    if stop:
        if not wait_for(lambda: log_has("upload 2000"), 30):
            sys.exit("FAIL: %s: the upload did not begin" % name)
        display.send(XOFF)
        trace.send(XOFF)
        stopped_at = time.monotonic()
        started_while_stopped = wait_for(lambda: log_has("go 5000"), STOP_S)
        time.sleep(max(0.0, STOP_S - (time.monotonic() - stopped_at)))
        display.send(XON)
        trace.send(XON)
    status = flash.wait(timeout=60)
    sim.terminate()
    sim.wait(timeout=30)
    display.reader.join(30)
    trace.reader.join(30)
    return {
        "status": status,
        "started_while_stopped": started_while_stopped,
        "summary": json.load(open(summary)),
        "record": json.loads(open(report).read().splitlines()[-1]),
        "screen": display.data.decode("utf-8", "replace"),
        "trace": bytes(trace.data),
    }


def main():
    bin_dir = sys.argv[1]
    work = tempfile.mkdtemp(prefix="blocked-display-")
    image = os.path.join(work, "fw.bin")
    subprocess.run([os.path.join(bin_dir, "orvane-mkimage"), "--out", image, "--size", "20000",
                    "--no-header"], check=True, stdout=subprocess.DEVNULL)
    free = run(bin_dir, work, "free", image, stop=False)
    held = run(bin_dir, work, "held", image, stop=True)
    failures = []
    check = lambda ok, what: ok or failures.append(what)
    for r, name in ((free, "free"), (held, "held")):
        check(r["status"] == 0, "%s: exit %s" % (name, r["status"]))
        check(r["summary"]["flash_exact"], "%s: the scanner does not hold the image" % name)
        check(r["record"]["blocks_resent"] == 0, "%s: blocks sent again" % name)
        check(r["screen"].rstrip().endswith("upgrade success!!!"),
              "%s: the result is not the last line: %r" % (name, r["screen"][-200:]))
    check(held["started_while_stopped"],
          "held: the upgrade did not finish while the terminals were stopped")
    check(held["summary"]["input_digest"] == free["summary"]["input_digest"] and
          held["summary"]["input_bytes"] == free["summary"]["input_bytes"],
          "held: the scanner received other bytes than in the free run")
    # Up to the start command's echo: what the scanner says after it may come
    # before the port closes or not. The lines around the transfer come from
    # the upgrade's thread, the bytes from the reader's: their order is free.
    upto = lambda trace: trace[:trace.rfind(b"go 5000") + 7].replace(b"\n", b"")
    check(b"go 5000" in held["trace"] and upto(held["trace"]) == upto(free["trace"]),
          "held: the trace differs from the free run's (%d and %d bytes)" %
          (len(held["trace"]), len(free["trace"])))
    for f in failures:
        print("FAIL: " + f)
    print("%d check(s) failed" % len(failures) if failures else "all blocked-display checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
