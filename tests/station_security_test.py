#!/usr/bin/python3
"""Nobody but the page the station opened drives it.

Two emulated scanners take a large image at the line's own rate while
requests without the token, with a wrong one, through a foreign name, from
another origin or from a read-only view are refused and change nothing; the
station listens on loopback only unless told otherwise; a client that never
reads and a thousand bad requests hold nothing up: both upgrades end with
"upgrade success!!!", the flash verified, and the report holds exactly their
two records. Then the page's own Stop ends the station.

    station_security_test.py BIN_DIR
"""
import hashlib
import json
import os
import random
import re
import socket
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from station_lib import (Emulator, Station,  # noqa: E402
                         first_event, listening_addresses, open_events, raw_exchange,
                         request, request_bytes, run_scenario, wait_for)

IMAGE_SIZE = 300000  # about a minute at 57600 baud: every attack falls within the uploads
FLOOD = 1000
HELD_OPEN = 30  # half-open connections held at once, well within the server's 64
FIRST = {"operator": "Ines Park", "lot": "LOT-0412"}
LATER = {"operator": "Dana Reyes", "lot": "LOT-0413"}
EVIL = {"operator": "Mallory", "lot": "EVIL-1"}
JSON_TYPE = ("Content-Type", "application/json")
SAME_ORIGIN = ("Sec-Fetch-Site", "same-origin")


