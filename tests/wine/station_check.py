#!/usr/bin/python3
"""The station of orvane-flash.exe under Wine, driven in the Linux browser.

Two emulated scanners behind COM5 and COM7 are upgraded by a station that
scripts/test-windows.sh started; this opens the address it printed, waits
for both slots to pass, checks the counts, the CSV export against the
report and the browser's console, saves a screenshot and stops the station
with the page's own Stop now.

    station_check.py STATION-STDERR REPORT SCREENSHOT
"""
import csv
import io
import json
import os
import re
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from station_browser_test import FETCH_JS, browser_or_fail, open_browser  # noqa: E402
from station_lib import Checks, make_work, wait_for  # noqa: E402

ADDRESS = re.compile(r"station: open (http://127\.0\.0\.1:\d+/\?token=[0-9a-f]+)")
SETTLE_S = 180  # bounds a hang only


def address(err):
    text = lambda: open(err, errors="replace").read() if os.path.exists(err) else ""  # noqa
    if not wait_for(lambda: ADDRESS.search(text()), 60):
        return None
    return ADDRESS.search(text()).group(1)


def main():
    err, report, shot = sys.argv[1:4]
    browser_or_fail()
    checks = Checks("station under Wine")
    url = address(err)
    if not checks.check(url, "the station printed no address: %s" % open(err).read()):
        checks.finish()
    driver = open_browser(make_work("station-wine-"))
    try:
        driver.get(url)
        passed = lambda: driver.find_element("id", "count-passed").text.strip() == "2"  # noqa
        checks.check(wait_for(passed, SETTLE_S, 0.2),
                     "the page does not count two passed scanners: %s" %
                     driver.find_element("id", "count-passed").text)
        records = [json.loads(line) for line in open(report)]
        rows = list(csv.DictReader(io.StringIO(driver.execute_script(FETCH_JS,
                                                                     "/api/export.csv"))))
        checks.check(len(records) == 2 and len(rows) == 2 and
                     sorted((r["port"], r["outcome"], r["time"]) for r in records) ==
                     sorted((r["port"], r["outcome"], r["time"]) for r in rows),
                     "the CSV export is not the report: %s / %s" % (rows, records))
        checks.check(all(r["outcome"] == "success" for r in records), "not all passed: %s" % records)
        driver.save_screenshot(shot)
        # Before the stop: a page whose server went away says so in the console.
        severe = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
        checks.check(not severe, "the browser's console has errors: %s" % severe)
        driver.find_element("id", "stop").click()
        driver.find_element("id", "stop-confirm").click()
    finally:
        driver.quit()
    checks.finish()


if __name__ == "__main__":
    main()
