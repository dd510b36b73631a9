#!/usr/bin/python3
"""The station of orvane-flash.exe under Wine on a line: it delivers its
records to the Linux line server, which writes a PostgreSQL of the test's own.

scripts/test-windows.sh puts two emulated scanners behind COM5 and COM7;
this adds the station, starts the line server and the station (its key and
spool in the Wine prefix), waits for both slots' records in the report,
stops the station as the page's Stop now does, and checks that the
database holds the report's records under the station's name, and that
nothing waits in the spool.

    pg_cluster.py -- line_check.py LINUX-BIN FLASH-EXE SHIM IMAGE LOGS
"""
import json
import os
import shutil
import subprocess
import sys
from urllib.parse import urlparse, parse_qs

sys.dont_write_bytecode = True
here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [here, os.path.join(here, "..")]
from line_lib import LineServer, add_station, sql  # noqa: E402
from station_check import SETTLE_S, address  # noqa: E402
from station_lib import Checks, request, wait_for  # noqa: E402

NAME = "wine-bench"


def winpath(path):
    return subprocess.run(["winepath", "-w", path], capture_output=True, text=True,
                          check=True).stdout.strip()


def reported(report):
    """The report's whole lines, as records."""
    try:
        text = open(report).read()
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in text.splitlines(keepends=True) if line.endswith("\n")]


def spool_count(spool, where=""):
    got = subprocess.run(["sqlite3", "-readonly", spool, "SELECT count(*) FROM records " + where],
                         capture_output=True, text=True, timeout=30)
    return got.stdout.strip() if got.returncode == 0 else "sqlite3: " + got.stderr.strip()


def stop_now(url):
    """The page's Stop now, with the page's own headers."""
    parts = urlparse(url)
    host, token = parts.netloc, parse_qs(parts.query)["token"][0]
    got = request(parts.port, "POST", "/api/stop",
                  [("Host", host), ("Cookie", "orvane_station_%d=%s" % (parts.port, token)),
                   ("Origin", "http://" + host), ("Sec-Fetch-Site", "same-origin")])
    return got and got.status


def main():
    linux_bin, exe, shim, image, logs = sys.argv[1:6]
    if not shutil.which("sqlite3"):
        print("FAIL: the check reads the spool with sqlite3 (bash scripts/install-deps.sh)")
        sys.exit(1)
    checks = Checks("station under Wine on a line")
    # The station's own files in the prefix, as a Windows user keeps them; a fresh spool.
    folder = os.path.join(os.environ["WINEPREFIX"], "drive_c", "orvane-line")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    key, spool = os.path.join(folder, NAME + ".key"), os.path.join(folder, NAME + ".spool")
    with open(key, "w") as f:
        f.write(add_station(linux_bin, NAME) + "\n")
    report, err = os.path.join(logs, "line-station.jsonl"), os.path.join(logs, "line-station.err")
    for old in (report, err):
        if os.path.exists(old):
            os.remove(old)
    server = LineServer(linux_bin).start()
    station = None
    try:
        with open(err, "wb") as err_file:
            station = subprocess.Popen(
                ["wine", exe, "station", "--no-browser", "--report", winpath(report),
                 "-p", "COM5", "-p", "COM7", "--line", server.url(), "--station", NAME,
                 "--station-key", "C:\\orvane-line\\%s.key" % NAME,
                 "--spool", "C:\\orvane-line\\%s.spool" % NAME, winpath(image)],
                env=dict(os.environ, LD_PRELOAD=shim), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=err_file)
        url = address(err)
        if not checks.check(url, "the station printed no address: %s" % open(err).read()):
            checks.finish()
        checks.check(wait_for(lambda: len(reported(report)) == 2, SETTLE_S, 0.2),
                     "both slots' records in the report: %s" % reported(report))
        checks.check(stop_now(url) == 202, "the page's Stop now was not taken")
        try:
            status = station.wait(60)
        except subprocess.TimeoutExpired:
            checks.fail("the station did not stop")
            status = None
        said = open(err, errors="replace").read()
        checks.check("line: every record delivered" in said,
                     "the station did not say that every record was delivered: %s" % said)
        records = reported(report)
        ids = sorted(r["record_id"] for r in records)
        checks.check(len(ids) == 2 and all(r["outcome"] == "success" for r in records),
                     "two passed records in the report: %s" % records)
        stored = sorted(sql("select record_id from upgrade_records").split())
        mine = sorted(sql("select record_id from upgrade_records where station = $1",
                          NAME).split())
        checks.check(stored == ids and mine == ids,
                     "the database holds the report's records under %s: %s, %s of it, "
                     "report %s" % (NAME, stored, mine, ids))
        checks.check(sql("select last_heard is not null from stations where name = $1",
                         NAME) == "t", "the line heard no beat of the station")
        waiting = spool_count(spool, "WHERE delivered_at IS NULL")
        checks.check(waiting == "0" and spool_count(spool) == "2",
                     "the spool holds both records, none waiting: %s waiting, %s in all" %
                     (waiting, spool_count(spool)))
        print("   station exit %s; %d records in the report, the database and the spool, "
              "%s waiting" % (status, len(ids), waiting))
    finally:
        if station and station.poll() is None:
            station.kill()  # wine's own process; the script's wineserver -k ends the rest
            station.wait()
        server.stop()
    checks.finish()


if __name__ == "__main__":
    main()
