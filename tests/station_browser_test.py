#!/usr/bin/python3
"""The station in a real browser, as the person at the bench sees it.

Eight slots (A1..A8), each a link that a scanner's port takes, are shown
empty first; then eight emulated scanners are plugged in: five upgrade, one
refuses a block, one already holds the image's version and one is
pulled out mid-upload. The page must show each slot's word, the counts, a
Retry that takes the mended slot's scanner again, the operator and lot typed
on the page in the records that end after, exports equal to the report and
no console error; after Ctrl-C twice, that the station stopped.

    station_browser_test.py BIN_DIR [OUT_DIR]

Saves OUT_DIR/station.png at 1366x768 (OUT_DIR: BIN_DIR's parent), and with
ORVANE_UPDATE_DOCS=1 copies it to docs/station.png.
"""
import csv
import hashlib
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from station_lib import (Emulator, Station, point_link, run_scenario,  # noqa: E402
                         wait_for)

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
WIDTH, HEIGHT = 1366, 768
SETTLE_S = 180  # bounds a hang only: the run settles in well under a minute
LABELS = ["A%d" % n for n in range(1, 9)]
NORMAL = LABELS[:5]
NAK, CURRENT, UNPLUG = "A6", "A7", "A8"
SOFTWARE = "2.00.00"
FIRST = {"operator": "Ines Park", "lot": "LOT-0412"}
SERIAL = "SN-0412-\u00e9-'; DROP TABLE x; --"
LATER = {"operator": "Dana Reyes", "lot": "LOT-0413"}

# Every tile as drawn: its slot, state, word and label, and whether Retry shows.
TILES_JS = """
return Array.from(document.querySelectorAll('#grid [data-slot]')).map((t) => ({
  slot: Number(t.dataset.slot), state: t.dataset.state,
  word: t.querySelector('.state-word').textContent,
  label: t.querySelector('.slot-label').textContent,
  message: t.querySelector('.message').hidden ? '' : t.querySelector('.message').textContent,
  retry: !t.querySelector('.retry').hidden && !t.querySelector('.tile-actions').hidden,
}));
"""

# Keeps every word each tile showed, however briefly it was drawn.
RECORDER_JS = """
window.seenWords = {};
const note = (t) => {
  const list = (window.seenWords[t.dataset.slot] = window.seenWords[t.dataset.slot] || []);
  const word = t.querySelector('.state-word').textContent;
  if (list[list.length - 1] !== word) list.push(word);
};
document.querySelectorAll('#grid [data-slot]').forEach(note);
new MutationObserver((changes) => changes.forEach((c) => note(c.target)))
  .observe(document.getElementById('grid'),
           { attributes: true, attributeFilter: ['data-state'], subtree: true });
"""

FETCH_JS = "return fetch(arguments[0], { credentials: 'same-origin' }).then((r) => r.text());"


def browser_or_fail():
    missing = [p for p in (CHROMIUM, DRIVER) if not os.access(p, os.X_OK)]
    try:
        from selenium import webdriver  # noqa: F401
    except ImportError:
        missing.append("python3-selenium")
    if missing:
        print("FAIL: the browser test needs %s (Debian's chromium, chromium-driver and "
              "python3-selenium: bash scripts/install-deps.sh)" % ", ".join(missing))
        sys.exit(1)


def open_browser(profile):
    return open_browser_with(profile, None)


