#!/usr/bin/python3
"""A line with real parts: a PostgreSQL of the test's own, the line server,
two stations upgrading emulated scanners one after another, and the
supervisor's page in headless Chromium.

While the stations keep upgrading: the line server is stopped for a while
(LINE_DOWN_SECONDS, a minute unless ORVANE_LINE_DOWN_SECONDS says otherwise)
and a station is killed hard meanwhile, with records waiting, and started
again; PostgreSQL is stopped and started; the line server is killed hard.
The page shows both stations and their tiles, and a station killed hard as
OFFLINE within 10 s. At the end nothing is lost and nothing doubled: the
record ids in the database are those in the stations' spools, every report's
record is among them, and no record was set aside as a conflict.

    pg_cluster.py -- line_station_test.py BIN_DIR SOURCE_DIR
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from line_lib import LineServer, add_station, control, sql  # noqa: E402
from station_browser_test import browser_or_fail, open_browser  # noqa: E402
from station_lib import Emulator, Station, point_link, run_scenario, wait_for  # noqa: E402

LINE_DOWN_SECONDS = int(os.environ.get("ORVANE_LINE_DOWN_SECONDS", "60"))
STATIONS = ["bench-1", "bench-2"]
LABELS = ["A1", "A2"]
SOFTWARE = "3.00.00"

CARDS_JS = """
return Array.from(document.querySelectorAll('#stations .card')).map((c) => ({
  name: c.querySelector('.card-name').textContent,
  badge: c.querySelector('.badge').textContent,
  offline: c.classList.contains('offline') || c.dataset.online === 'false',
  tiles: Array.from(c.querySelectorAll('.tile')).map((t) => t.dataset.state)}));
