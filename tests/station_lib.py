"""Helpers for the station's tests: emulated scanners, a running station, raw
HTTP requests and checks. Run by Debian's /usr/bin/python3."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback


def wait_for(predicate, seconds, step=0.05):
    """True once predicate() holds; the bound only ends a hang."""
    deadline = time.monotonic() + seconds
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def show_logs(work):
    for log in sorted(os.listdir(work)):
        if log.endswith((".log", ".err")):
            lines = open(os.path.join(work, log), errors="replace").read().splitlines()
            print("--- last lines of %s:" % log)
            print("\n".join(line for line in lines[-40:] if line != "bootsim: wake-up"))


class Checks:
    def __init__(self, name):
        self.name = name
        self.failures = 0

    def fail(self, text):
        print("FAIL: " + text, flush=True)
        self.failures += 1

    def check(self, condition, text):
        if not condition:
            self.fail(text)
        return bool(condition)

    def finish(self):
        if self.failures:
            print("%d check(s) failed" % self.failures)
            sys.exit(1)
        print("all %s checks passed" % self.name)


def run_scenario(name, prefix, make, scenario):
    """make(work, checks) builds a bench in a fresh folder, scenario(bench) drives
    it; a step that breaks off is a failure with its trace. Exits as Checks does."""
    checks = Checks(name)
    work = make_work(prefix)
    started = time.monotonic()
    bench = None
    try:
        bench = make(work, checks)
        scenario(bench)
        print("ran in %.1f s" % (time.monotonic() - started))
    except Exception:
        traceback.print_exc()
        checks.fail("the test broke off")
    finally:
        if bench:
            bench.close()
        if checks.failures:
            show_logs(work)
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


class Emulator:
    """orvane-bootsim on a pseudo-terminal, logging to WORK/NAME.log."""

    def __init__(self, bin_dir, work, name, *args):
        self.name = name
        self.log = os.path.join(work, name + ".log")
        path_file = os.path.join(work, name + ".port")
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [os.path.join(bin_dir, "orvane-bootsim"), "--path-file", path_file, *args],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        if not wait_for(lambda: os.path.exists(path_file) and os.path.getsize(path_file) > 0, 20):
            raise RuntimeError("emulator %s did not start" % name)
        self.port = open(path_file).read().strip()

    def text(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def has(self, text):
        return text in self.text()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def point_link(link, target):
    """Points `link` at `target` in one step, as udev swaps a by-path link."""
    spare = link + ".new"
    if os.path.lexists(spare):
        os.unlink(spare)
    os.symlink(target, spare)
    os.replace(spare, link)


OPEN_LINE = re.compile(r"station: open http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)")
READ_ONLY_LINE = re.compile(r"station: a read-only view.*/\?token=([0-9a-f]+)")


class Station:
    """orvane-flash station, standard error in WORK/NAME.err; knows its port and token."""

    def __init__(self, bin_dir, work, name, *args):
        self.err = os.path.join(work, name + ".err")
        with open(self.err, "wb") as err:
            self.process = subprocess.Popen(
                [os.path.join(bin_dir, "orvane-flash"), "station", "--no-browser", *args],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        said = lambda: OPEN_LINE.search(self.text()) or self.process.poll() is not None  # noqa
        if not wait_for(said, 30):
            raise RuntimeError("the station printed no address: " + self.text())
        found = OPEN_LINE.search(self.text())
        if not found:
            raise RuntimeError("the station ended: " + self.text())
        self.port, self.token = int(found.group(1)), found.group(2)
        self.url = "http://127.0.0.1:%d/?token=%s" % (self.port, self.token)
        self.host = "127.0.0.1:%d" % self.port
        self.cookie = "orvane_station_%d=%s" % (self.port, self.token)
        read_only = READ_ONLY_LINE.search(self.text())
        self.read_only_token = read_only.group(1) if read_only else None

    def text(self):
        with open(self.err, errors="replace") as f:
            return f.read()

    def sanitizer_report(self):
        """What a sanitizer said on standard error (the sanitized builds run these tests too)."""
        found = re.search(r"^.*(Sanitizer|runtime error:).*$", self.text(), re.M)
        return found.group(0) if found else ""

    def interrupt_twice(self, seconds):
        """Ctrl-C twice, the second once the first was taken; its exit status or None."""
        self.process.send_signal(signal.SIGINT)
        wait_for(lambda: not signal_pending(self.process.pid, signal.SIGINT), 20)
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            return self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            self.kill_outright()
            return None

    def kill(self):
        """Ends a station still running as Ctrl-C does, so that its children end too."""
        if self.process.poll() is None:
            self.interrupt_twice(20)

    def kill_outright(self):
        # Its upgrade children outlive a killed parent: they go first.
        for child in children_of(self.process.pid):
            try:
                os.kill(child, signal.SIGKILL)
            except OSError:
                pass
        self.process.kill()
        self.process.wait()


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                if entry.isdigit() and int(f.read().rpartition(")")[2].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            continue
    return found


def signal_pending(pid, number):
    """A signal still pending counts once with the next one of its kind."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                pending = line.startswith(("ShdPnd:", "SigPnd:")) and int(line.split()[1], 16)
                if pending and pending >> (number - 1) & 1:
                    return True
    except OSError:
        return False
    return False