class Attack:
    def __init__(self, bin_dir, work, checks):
        self.bin, self.work, self.c = bin_dir, work, checks
        self.image = os.path.join(work, "big.bin")
        self.report = os.path.join(work, "report.jsonl")
        subprocess.run([os.path.join(bin_dir, "orvane-mkimage"), "--out", self.image,
                        "--size", str(IMAGE_SIZE), "--key", "90", "--software", "2.00.00"],
                       check=True, stdout=subprocess.DEVNULL)
        self.sims = [Emulator(bin_dir, work, "s%d" % n, "--key", "90", "--line-rate",
                              "--expect", self.image) for n in (1, 2)]
        self.station = Station(bin_dir, work, "station", self.image,
                               "-p", self.sims[0].port, "-p", self.sims[1].port,
                               "--report", self.report,
                               "--operator", FIRST["operator"], "--lot", FIRST["lot"])
        st = self.station
        self.good = [("Host", st.host), ("Cookie", st.cookie)]
        self.origin = ("Origin", "http://" + st.host)
        self.others = []
        self.stalled = None

    def state(self):
        got = request(self.station.port, "GET", "/api/state", self.good)
        return json.loads(got.body) if got and got.status == 200 else None

    def slot_states(self):
        state = self.state()
        return [s["state"] for s in state["slots"]] if state else []

    def finished(self):
        return any(sim.has("upload done") for sim in self.sims)

    def check_cookie(self):
        st = self.station
        got = request(st.port, "GET", "/?token=" + st.token, [("Host", st.host)])
        self.c.check(got and got.status == 303 and got.header("location") == "/" and
                     got.header("set-cookie") ==
                     st.cookie + "; Path=/; HttpOnly; SameSite=Strict",
                     "the token is swapped for a strict HTTP-only cookie: %s" %
                     (got and got.headers))
        self.c.check(self.state() is not None, "the cookie opens the state")
        # A language asked for in the address survives the swap; anything else does not.
        for query, home in (("?lang=de&token=" + st.token, "/?lang=de"),
                            ("?token=" + st.token + "&lang=zh-CN", "/?lang=zh-CN"),
                            ("?token=" + st.token + "&lang=%0d%0aX:1", "/")):
            got = request(st.port, "GET", "/" + query, [("Host", st.host)])
            self.c.check(got and got.status == 303 and got.header("location") == home,
                         "%s goes to %s: %s" % (query, home, got and got.headers))

    def check_settings_work(self):
        got = request(self.station.port, "POST", "/api/settings",
                      self.good + [self.origin, SAME_ORIGIN, JSON_TYPE],
                      json.dumps(LATER).encode())
        self.c.check(got and got.status == 204, "the page's own settings: %s" %
                     (got and got.status))
        run = self.state()["run"]
        self.c.check({k: run[k] for k in LATER} == LATER, "settings taken: %s" % run)

    def refusals(self):
        st = self.station
        host, cookie = ("Host", st.host), ("Cookie", st.cookie)
        wrong = "%032x" % (int(st.token, 16) ^ 1)
        evil = ("Origin", "http://evil.example")
        foreign = ("Host", "evil.example:%d" % st.port)
        evil_settings = json.dumps(EVIL).encode()

        def cookie_of(port, token):
            return ("Cookie", "orvane_station_%d=%s" % (port, token))
        gets = [
            ("no token", "/api/state", [host]),
            ("no token: events", "/events", [host]),
            ("no token: export", "/api/export.csv", [host]),
            ("no token: page", "/", [host]),
            ("a wrong token in the address", "/?token=" + wrong, [host]),
            ("an empty token", "/?token=", [host]),
            ("a wrong token in the cookie", "/api/state", [host, cookie_of(st.port, wrong)]),
            ("another station's cookie", "/api/state", [host, cookie_of(st.port + 1, st.token)]),
            ("a foreign host", "/api/state", [foreign, cookie]),
            ("a rebound name", "/api/state", [("Host", "127.0.0.1.nip.io:%d" % st.port), cookie]),
            ("a rebound name taking the cookie", "/?token=" + st.token, [foreign]),
            ("another port", "/api/state", [("Host", "127.0.0.1:%d" % (st.port + 1)), cookie]),
            ("no host", "/api/state", [cookie]),
        ]
        posts = [
            ("stop from another origin", "/api/stop", [host, cookie, evil], b""),
            ("finish from another origin", "/api/finish", [host, cookie, evil], b""),
            ("retry-failed from another origin", "/api/retry-failed", [host, cookie, evil], b""),
            ("settings from another origin", "/api/settings", [host, cookie, evil, JSON_TYPE],
             evil_settings),
            ("settings without an origin", "/api/settings", [host, cookie, JSON_TYPE],
             evil_settings),
            ("stop without an origin", "/api/stop", [host, cookie], b""),
            ("stop from origin null", "/api/stop", [host, cookie, ("Origin", "null")], b""),
            ("stop from a look-alike origin", "/api/stop",
             [host, cookie, ("Origin", "http://%s.evil.example" % st.host)], b""),
            ("settings, cross-site", "/api/settings",
             [host, cookie, self.origin, ("Sec-Fetch-Site", "cross-site"), JSON_TYPE],
             evil_settings),
            ("stop, same-site", "/api/stop",
             [host, cookie, self.origin, ("Sec-Fetch-Site", "same-site")], b""),
            ("stop without a token", "/api/stop", [host, self.origin], b""),
            ("stop through a foreign host", "/api/stop",
             [foreign, cookie, ("Origin", "http://evil.example:%d" % st.port)], b""),
        ]
        for name, path, headers in gets:
            self.expect_refused(name, request(st.port, "GET", path, headers))
        for name, path, headers, body in posts:
            self.expect_refused(name, request(st.port, "POST", path, headers, body))
        state = self.state()
        run = state["run"]
        self.c.check({k: run[k] for k in LATER} == LATER and not run["stopping"],
                     "refused requests changed nothing: %s" % run)
        states = [s["state"] for s in state["slots"]]
        self.c.check(states == ["upload", "upload"], "both still uploading: %s" % states)

    def expect_refused(self, name, got):
        self.c.check(got is not None and got.status == 403 and not got.header("set-cookie") and
                     self.station.token.encode() not in got.body,
                     "%s: %s" % (name, got and (got.status, got.headers, got.body[:200])))

    def check_loopback(self):
        found = listening_addresses(self.station.port)
        self.c.check(found == ["127.0.0.1"], "listening on %s" % found)

    def check_read_only_view(self):
        """A second station listening everywhere: its read-only token only looks."""
        c = self.c
        st = Station(self.bin, self.work, "wide", self.image,
                     "-p", os.path.join(self.work, "no-scanner"), "--listen", "0.0.0.0:0")
        self.others.append(st)
        c.check(listening_addresses(st.port) == ["0.0.0.0"],
                "--listen 0.0.0.0:0 listens on %s" % listening_addresses(st.port))
        if not c.check(st.read_only_token and st.read_only_token != st.token,
                       "a read-only token is printed: %s" % st.text()):
            return
        host = ("Host", st.host)
        cookie = ("Cookie", "orvane_station_%d=%s" % (st.port, st.read_only_token))
        got = request(st.port, "GET", "/?token=" + st.read_only_token, [host])
        c.check(got and got.status == 303 and got.header("set-cookie").startswith(cookie[1] + ";"),
                "the read-only token's cookie: %s" % (got and got.headers))
        looking = [host, cookie]
        got = request(st.port, "GET", "/api/state", looking)
        c.check(got and got.status == 200 and json.loads(got.body)["run"]["readOnly"] is True,
                "the read-only view gets its state: %s" % (got and got.status))
        got = request(st.port, "GET", "/api/export.csv", looking)
        c.check(got and got.status == 200 and got.body.startswith(b"time,slot,"),
                "the read-only view exports")
        c.check(first_event(st.port, looking).count('"readOnly":true') == 1,
                "the read-only view's events")
        page = [("Origin", "http://" + st.host), SAME_ORIGIN, JSON_TYPE]
        for path, body in (("/api/retry", b'{"slot":0}'), ("/api/retry-failed", b""),
                           ("/api/finish", b""), ("/api/stop", b""),
                           ("/api/settings", json.dumps(EVIL).encode())):
            self.expect_refused("read-only " + path,
                                request(st.port, "POST", path, looking + page, body))
        full = [host, ("Cookie", "orvane_station_%d=%s" % (st.port, st.token))]
        run = json.loads(request(st.port, "GET", "/api/state", full).body)["run"]
        c.check(not run["stopping"] and run["operator"] == "",
                "the read-only view changed nothing: %s" % run)
        # The same request with the full token does what the read-only one could not.
        got = request(st.port, "POST", "/api/finish", full + page)
        c.check(got and got.status == 202, "the full token finishes: %s" % (got and got.status))
        try:
            st.process.wait(30)
        except subprocess.TimeoutExpired:
            c.fail("the wide station did not finish")

    def flood(self):
        """A thousand bad requests from four clients, half-open ones held meanwhile."""
        st = self.station
        oversized = request_bytes("GET", "/api/state", self.good + [("X-Pad", "a" * 9000)])
        too_long = request_bytes("POST", "/api/settings", self.good + [self.origin, JSON_TYPE],
                                 json.dumps(dict(EVIL, pad="b" * 5000)).encode())
        methods = ["PUT", "DELETE", "PATCH", "OPTIONS", "TRACE", "HEAD", "CONNECT"]
        answers, held, lock = {}, [], threading.Lock()

        def half_open(n):
            s = socket.create_connection(("127.0.0.1", st.port), timeout=5)
            if n % 2:
                s.sendall(b"GET /api/state HTTP/1.1\r\nHost: " + st.host.encode())
            with lock:
                held.append(s)
                while len(held) > HELD_OPEN:
                    held.pop(0).close()
            return "held"

        def one(n, rng):
            kind = ("garbage", "oversized", "too-long", "method", "half-open")[n % 5]
            if kind == "garbage":
                data = bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 3000)))
                got = raw_exchange(st.port, data, 5, half_close=True)
            elif kind == "oversized":
                got = raw_exchange(st.port, oversized, 5)
            elif kind == "too-long":
                got = raw_exchange(st.port, too_long, 5)
            elif kind == "method":
                method = methods[n // 5 % len(methods)]
                got = request(st.port, method, "/api/state", self.good, timeout=5)
            else:
                return kind, half_open(n)
            return kind, got.status if got else "closed"

        def client(first):
            rng = random.Random(first)
            for n in range(first, FLOOD, 4):
                try:
                    kind, answer = one(n, rng)
                except OSError as e:
                    kind, answer = "error", type(e).__name__
                with lock:
                    answers.setdefault(kind, {}).setdefault(answer, 0)
                    answers[kind][answer] += 1

        started = time.monotonic()
        clients = [threading.Thread(target=client, args=(i,)) for i in range(4)]
        for t in clients:
            t.start()
        for t in clients:
            t.join(120)
        print("flood: %d requests in %.1f s: %s" % (FLOOD, time.monotonic() - started, answers))
        for s in held:
            s.close()
        c = self.c
        c.check(sum(sum(a.values()) for a in answers.values()) == FLOOD and "error" not in answers,
                "every bad request was sent: %s" % answers)
        for kind, tally in answers.items():
            c.check(not any(isinstance(a, int) and a < 400 for a in tally),
                    "%s answered %s" % (kind, tally))
        c.check(set(answers.get("method", {})) == {405},
                "wrong methods: %s" % answers.get("method"))
        c.check(set(answers.get("too-long", {})) <= {400, 413, "closed"},
                "a body over 4 KB: %s" % answers.get("too-long"))

    def check_run_ended_well(self):
        c = self.c

        def verified():
            return self.slot_states() and all(sim.has("image verified") for sim in self.sims)
        c.check(wait_for(verified, 240, 0.2), "both flashes hold the image: %s" %
                self.slot_states())
        # Each port's line, however the station names its slot.
        success = re.compile(r"^(\S+): upgrade success!!!$", re.M)
        c.check(wait_for(lambda: len(set(success.findall(self.station.text()))) == 2, 30),
                "the station says upgrade success!!! for both: " + self.station.text())
        lines = open(self.report).read().splitlines()
        records = [json.loads(line) for line in lines]
        digest = hashlib.sha256(open(self.image, "rb").read()).hexdigest()
        c.check(len(records) == 2 and
                sorted(r["port"] for r in records) == sorted(s.port for s in self.sims) and
                all(r["outcome"] == "success" and r["message"] == "upgrade success!!!" and
                    r["sha256"] == digest and {k: r[k] for k in LATER} == LATER
                    for r in records),
                "the report holds exactly the two upgrades: %s" % lines)
        state = self.state()
        c.check(state and state["counts"]["passed"] == 2 and state["counts"]["failed"] == 0,
                "the station still answers, with both passed: %s" % (state and state["counts"]))

    def stop(self):
        st = self.station
        got = request(st.port, "POST", "/api/stop", self.good + [self.origin, SAME_ORIGIN])
        self.c.check(got and got.status == 202, "the page's own Stop: %s" % (got and got.status))
        try:
            status = st.process.wait(30)
            self.c.check(status >= 0, "the station ended by itself: %s" % status)
            print("stopped, exit %d" % status)
        except subprocess.TimeoutExpired:
            self.c.fail("the station did not stop within 30 s of Stop")
        for station in [st] + self.others:
            self.c.check(not station.sanitizer_report(), "a station: " + station.sanitizer_report())

    def close(self):
        if self.stalled:
            self.stalled.close()
        for st in [self.station] + self.others:
            st.kill()
        for sim in self.sims:
            sim.stop()


def scenario(attack):
    checks = attack.c
    attack.check_cookie()
    uploading = lambda: attack.slot_states() == ["upload", "upload"]  # noqa: E731
    if not checks.check(wait_for(uploading, 60, 0.2),
                        "the uploads began: %s" % attack.slot_states()):
        return
    # Reads nothing, with a small window: the server's writes to it stall.
    attack.stalled = open_events(attack.station.port, attack.good, receive_buffer=1024)
    attack.check_settings_work()
    attack.refusals()
    attack.check_loopback()
    attack.check_read_only_view()
    attack.flood()
    checks.check(not attack.finished(), "the attacks ended before the uploads did")
    attack.check_run_ended_well()
    attack.stop()


def main():
    bin_dir = os.path.abspath(sys.argv[1])

    run_scenario("station security", "station-security-",
                 lambda work, checks: Attack(bin_dir, work, checks), scenario)


if __name__ == "__main__":
    main()