"""


class Feeder(threading.Thread):
    """Hands at a slot: a scanner in, upgraded once, out, and the next."""

    def __init__(self, bench, station, label):
        super().__init__(daemon=True)
        self.bench, self.name = bench, "%s-%s" % (station, label)
        self.link = os.path.join(bench.work, "ports", self.name)
        self.stopping = threading.Event()
        self.count = 0

    def run(self):
        while not self.stopping.is_set():
            self.count += 1
            sim = Emulator(self.bench.bin, self.bench.work, "%s-%d" % (self.name, self.count),
                           "--key", "90", "--line-rate", "--once", "--expect", self.bench.image)
            point_link(self.link, sim.port)
            while sim.process.poll() is None and not self.stopping.wait(0.1):
                pass
            sim.stop()
            if os.path.lexists(self.link):
                os.unlink(self.link)
            self.stopping.wait(0.5)

    def stop(self):
        self.stopping.set()
        self.join(30)


class Line:
    def __init__(self, bin_dir, source, work, checks):
        self.bin, self.source, self.work, self.checks = bin_dir, source, work, checks
        self.image = os.path.join(work, "fw.bin")
        self.server = LineServer(bin_dir)
        self.stations, self.feeders, self.keys = {}, [], {}
        self.driver = None

    # ---- parts ----

    def start(self):
        os.mkdir(os.path.join(self.work, "ports"))
        subprocess.run([os.path.join(self.bin, "orvane-mkimage"), "--out", self.image, "--size",
                        "6000", "--key", "90", "--software", SOFTWARE], check=True,
                       stdout=subprocess.DEVNULL)
        for name in STATIONS:
            key = os.path.join(self.work, name + ".key")
            with open(key, "w") as f:
                f.write(add_station(self.bin, name) + "\n")
            os.chmod(key, 0o600)
            self.keys[name] = key
        self.server.start()
        self.port = self.server.port
        for name in STATIONS:
            self.start_station(name)
        for name in STATIONS:
            for label in LABELS:
                self.feeders.append(Feeder(self, name, label))
        for feeder in self.feeders:
            feeder.start()

    def start_station(self, name):
        slots = os.path.join(self.work, name + ".slots")
        with open(slots, "w") as f:
            f.writelines("%s %s\n" % (label, os.path.join(self.work, "ports", name + "-" + label))
                         for label in LABELS)
        self.stations[name] = Station(
            self.bin, self.work, name, self.image, "--slots", slots, "--report",
            self.path(name, ".jsonl"), "--lot", "L-" + name, "--line",
            "http://127.0.0.1:%d" % self.port, "--station", name, "--station-key",
            self.keys[name], "--spool", self.path(name, ".spool"))

    def path(self, name, ending):
        return os.path.join(self.work, name + ending)

    def close(self):
        for feeder in self.feeders:
            feeder.stopping.set()
        for station in self.stations.values():
            station.kill()
        if self.driver:
            self.driver.quit()
        self.server.stop()

    # ---- what each part holds ----

    def spooled(self, name, where=""):
        got = subprocess.run(["sqlite3", "-readonly", self.path(name, ".spool"),
                              "SELECT record_id FROM records " + where],
                             capture_output=True, text=True, timeout=30)
        return set(got.stdout.split())

    def waiting(self):
        return sum(len(self.spooled(n, "WHERE delivered_at IS NULL")) for n in STATIONS)

    def stored(self, station=None):
        if station:
            return set(sql("select record_id from upgrade_records where station = $1",
                           station).split())
        return set(sql("select record_id from upgrade_records").split())

    def reported(self, name):
        try:
            with open(self.path(name, ".jsonl")) as f:
                return {json.loads(line)["record_id"] for line in f if line.strip()}
        except FileNotFoundError:
            return set()

    def drained(self, seconds):
        return wait_for(lambda: self.waiting() == 0, seconds, step=0.5)

    # ---- the page ----

    def cards(self):
        return {c["name"]: c for c in self.driver.execute_script(CARDS_JS)}

    def open_page(self):
        if not self.driver:
            self.driver = open_browser(os.path.join(self.work, "profile"))
        self.driver.get("http://127.0.0.1:%d/?token=%s" % (self.port, self.server.token))


def both_stations_deliver(line):
    c = line.checks
    c.check(wait_for(lambda: all(line.stored(n) for n in STATIONS), 120, step=0.5),
            "both stations' records reach the database: %r" % [len(line.stored(n))
                                                               for n in STATIONS])
    line.open_page()

    def both_shown():
        cards = line.cards()
        return all(n in cards and not cards[n]["offline"] and len(cards[n]["tiles"]) == 2
                   for n in STATIONS)
    c.check(wait_for(both_shown, 30), "the page shows both stations ONLINE with their two "
                                      "tiles: %r" % line.cards())
    shot = os.path.join(line.work, "line.png")
    if os.environ.get("ORVANE_UPDATE_DOCS") == "1":
        shot = os.path.join(line.source, "docs", "line.png")
    line.driver.save_screenshot(shot)


def line_server_away(line):
    """Stopped for LINE_DOWN_SECONDS; a station killed hard meanwhile, records waiting."""
    c = line.checks
    line.server.stop()
    down = time.monotonic()
    c.check(wait_for(lambda: "unreachable" in line.stations["bench-1"].text(), 20),
            "the station says the line is unreachable")
    c.check(wait_for(lambda: line.spooled("bench-2", "WHERE delivered_at IS NULL"), 60, 0.5),
            "records wait in bench-2's spool while the line is away")
    line.stations["bench-2"].kill_outright()
    line.start_station("bench-2")
    time.sleep(max(0, LINE_DOWN_SECONDS - (time.monotonic() - down)))
    line.server.start("127.0.0.1:%d" % line.port)
    c.check(line.drained(60), "every waiting record delivered after the line's return: %d "
                              "left" % line.waiting())


def database_away(line):
    c = line.checks
    control("stop")
    time.sleep(10)
    control("start")
    c.check(line.drained(60), "delivered after the database's return: %d left" % line.waiting())


def line_server_killed(line):
    c = line.checks
    wait_for(lambda: line.waiting() > 0, 20, step=0.1)  # a batch may be on its way
    line.server.stop(signal.SIGKILL)
    line.server.start("127.0.0.1:%d" % line.port)
    c.check(line.drained(60), "delivered after the server was killed: %d left" % line.waiting())


def offline_when_killed(line):
    c = line.checks
    line.open_page()
    c.check(wait_for(lambda: not line.cards().get("bench-2", {"offline": True})["offline"], 30),
            "bench-2 ONLINE on the new server's page: %r" % line.cards())
    line.stations["bench-2"].kill_outright()
    killed = time.monotonic()
    seen = wait_for(lambda: line.cards()["bench-2"]["offline"], 20, step=0.2)
    took = time.monotonic() - killed
    c.check(seen and took <= 10, "OFFLINE within 10 s of a station killed hard: %.1f s" % took)
    c.check(not line.cards()["bench-1"]["offline"], "the other station stays ONLINE")
    line.start_station("bench-2")  # its waiting records go out


def nothing_lost_nothing_doubled(line):
    c = line.checks
    for feeder in line.feeders:
        feeder.stop()
    for name in STATIONS:
        station = line.stations[name]
        station.process.send_signal(signal.SIGINT)  # Finish: nothing is under way now
        try:
            station.process.wait(60)
        except subprocess.TimeoutExpired:
            station.kill()
    c.check(line.drained(10), "no record waits in a spool at the end: %d" % line.waiting())
    spooled = set().union(*(line.spooled(n) for n in STATIONS))
    stored = line.stored()
    c.check(stored == spooled, "the database holds exactly the spools' records: %d stored, %d "
                               "spooled, %d missing, %d extra" %
            (len(stored), len(spooled), len(spooled - stored), len(stored - spooled)))
    for name in STATIONS:
        missing = line.reported(name) - line.stored(name)
        c.check(line.reported(name) and not missing,
                "%s's report (%d records) is all in the database under its name: %d missing" %
                (name, len(line.reported(name)), len(missing)))
    c.check(sql("select count(*) from record_conflicts") == "0", "no record set aside")
    passed = sql("select count(*) from upgrade_records where result = 'passed'")
    c.check(int(passed or 0) > 0, "scanners passed: %s of %d" % (passed, len(stored)))
    print("%d records, %d passed, over %s emulated scanners" %
          (len(stored), int(passed or 0), sum(f.count for f in line.feeders)))


def scenario(line):
    line.start()
    both_stations_deliver(line)
    line_server_away(line)
    database_away(line)
    line_server_killed(line)
    offline_when_killed(line)
    nothing_lost_nothing_doubled(line)


def main():
    browser_or_fail()
    if not shutil.which("sqlite3"):
        print("FAIL: the test reads spools with sqlite3 (bash scripts/install-deps.sh)")
        sys.exit(1)
    bin_dir, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    run_scenario("line with stations", "orvane-line-",
                 lambda work, checks: Line(bin_dir, source, work, checks), scenario)


if __name__ == "__main__":
    main()
