#!/usr/bin/python3
"""The station's cost to the upgrades and to the machine.

One port through the station, then PORTS ports at once with the page open in
a headless browser: each port's upgrade time (from its --report record)
against the single port's, and the station's own CPU (the parent process
only, the one that serves the page) per port while the upgrades ran.

    /usr/bin/python3 bench/station_bench.py BIN-FOLDER [--ports 16] [--runs 3] [--line]

Goals: the slowest of the PORTS upgrades takes at most 1.05 x one port's time,
and the station's CPU stays under 2 % of a core per port.

--line: the station is on a line in every run (one and many ports): a
PostgreSQL of the benchmark's own (tests/pg_cluster.py), a line server, and
the station added to it with a spool kept across the runs; each run must end
with every record delivered, and the database must hold them all.
"""
import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def wait_for(what, limit):
    end = time.time() + limit
    while time.time() < end:
        got = what()
        if got:
            return got
        time.sleep(0.05)
    raise SystemExit("station_bench: gave up waiting (%d s)" % limit)


def start_sims(bin_dir, work, count, image):
    sims, links = [], []
    for i in range(count):
        path_file = os.path.join(work, "sim%d.port" % i)
        sims.append(subprocess.Popen(
            [os.path.join(bin_dir, "orvane-bootsim"), "--key", "90", "--line-rate",
             "--expect", image, "--path-file", path_file],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        device = wait_for(lambda: os.path.exists(path_file) and open(path_file).read().strip(), 20)
        link = os.path.join(work, "slot%d" % i)
        os.symlink(device, link)
        links.append(link)
    return sims, links


def open_page(url):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="station-bench-profile-")
    for a in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
              "--no-first-run", "--disable-background-networking",
              "--disable-component-update", "--disable-sync",
              "--user-data-dir=" + profile, "--window-size=1366,768"]:
        options.add_argument(a)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.get(url)
    driver.profile = profile  # removed after quit
    return driver


class Line:
    """A cluster, a line server and one station on it, for every run."""

    def __init__(self, bin_dir):
        import line_lib
        import pg_cluster
        self.lib = line_lib
        self.folder = tempfile.mkdtemp(prefix="station-bench-line-")
        self.cluster = pg_cluster.Cluster()
        self.server = None
        self.records = 0  # reported by the station, all runs
        self.bin_dir = bin_dir

    def start(self):
        line_lib = self.lib
        self.cluster.create()
        line_lib.DB = self.cluster.conninfo
        self.key = os.path.join(self.folder, "bench-1.key")
        with open(self.key, "w") as f:
            f.write(line_lib.add_station(self.bin_dir, "bench-1") + "\n")
        self.server = line_lib.LineServer(self.bin_dir)  # stopped by close(), started or not
        self.server.start()

    def station_args(self):
        return ["--line", self.server.url(), "--station", "bench-1", "--station-key", self.key,
                "--spool", os.path.join(self.folder, "bench-1.spool")]

    def stored(self):
        return int(self.lib.sql("SELECT count(*) FROM upgrade_records"))

    def close(self):
        if self.server:
            self.server.stop()
        self.cluster.remove()
        shutil.rmtree(self.folder, ignore_errors=True)


def one_run(bin_dir, ports, with_page, line=None):
    work = tempfile.mkdtemp(prefix="station-bench-")
    image = os.path.join(work, "fw.bin")
    subprocess.run([os.path.join(bin_dir, "orvane-mkimage"), "--out", image, "--size", "45000",
                    "--key", "90", "--software", "1.00.01"], check=True, stdout=subprocess.DEVNULL)
    sims, links = start_sims(bin_dir, work, ports, image)
    report = os.path.join(work, "report.jsonl")
    err = open(os.path.join(work, "station.err"), "w+")
    args = [os.path.join(bin_dir, "orvane-flash"), "station", image, "--no-browser",
            "--report", report]
    for link in links:
        args += ["-p", link]
    if line:
        args += line.station_args()
    station = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=err)
    url = wait_for(lambda: re.search(r"http://\S+", open(err.name).read()), 20).group(0)
    driver = open_page(url) if with_page else None
    cpu0, t0 = cpu_seconds(station.pid), time.time()
    done = lambda: os.path.exists(report) and len(open(report).readlines()) >= ports
    wait_for(done, 300)
    cpu, wall = cpu_seconds(station.pid) - cpu0, time.time() - t0
    records = [json.loads(text) for text in open(report)]
    if driver:
        driver.quit()
        shutil.rmtree(driver.profile, ignore_errors=True)
    station.send_signal(signal.SIGINT)
    time.sleep(0.2)
    station.send_signal(signal.SIGINT)
    station.wait(30)
    if line:
        line.records += len(open(report).readlines())
    err.seek(0)
    said = err.read()
    for sim in sims:
        sim.terminate()
        sim.wait()
    shutil.rmtree(work)
    bad = [r for r in records if r["outcome"] != "success"]
    if bad:
        raise SystemExit("station_bench: an upgrade failed: %s" % bad[0]["message"])
    if line and "line: every record delivered" not in said:
        raise SystemExit("station_bench: the station did not deliver every record:\n" + said)
    return max(r["seconds"] for r in records), cpu, wall


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("--ports", type=int, default=16)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--line", action="store_true", help="the station on a line")
    a = parser.parse_args()
    line = Line(a.bin) if a.line else None
    try:
        if line:
            line.start()
        single = [one_run(a.bin, 1, False, line)[0] for _ in range(a.runs)]
        many = [one_run(a.bin, a.ports, True, line) for _ in range(a.runs)]
        stored = line.stored() if line else 0
    finally:
        if line:
            line.close()
    one = statistics.median(single)
    slowest = statistics.median(m[0] for m in many)
    cpu_share = statistics.median(m[1] / m[2] / a.ports * 100 for m in many)
    print("one port:            %.2f s (median of %d: %s)" %
          (one, a.runs, ", ".join("%.2f" % s for s in single)))
    print("%d ports, page open: slowest %.2f s (median of %d: %s)" %
          (a.ports, slowest, a.runs, ", ".join("%.2f" % m[0] for m in many)))
    print("ratio:               %.3f (goal at most 1.05)" % (slowest / one))
    print("station CPU:         %.2f %% of a core per port (goal under 2 %%)" % cpu_share)
    delivered = True
    if line:
        expected = line.records
        delivered = stored == expected
        print("on a line:           %d of %d records in the line's database "
              "(fsync, synchronous_commit on)" % (stored, expected))
    sys.exit(0 if slowest / one <= 1.05 and cpu_share < 2 and delivered else 1)


if __name__ == "__main__":
    main()