class Response:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body

    def header(self, name):
        return self.headers.get(name.lower(), "")


def raw_exchange(port, data, timeout=10, half_close=False):
    """Sends bytes (then, with half_close, no more), reads until the server
    closes or a whole response came; None when none did."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(data)
            if half_close:
                s.shutdown(socket.SHUT_WR)
        except OSError:
            return None  # closed on before all of it went: refused
        return read_response(s, time.monotonic() + timeout)


def receive_until(s, deadline, enough):
    """Bytes from `s` until enough(bytes) holds, the peer closes or time is up."""
    received = b""
    while not enough(received):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        s.settimeout(max(0.01, left))
        try:
            chunk = s.recv(65536)
        except (socket.timeout, ConnectionResetError):
            break
        if not chunk:
            break
        received += chunk
    return received


def split_response(received, whole_only):
    """The response in `received`, its body cut to Content-Length; None when
    the head is missing, or with whole_only when the body is short."""
    head_end = received.find(b"\r\n\r\n")
    if head_end < 0:
        return None
    response = parse_head(received[:head_end].decode("latin-1"))
    if not response:
        return None
    body = received[head_end + 4:]
    length = int(response.header("content-length") or -1)
    if 0 <= length <= len(body):
        body = body[:length]
    elif whole_only:
        return None
    response.body = body
    return response


def read_response(s, deadline):
    received = receive_until(s, deadline, lambda got: split_response(got, True) is not None)
    return split_response(received, False)


def parse_head(text):
    lines = text.split("\r\n")
    parts = lines[0].split(" ", 2)
    if len(parts) < 2 or not parts[0].startswith("HTTP/") or not parts[1].isdigit():
        return None
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return Response(int(parts[1]), headers, b"")


def request_bytes(method, path, headers=(), body=b""):
    """An HTTP/1.1 request with exactly the headers given, as (name, value)."""
    lines = ["%s %s HTTP/1.1" % (method, path)]
    lines += ["%s: %s" % h for h in headers]
    if body or method == "POST":
        lines.append("Content-Length: %d" % len(body))
    lines.append("Connection: close")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


def request(port, method, path, headers=(), body=b"", timeout=10):
    """One request; its response, or None when unanswered."""
    return raw_exchange(port, request_bytes(method, path, headers, body), timeout)


def open_events(port, headers, receive_buffer=0):
    """A connection that asked for /events; nothing read from it yet."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.settimeout(10)
    s.connect(("127.0.0.1", port))
    s.sendall(request_bytes("GET", "/events", headers))
    return s


def first_event(port, headers, seconds=10):
    """The response's head and its first event, as text; what came when it did not."""
    deadline = time.monotonic() + seconds
    with open_events(port, headers) as s:
        received = receive_until(s, deadline,
                                 lambda got: b"\n\n" in got.partition(b"\r\n\r\n")[2])
    return received.decode("utf-8", "replace")


def listening_addresses(port):
    """The local addresses of sockets listening on `port`, from /proc/net/tcp and tcp6."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            rows = open(table).read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            address, _, hex_port = fields[1].partition(":")
            if fields[3] == "0A" and int(hex_port, 16) == port:
                found.append(proc_address(address))
    return found


def proc_address(hex_text):
    """/proc/net/tcp's address: 32-bit words in the host's (little-endian) order."""
    raw = b"".join(bytes.fromhex(hex_text[i:i + 8])[::-1] for i in range(0, len(hex_text), 8))
    return socket.inet_ntop(socket.AF_INET if len(raw) == 4 else socket.AF_INET6, raw)


def make_work(prefix):
    return tempfile.mkdtemp(prefix=prefix)