def open_browser_with(profile, languages):
    """languages: the browser's own, as Accept-Language lists them; None keeps its default."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    if languages:
        options.add_experimental_option("prefs", {"intl.accept_languages": languages})
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + profile, "--window-size=%d,%d" % (WIDTH, HEIGHT)):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    # The page itself 1366x768, whatever the window's own frame takes.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": WIDTH, "height": HEIGHT, "deviceScaleFactor": 1,
                            "mobile": False})
    return driver


class Bench:
    """The run: station, scanners, browser; what the page shows, by label."""

    def __init__(self, bin_dir, work, checks):
        self.bin, self.work, self.checks = bin_dir, work, checks
        self.sims, self.console = {}, []
        self.station = self.driver = None
        self.image = os.path.join(work, "scanner-fw-%s.bin" % SOFTWARE)
        self.report = os.path.join(work, "report.jsonl")
        self.links = {label: os.path.join(work, "bench", label) for label in LABELS}

    def tiles(self):
        return {LABELS[t["slot"]]: t for t in self.driver.execute_script(TILES_JS)}

    def seen(self, label):
        return self.driver.execute_script("return window.seenWords[arguments[0]] || [];",
                                          str(LABELS.index(label)))

    def text(self, element_id):
        return self.driver.find_element("id", element_id).text

    def fetch(self, path):
        return self.driver.execute_script(FETCH_JS, path)

    def state(self):
        return json.loads(self.fetch("/api/state"))

    def keep_console(self):
        self.console += self.driver.get_log("browser")

    def start(self):
        os.mkdir(os.path.dirname(self.links["A1"]))
        run = [os.path.join(self.bin, "orvane-mkimage"), "--out", self.image, "--size", "60000",
               "--key", "90", "--software", SOFTWARE]
        subprocess.run(run, check=True, stdout=subprocess.DEVNULL)
        slots = os.path.join(self.work, "slots")
        with open(slots, "w") as f:
            f.write("# the bench, left to right\n")
            f.writelines("%s %s\n" % (label, self.links[label]) for label in LABELS)
        self.station = Station(self.bin, self.work, "station", self.image, "--slots", slots,
                               "--report", self.report, "--operator", FIRST["operator"],
                               "--lot", FIRST["lot"])
        self.driver = open_browser(os.path.join(self.work, "profile"))
        self.driver.get(self.station.url)

    def see_empty_bench(self):
        def empty():
            tiles = self.tiles()
            return len(tiles) == 8 and all(t["word"] == "WAITING" for t in tiles.values())
        if not self.checks.check(wait_for(empty, 30), "the empty bench: %s" % self.tiles()):
            return False
        self.driver.execute_script(RECORDER_JS)
        for label, tile in self.tiles().items():
            self.checks.check(tile["label"] == label,
                              "tile %s labelled '%s'" % (label, tile["label"]))
        self.checks.check(self.driver.current_url.endswith(":%d/" % self.station.port),
                          "the token left the address bar: " + self.driver.current_url)
        self.checks.check(self.driver.find_element("id", "operator").get_attribute("value")
                          == FIRST["operator"], "the operator from --operator")
        return True

    def plug_in(self):
        for label in LABELS:
            # At the line's own rate: eight uploads at a pseudo-terminal's speed
            # would crowd two cores past the scanner's 50 ms echo time.
            args = ["--key", "90", "--line-rate"]
            if label == CURRENT:
                args += ["--software", SOFTWARE]
            elif label == UNPLUG:
                args += ["--fault", "unplug-after:250"]
            else:
                args += ["--expect", self.image]
            if label == NAK:
                args += ["--fault", "nak-block:200"]
            self.sims[label] = Emulator(self.bin, self.work, label, *args)
        # One after another, as hands do: the next once the last one's console
        # dialogue is over, so that two cores never owe eight echoes at once.
        beyond = {"UPLOAD", "START", "PASSED", "FAILED", "ALREADY CURRENT"}
        for label in LABELS:
            point_link(self.links[label], self.sims[label].port)
            self.checks.check(wait_for(lambda: beyond & set(self.seen(label)), 30),
                              "%s was taken: %s" % (label, self.seen(label)))

    def settled(self):
        # A scanner pulled out takes its device with it, and udev its link.
        if self.sims[UNPLUG].process.poll() is not None and os.path.lexists(self.links[UNPLUG]):
            os.unlink(self.links[UNPLUG])
        tiles = self.tiles()
        states = {label: tile["state"] for label, tile in tiles.items()}
        return (all(states.get(label) == "passed" for label in NORMAL) and
                states.get(NAK) == "failed" and states.get(CURRENT) == "already_current" and
                states.get(UNPLUG) == "waiting" and "FAILED" in self.seen(UNPLUG))

    def check_first_round(self):
        c = self.checks
        if not c.check(wait_for(self.settled, SETTLE_S),
                       "the first round did not settle: %s; %s seen: %s" %
                       (self.tiles(), UNPLUG, self.seen(UNPLUG))):
            return False
        tiles = self.tiles()
        words = {label: tiles[label]["word"] for label in LABELS}
        wanted = dict({label: "PASSED" for label in NORMAL},
                      A6="FAILED", A7="ALREADY CURRENT", A8="WAITING")
        c.check(words == wanted, "the words shown: %s" % words)
        unplugged = self.seen(UNPLUG)
        c.check("UPLOAD" in unplugged and "FAILED" in unplugged[:-1],
                "%s went from upload to FAILED, then on to WAITING: %s" % (UNPLUG, unplugged))
        c.check(self.sims[UNPLUG].has("line unplugged"), "%s was unplugged mid-upload" % UNPLUG)
        c.check(tiles[NAK]["retry"] and tiles[NAK]["message"] == "upgrade not finish!!!",
                "%s offers Retry and says why: %s" % (NAK, tiles[NAK]))
        c.check(not any(tiles[label]["retry"] for label in LABELS if label != NAK),
                "Retry only where a scanner failed and stays")
        counts = {name: self.text("count-" + name) for name in ("passed", "failed", "current")}
        c.check(counts == {"passed": "5", "failed": "2", "current": "1"}, "the counts: %s" % counts)
        for label in NORMAL:
            c.check(self.sims[label].has("image verified"), "%s's flash holds the image" % label)
            c.check("UPLOAD" in self.seen(label),
                    "%s was seen uploading: %s" % (label, self.seen(label)))
        c.check(not self.sims[CURRENT].has("upload"), "nothing was written to %s" % CURRENT)
        return True

    def set_operator_and_lot(self):
        from selenium.webdriver.common.keys import Keys
        for field in ("operator", "lot"):
            box = self.driver.find_element("id", field)
            box.click()
            box.send_keys(Keys.CONTROL, "a")
            box.send_keys(LATER[field] + Keys.ENTER)
        run = lambda: self.state()["run"]  # noqa: E731
        self.checks.check(wait_for(lambda: {k: run()[k] for k in LATER} == LATER, 20, 0.2),
                          "operator and lot typed on the page reached the station: %s" % run())

    def mend_and_retry(self):
        c = self.checks
        mended = Emulator(self.bin, self.work, NAK + "-mended", "--key", "90", "--line-rate",
                          "--expect", self.image)
        self.sims[NAK + "-mended"] = mended
        point_link(self.links[NAK], mended.port)
        # The label scanned with a hand reader: its text, then Enter.
        from selenium.webdriver.common.keys import Keys
        serial = '[data-slot="%d"] .serial' % LABELS.index(NAK)
        self.driver.find_element("css selector", serial).send_keys(SERIAL + Keys.ENTER)
        c.check(wait_for(lambda: self.state()["slots"][LABELS.index(NAK)]["serial"] == SERIAL,
                         20, 0.2), "the scanned serial reached the station")
        retry = '[data-slot="%d"] .retry' % LABELS.index(NAK)
        self.driver.find_element("css selector", retry).click()

        def retried():
            tile = self.tiles()[NAK]
            return tile["state"] == "passed" and mended.has("image verified")
        c.check(wait_for(retried, 60), "the retried %s passed: %s, seen %s" %
                (NAK, self.tiles().get(NAK), self.seen(NAK)))
        after = self.seen(NAK)
        work = {"HANDSHAKE", "IDENTITY", "ERASE", "UPLOAD", "START"}
        c.check("FAILED" in after and work & set(after[after.index("FAILED"):]),
                "the retry upgraded again: %s" % after)
        c.check(wait_for(lambda: self.text("count-passed") == "6", 10),
                "passed counts the retry: %s" % self.text("count-passed"))
        c.check(self.sims[NAK].text().count("upload done") == 0, "the NAK-ing scanner got no image")

    def check_exports(self):
        c = self.checks
        report_text = open(self.report).read()
        records = [json.loads(line) for line in report_text.splitlines()]
        digest = hashlib.sha256(open(self.image, "rb").read()).hexdigest()
        link = self.driver.find_element("id", "export-csv").get_attribute("href")
        c.check(link.endswith("/api/export.csv"), "the CSV link: " + link)
        c.check(self.fetch("/api/export.jsonl") == report_text, "JSON Lines export is the report")
        rows = list(csv.DictReader(io.StringIO(self.fetch("/api/export.csv"), newline="")))
        c.check(len(rows) == len(records) == 9,
                "%d CSV rows, %d report lines" % (len(rows), len(records)))
        for record, row in zip(records, rows):
            for column in ("time", "slot", "port", "outcome", "message", "sha256", "operator",
                           "lot"):
                c.check(column in row, "CSV column " + column)
            for column, cell in row.items():
                want = csv_cell(field_of(record, column))
                c.check(cell == want or numbers_equal(cell, want),
                        "CSV %s of %s: '%s', report '%s'" %
                        (column, record.get("slot"), cell, want))
        outcomes = [(r["slot"], r["result"]) for r in records]
        wanted = sorted([(label, "passed") for label in NORMAL + [NAK]] +
                        [(NAK, "failed"), (CURRENT, "already_current"), (UNPLUG, "failed")])
        c.check(sorted(outcomes) == wanted and outcomes[-1] == (NAK, "passed"),
                "the records' slots and outcomes: %s" % outcomes)
        people = [{k: r[k] for k in FIRST} for r in records]
        c.check([r["unit_serial"] for r in records] == [""] * 8 + [SERIAL],
                "the unit serial went with the retried scanner only: %s" %
                [r["unit_serial"] for r in records])
        c.check(people == [FIRST] * 8 + [LATER],
                "operator and lot as they were at each end: %s" % people)
        c.check(all(r["sha256"] == digest for r in records),
                "every record names the image's SHA-256")

    def screenshot(self, out_dir):
        # Two frames after the last change: the picture is what was drawn.
        self.driver.execute_async_script(
            "requestAnimationFrame(() => requestAnimationFrame(arguments[0]));")
        path = os.path.join(out_dir, "station.png")
        self.driver.save_screenshot(path)
        with open(path, "rb") as f:
            size = struct.unpack(">II", f.read(24)[16:24])
        self.checks.check(size == (WIDTH, HEIGHT), "the screenshot is %dx%d" % size)
        if os.environ.get("ORVANE_UPDATE_DOCS") == "1":
            docs = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs")
            shutil.copyfile(path, os.path.join(docs, "station.png"))
        print("screenshot: " + path)

    def stop(self):
        c = self.checks
        started = time.monotonic()
        status = self.station.interrupt_twice(30)
        c.check(status is not None and status >= 0,
                "the station ended by itself within 30 s of Ctrl-C twice")
        print("stopped in %.1f s, exit %s" % (time.monotonic() - started, status))

        def shows_stopped():
            run_banner = self.driver.find_element("id", "run-banner")
            lost = self.driver.find_element("id", "banner")
            return ((run_banner.is_displayed() and "stopped" in run_banner.text) or
                    lost.is_displayed())
        c.check(wait_for(shows_stopped, 20, 0.1), "the page shows that the station stopped")
        report = self.station.sanitizer_report()
        c.check(not report, "the station: " + report)

    def close(self):
        if self.driver:
            self.driver.quit()
        if self.station:
            self.station.kill()
        for sim in self.sims.values():
            sim.stop()


def field_of(record, column):
    """A CSV column's value in a report record: identities are flattened."""
    for identity in ("header", "scanner"):
        if column.startswith(identity + "_"):
            value = record.get(identity)
            return value.get(column[len(identity) + 1:]) if isinstance(value, dict) else None
    return record.get(column)


def csv_cell(value):
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return "'" + value if value[:1] in ("=", "+", "-", "@", "\t", "\r") else value
    return json.dumps(value)


def numbers_equal(a, b):
    try:
        return float(a) == float(b)
    except ValueError:
        return False


def scenario(bench, out_dir):
    checks = bench.checks
    bench.start()
    if not bench.see_empty_bench():
        return
    bench.plug_in()
    if bench.check_first_round():
        bench.set_operator_and_lot()
        bench.mend_and_retry()
        bench.check_exports()
        bench.screenshot(out_dir)
    bench.keep_console()
    severe = [e for e in bench.console if e.get("level") == "SEVERE"]
    checks.check(not severe, "the browser's console has errors: %s" % severe)
    bench.stop()


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    out_dir = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.dirname(bin_dir))
    browser_or_fail()
    os.makedirs(out_dir, exist_ok=True)

    run_scenario("station browser", "station-browser-",
                 lambda work, checks: Bench(bin_dir, work, checks),
                 lambda bench: scenario(bench, out_dir))


if __name__ == "__main__":
    main()
