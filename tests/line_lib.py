"""What the line's tests share: a line server process, a station's requests,
records made here, and the database read through psql. Run by Debian's
/usr/bin/python3 under pg_cluster.py (ORVANE_TEST_PG, ORVANE_TEST_PG_CONTROL)."""
import http.client
import json
import os
import re
import select
import subprocess
import threading
import time
import uuid

DB = os.environ.get("ORVANE_TEST_PG", "")
CONTROL = os.environ.get("ORVANE_TEST_PG_CONTROL", "")


def sql(query, *values):
    """One value (or rows, parted by newlines) from the database, the query's
    $n bound to `values` by psql."""
    setters = ["\\set v%d '%s'" % (i + 1, v.replace("\\", "\\\\").replace("'", "\\'"))
               for i, v in enumerate(values)]
    text = query
    for i in range(len(values)):
        text = text.replace("$%d" % (i + 1), ":'v%d'" % (i + 1))
    got = subprocess.run(["psql", DB, "-X", "-q", "-t", "-A", "-v", "ON_ERROR_STOP=1"],
                         input="\n".join(setters + [text + ";"]), capture_output=True,
                         text=True, timeout=60)
    return got.stdout.strip()


def control(action):
    subprocess.run(CONTROL + " " + action, shell=True, check=True, timeout=120,
                   stdout=subprocess.DEVNULL)


def flash_line(bin_dir, *args):
    return subprocess.run([os.path.join(bin_dir, "orvane-flash"), "line"] + list(args),
                          capture_output=True, text=True, timeout=60)


def add_station(bin_dir, name):
    """The new station's key."""
    got = flash_line(bin_dir, "add-station", name, "--db", DB)
    if got.returncode != 0:
        raise RuntimeError("add-station %r: %s" % (name, got.stderr))
    return got.stdout.strip().splitlines()[-1]


class LineServer:
    """orvane-flash line serve on a free loopback port; its page's token."""

    def __init__(self, bin_dir, extra=()):
        self.bin_dir = bin_dir
        self.extra = list(extra)
        self.port = None
        self.token = None
        self.child = None
        self.said = ""

    def start(self, listen="127.0.0.1:0"):
        self.child = subprocess.Popen(
            [os.path.join(self.bin_dir, "orvane-flash"), "line", "serve", "--db", DB,
             "--listen", listen, "--no-browser"] + self.extra,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.child.stderr], [], [], 1)
            if not ready:
                continue
            line = self.child.stderr.readline().decode(errors="replace")
            if not line:
                break
            self.said += line
            found = re.search(r"http://[^:]+:(\d+)/\?token=([0-9a-f]+)", line)
            if found:
                self.port, self.token = int(found.group(1)), found.group(2)
                threading.Thread(target=self._drain, args=(self.child,), daemon=True).start()
                return self
        raise RuntimeError("the line server did not start: %s" % self.said)

    def _drain(self, child):
        # What it says later (a sanitizer's report, say) is kept for the failure's story.
        for line in iter(child.stderr.readline, b""):
            self.said += line.decode(errors="replace")

    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def stop(self, sig=None):
        if self.child and self.child.poll() is None:
            if sig is None:
                self.child.terminate()
            else:
                self.child.send_signal(sig)
            try:
                self.child.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.child.kill()
                self.child.wait()
        return self.child.returncode if self.child else None


def request(port, method, path, body=b"", headers=None, timeout=30):
    """(status, headers, body) of one request."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        res = conn.getresponse()
        return res.status, dict(res.getheaders()), res.read()
    finally:
        conn.close()


def post_station(port, path, station, key, payload, raw=None):
    body = raw if raw is not None else json.dumps(dict(payload, station=station)).encode()
    return request(port, "POST", path, body,
                   {"Content-Type": "application/json", "Authorization": "Bearer " + key})


def make_record(station, seq, lot="L-1", result="passed", serial="", slot="A1", **fields):
    """A record as a station's report holds it."""
    outcome = {"passed": "success", "failed": "not-connected",
               "already_current": "nothing-error"}[result]
    record = {
        "record_id": str(uuid.uuid4()), "station": station, "seq": seq,
        "time": "2026-12-09T10:00:00Z", "started_at": "2026-12-09T10:59:00+01:00",
        "ended_at": "2026-12-09T11:00:00+01:00", "slot": slot, "port": "/dev/ttyUSB0",
        "device": "", "operator": "Ana", "lot": lot, "unit_serial": serial,
        "image": "app-2.1.bin", "size": 1024, "sha256": "ab" * 32, "access": "end-user",
        "outcome": outcome, "message": "upgrade success!!!" if result == "passed" else "x",
        "upgrade_outcome": outcome, "upgrade_message": "", "started": result == "passed",
        "hint": "check-cable" if result == "failed" else "", "exit": 0, "seconds": 12.5,
        "blocks_sent": 8, "blocks_resent": 0, "answer_delay_ms": -1,
    }
    if result == "already_current":
        record["scanner"] = {"customer": "c", "module": "m", "hardware": "h", "software": "2.1"}
    record.update(fields)
    return record


class Events:
    """The page's stream of states, read as a browser would."""

    def __init__(self, port, token):
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        self.conn.request("GET", "/events", headers={"Cookie": "orvane_line_%d=%s" % (port, token)})
        self.sock = self.conn.sock  # the response takes it from the connection
        self.res = self.conn.getresponse()
        if self.res.status != 200:
            raise RuntimeError("no stream of states: %d" % self.res.status)

    def next(self):
        data = None
        while True:
            line = self.res.fp.readline().decode()
            if not line:
                raise RuntimeError("the stream of states ended")
            if line.startswith("data: "):
                data = json.loads(line[6:])
            elif line == "\n" and data is not None:
                return data

    def until(self, condition, seconds):
        """The first state that meets condition, or None after `seconds`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                state = self.next()
            except (OSError, RuntimeError):
                return None
            if condition(state):
                return state
        return None

    def close(self):
        self.res.close()
        self.sock.close()
