#!/usr/bin/python3
"""A station on a line, against a line server played here.

First the line is away: the upgrade's record goes into the spool and the
report with the spool's number, the page and the terminal say the line is
unreachable, and at the end the station says the record waits in the spool.
A station of another name is then refused that spool. With the line back,
the station started again delivers the kept record and the next one, in
order, numbered as the spool numbered them, under its name and key, and
beats with its slots. Last, a line that refuses the key: the page and the
terminal give the line's reason, and the record stays. Options the station
refuses come first.

    station_line_test.py BIN_DIR
"""
import http.server
import json
import os
import signal
import socket
import subprocess
import sys
import threading

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from station_lib import Emulator, Station, request, run_scenario, wait_for  # noqa: E402

NAME = "Bench 1"
KEY = "0123456789abcdef" * 4


class FakeLine:
    """A line server on `port` under /line: it keeps what it is sent and
    answers as `refusal` says ((status, text)), or takes everything."""

    def __init__(self, port, refusal=None):
        self.records, self.beats, self.keys = [], [], set()
        self.lock = threading.Lock()
        line = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                status, text = refusal or line.take(self.path, body)
                with line.lock:
                    line.keys.add(self.headers["Authorization"])
                data = text.encode()
                self.send_response(status)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def take(self, path, body):
        with self.lock:
            if path == "/line/api/station/beat":
                self.beats.append(body)
                return 200, '{"ok": true}'
            self.records += body["records"]
            return 200, json.dumps({"inserted": len(body["records"]), "already": 0,
                                    "conflicting": 0})

    def got(self):
        with self.lock:
            return list(self.records), list(self.beats), set(self.keys)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Bench:
    def __init__(self, bin_dir, work, checks):
        self.bin, self.work, self.c = bin_dir, work, checks
        self.image = os.path.join(work, "fw.bin")
        subprocess.run([os.path.join(bin_dir, "orvane-mkimage"), "--out", self.image,
                        "--size", "3000", "--key", "90", "--software", "2.00.00"], check=True, stdout=subprocess.DEVNULL)
        self.key = self.write("bench.key", KEY + "\n")
        self.spool = os.path.join(work, "spool.sqlite")
        self.report = os.path.join(work, "report.jsonl")
        self.port = free_port()
        self.url = "http://127.0.0.1:%d/line" % self.port
        self.sims, self.stations, self.line = [], [], None

    def write(self, name, text):
        path = os.path.join(self.work, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def line_args(self, name=NAME):
        return ["--line", self.url, "--station", name, "--station-key", self.key,
                "--spool", self.spool]

    def refused(self, args, wanted):
        run = subprocess.run([os.path.join(self.bin, "orvane-flash"), "station", "--no-browser",
                              self.image, "-p", os.path.join(self.work, "no-port"), *args],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        self.c.check(run.returncode == 2 and wanted in run.stderr,
                     "refused with '%s': %d %s" % (wanted, run.returncode, run.stderr))

    def check_refusals(self):
        self.refused(["--line", self.url], "--station")
        self.refused(["--station", NAME], "--line")
        https = self.line_args()
        https[1] = "https://127.0.0.1:%d" % self.port
        self.refused(https, "plain http")
        for name, text in (("short.key", KEY[:63] + "\n"), ("spaced.key", "key: " + KEY + "\n")):
            bad = self.line_args()
            bad[5] = self.write(name, text)
            self.refused(bad, "not a station's key")
        folder = self.line_args()
        folder[5] = self.work
        self.refused(folder, "not a regular file")
        self.refused(self.line_args("bench\n2"), "a station's name")
        self.c.check(not os.path.exists(self.spool), "no spool made by a refused station")

    def station(self, label, *args):
        sim = Emulator(self.bin, self.work, label, "--key", "90", "--expect", self.image, "--once")
        self.sims.append(sim)
        st = Station(self.bin, self.work, label + "-station", self.image, "-p", sim.port,
                     "--report", self.report, *args)
        self.stations.append(st)
        return st

    def state(self, st):
        got = request(st.port, "GET", "/api/state", [("Host", st.host), ("Cookie", st.cookie)])
        return json.loads(got.body) if got and got.status == 200 else {}

    def line_state(self, st):
        return self.state(st).get("line") or {}

    def passed(self, st):
        slots = self.state(st).get("slots") or [{}]
        return slots[0].get("state") == "passed"

    def finish(self, st, wanted):
        st.process.send_signal(signal.SIGINT)
        try:
            st.process.wait(30)
        except subprocess.TimeoutExpired:
            st.kill_outright()
        self.c.check(wanted in st.text(), "at the end, '%s': %s" % (wanted, st.text()))

    def report_lines(self):
        with open(self.report) as f:
            return [json.loads(line) for line in f]

    def line_away(self):
        c = self.c
        st = self.station("away", *self.line_args())
        c.check(wait_for(lambda: self.passed(st), 60), "the first upgrade passed")
        report = self.report_lines()
        c.check(len(report) == 1 and report[0]["station"] == NAME and report[0]["seq"] == 1,
                "the report's record has the station and the spool's number: %s" % report)
        line = lambda: self.line_state(st)  # noqa: E731
        c.check(wait_for(lambda: line().get("downSince") and line().get("waiting") == 1, 20),
                "the page says the line is down, one record kept: %s" % line())
        c.check(not line().get("connected") and not line().get("refused"),
                "neither connected nor refused: %s" % line())
        c.check(wait_for(lambda: "line: unreachable since" in st.text(), 10),
                "the terminal says the line is unreachable: " + st.text())
        self.finish(st, "line: 1 record kept in the spool " + self.spool)
        self.refused(self.line_args("Bench 2"), "holds records of the station 'Bench 1'")

    def line_back(self):
        c = self.c
        self.line = FakeLine(self.port)
        st = self.station("back", *self.line_args())
        c.check(wait_for(lambda: len(self.line.got()[0]) == 2, 60),
                "both records delivered: %s" % (self.line.got()[0],))
        records, beats, keys = self.line.got()
        report = self.report_lines()
        c.check([r["seq"] for r in records] == [1, 2] and
                [r["record_id"] for r in records] == [r["record_id"] for r in report] and
                all(r["station"] == NAME for r in records),
                "the spool's records in order, numbered: %s" % records)
        c.check(len(report) == 2 and report[1]["seq"] == 2, "the report: %s" % report)
        c.check(keys == {"Bearer " + KEY}, "the station's key, every time: %s" % keys)
        beat = beats[-1] if beats else {}
        c.check(beat.get("station") == NAME and beat["beat"]["version"] == 1 and
                beat["beat"]["image"]["name"] == "fw.bin" and
                [s["label"] for s in beat["beat"]["slots"]] == ["1"],
                "a beat names the station and its slots: %s" % beat)
        line = lambda: self.line_state(st)  # noqa: E731
        c.check(wait_for(lambda: line().get("connected") and line().get("waiting") == 0, 20),
                "the page says the line is connected: %s" % line())
        c.check("line: connected to " + self.url in st.text(), "the terminal: " + st.text())
        self.finish(st, "line: every record delivered")
        self.line.close()
        self.line = None

    def line_refuses(self):
        c = self.c
        self.line = FakeLine(self.port, (401, "unknown station or key"))
        st = self.station("refused", *self.line_args())
        c.check(wait_for(lambda: self.passed(st), 60), "the last upgrade passed")
        line = lambda: self.line_state(st)  # noqa: E731
        c.check(wait_for(lambda: line().get("refused") and line().get("waiting") == 1, 20),
                "the page says the line refused the station: %s" % line())
        c.check(line().get("reason") == "unknown station or key", "its reason: %s" % line())
        c.check("line: refused this station: unknown station or key" in st.text(),
                "the terminal: " + st.text())
        self.finish(st, "line: 1 record kept in the spool")
        self.line.close()

    def close(self):
        for st in self.stations:
            st.kill()
        for sim in self.sims:
            sim.stop()
        if self.line:
            self.line.close()


def scenario(bench):
    bench.check_refusals()
    bench.line_away()
    bench.line_back()
    bench.line_refuses()


def main():
    if len(sys.argv) != 2:
        print("usage: station_line_test.py BIN_DIR")
        return 2
    run_scenario("station line", "orvane-station-line-",
                 lambda work, checks: Bench(sys.argv[1], work, checks), scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
