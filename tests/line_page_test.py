#!/usr/bin/python3
"""The line's supervisor page in a real browser, fed states built here.

A small server serves line/page/ with the station's i18n.js and catalogs, under
the line server's Content-Security-Policy, and an /events stream of whatever
state line_state() built: stations ONLINE, OFFLINE, revoked and never heard,
with names, lots, serials and messages that hold markup, SQL, control and
right-to-left characters, and 10 000 characters. Checks:
- no text becomes markup: the hostile texts are shown literally and no
  element, script or handler is added; no console error (a CSP refusal is one);
- in the pseudo-language (catalog strings in marks) no visible text comes
  from outside the catalog other than the state's own data;
- in every language each tile's word is the catalog's word for its state,
  each card's badge its ONLINE or OFFLINE, and an offline card is dimmed;
- in every language 4 stations of 8 slots fit 1366x768 and 8 of 16 fit
  1920x1080: nothing wider than the window, every card in sight, no state
  word cut or broken inside a word;
- each lot's CSV link carries its lot percent-encoded, and a server reads the
  lot back from it;
- a dropped stream shows the disconnected banner, and a new one takes it away.

    line_page_test.py [OUT_DIR]

Saves OUT_DIR/line-page.png (1366x768) and line-page-1920.png (OUT_DIR: /tmp).
"""
import datetime
import http.server
import json
import os
import re
import shutil
import sys
import tempfile
import threading
import time
import urllib.parse

sys.dont_write_bytecode = True  # nothing left in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from station_browser_test import browser_or_fail, open_browser  # noqa: E402
from station_lib import Checks, wait_for  # noqa: E402

SOURCE = os.path.dirname(HERE)
LINE_PAGE = os.path.join(SOURCE, "line", "page")
STATION_PAGE = os.path.join(SOURCE, "station", "page")
LANGUAGES = ["en", "de", "es", "pl", "vi", "zh-CN"]
OPEN, CLOSE = "\u27e6", "\u27e7"
# What may stand outside the marks besides data: figures and punctuation.
RESIDUE = re.compile(r"^[\s\d.,:;/\-\u2013\u2014()%+\u2192=\u2713\u2717\u2026#\u00d7'\"\u00b7|\[\]]*$")
# The line server's own policy: a page that needs inline code breaks under it.
CSP = ("default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
       "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'")

FILES = {"/": (LINE_PAGE, "index.html", "text/html; charset=utf-8"),
         "/line.js": (LINE_PAGE, "line.js", "text/javascript"),
         "/line.css": (LINE_PAGE, "line.css", "text/css"),
         "/i18n.js": (STATION_PAGE, "i18n.js", "text/javascript"),
         "/state_stream.js": (STATION_PAGE, "state_stream.js", "text/javascript"),
         "/favicon.ico": (os.path.join(SOURCE, "shell", "resources"), "app_icon.ico", "image/x-icon")}

# ---------- the state ----------

PHASES = ["waiting", "starting", "handshake", "identity", "key-code", "flash-erase",
          "parameter-erase", "upload", "start", "done", "leaving", "monitor"]
RESULTS = ["passed", "failed", "already_current"]
STATES = PHASES + RESULTS + ["stopped"]
HOSTILE = "<img src=x onerror=alert(1)>"
SQL = "'; DROP TABLE upgrade_records; --"
LONG = "Bench " + "W" * 10000
NAMES = ["Bench 1", HOSTILE, SQL, LONG, "Stanowisko \u0141\u00f3d\u017a \u202eRTL", "\u5de5\u4f5c\u7ad9 6",
         "Bench 7\u0007\n", "Bench 8"]
LOTS = ["L-0412", SQL, "A&B=1#2 ?/%+\u00e9 \u5de5", "<svg onload=alert(4)>", "L" + "9" * 10000, "L-empty"]
HINTS = [("port-refused", {"port": "/dev/ttyUSB3<b>", "reason": "<img src=x onerror=alert(3)>"}),
         ("block-refused", {}),
         ("upgrade-ended-as", {"message": SQL}),
         ("mismatch-scanner", {"module": "SE-4500", "software": "2.0.1", "customer": "<i>ACME</i>",
                               "hardware": "R3"}),
         ("answers-held-back", {"delay_ms": 16, "fix": "set the adapter's latency timer to 1 ms"}),
         ("line-lost", {})]
WAITING = [0, 1, 2, 5, 22, 0, 3, 0]


def iso(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (moment.microsecond // 1000)


def line_state(stations, slots, database_ok=True, silent=()):
    """The whole state /events sends: `stations` stations of `slots` slots each;
    station 1 (and 4) offline, 2 revoked, those in `silent` never heard."""
    now = datetime.datetime.now(datetime.timezone.utc)
    ago = lambda seconds: iso(now - datetime.timedelta(seconds=seconds))  # noqa: E731
    entries = []
    for i in range(stations):
        online = i not in (1, 2, 4) and i not in silent
        tiles = []
        for s in range(slots):
            state = STATES[(s + i * 3) % len(STATES)]
            label = "A%d" % (s + 1)
            if (i, s) == (0, 1):
                label = "<b>B2</b>"
            elif (i, s) == (3, 0):
                label = "L" * 300
            total = 262144 if state == "upload" else 0
            hint = HINTS[(s + i) % len(HINTS)]
            tiles.append({"label": label, "state": state,
                          "phase": state if state in PHASES else "done",
                          "result": state if state in RESULTS else None,
                          "sent": total * ((s * 37 + i * 11) % 100) // 100, "total": total,
                          "hints": [{"hint": hint[0], "facts": hint[1]}] if state == "failed" else []})
        beat = {"version": 1,
                "image": {"name": "<svg onload=alert(5)>.bin" if i == 2 else "app-2.1.0.bin",
                          "software": None if i == 2 else "2.1.0"},
                "operator": ["Ines Park", "<script>alert(2)</script>", "Dana Reyes", "O" * 10000][i % 4],
                "lot": LOTS[i % len(LOTS)], "stopping": i == 3, "ended": i == 5,
                "counts": {"passed": 40 + i * 7, "failed": i, "already_current": 2 * i},
                "waiting": WAITING[i % len(WAITING)],
                "oldestWaiting": ago(300 + i) if WAITING[i % len(WAITING)] else None,
                "lineDownSince": ago(400) if i == 2 else None,
                "slots": tiles}
        silent_one = i in silent
        entries.append({"name": NAMES[i % len(NAMES)], "online": online,
                        "lastHeard": None if silent_one else ago(1 if online else 1500 + 86400 * (i == 4)),
                        "revoked": i == 2, "beat": None if silent_one else beat})
    lots = [{"lot": lot, "passed": 0 if lot == "L-empty" else 200 - n * 9, "failed": 0 if lot == "L-empty" else n,
             "already_current": 0 if lot == "L-empty" else 3, "lastEnded": ago(3600 * n)}
            for n, lot in enumerate(LOTS + ["L-%04d" % n for n in range(400, 412)])]
    where = [{"station": NAMES[n], "slot": "A%d" % (n + 1), "count": 6 - n} for n in range(5)]
    return {
        "version": 1, "now": iso(now),
        "database": {"ok": database_ok, "since": None if database_ok else ago(95)},
        "stations": entries,
        "totals": {"passed": 1234, "failed": 17, "already_current": 56},
        "lots": lots,
        "images": [{"image": "app-2.1.0.bin", "sha256": "9f" * 32, "passed": 900, "failed": 12, "already_current": 40},
                   {"image": "<svg onload=alert(5)>.bin", "sha256": "0a" * 32, "passed": 3, "failed": 1,
                    "already_current": 0},
                   {"image": "X" * 10000, "sha256": "<b>" + "e" * 61, "passed": 0, "failed": 2, "already_current": 0}],
        "reasons": [{"hint": "block-refused", "message": "the scanner refused block 12", "count": 9, "where": where},
                    {"hint": None, "message": HOSTILE + " " + "M" * 10000, "count": 3, "where": where[:1]},
                    {"hint": "port-refused", "message": "/dev/ttyUSB9: busy", "count": 2, "where": where[3:]},
                    {"hint": "no-such-hint", "message": SQL, "count": 1, "where": []}],
        "repeats": [{"unitSerial": "SN-1" + SQL, "count": 3,
                     "records": [{"station": NAMES[n], "slot": "A1", "result": r, "endedAt": ago(200 * n + 86400 * (n == 2))}
                                 for n, r in enumerate(RESULTS)]},
                    {"unitSerial": "<b>S</b>" + "7" * 10000, "count": 2,
                     "records": [{"station": LONG, "slot": "L" * 300, "result": "passed", "endedAt": ago(30)},
                                 {"station": "Bench 1", "slot": "A2", "result": "failed", "endedAt": ago(10)}]}],
    }


NAME_KEYS = {"state", "phase", "result", "hint"}  # names the page turns into words


def data_of(state):
    """Texts the page may show as they are: every string of the state but names."""
    texts = set()

    def walk(value, key=None):
        if isinstance(value, dict):
            for k, v in value.items():
                walk(v, k)
        elif isinstance(value, list):
            for v in value:
                walk(v, key)
        elif isinstance(value, str) and key not in NAME_KEYS:
            texts.update((value, value.strip()))
            if key == "sha256":
                texts.add(value[:8])
    walk(state)
    return sorted((t for t in texts if t), key=len, reverse=True)


# ---------- the server ----------

class Server:
    """The page's files, and an /events stream that sends whatever state is set."""

    def __init__(self):
        self.state, self.version = None, 0
        self.dropping = False
        self.lots = []  # what /api/lot.csv was asked for
        self.changed = threading.Condition()
        self.closing = False
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                address = urllib.parse.urlsplit(self.path)
                path = address.path
                if path == "/events":
                    return server.stream(self)
                if path == "/api/lot.csv":
                    lot = urllib.parse.parse_qs(address.query).get("lot", [""])[0]
                    server.lots.append(lot)
                    return self.reply(200, "text/csv", b"record_id\n")
                if re.fullmatch(r"/lang/[A-Za-z-]+\.json", path):
                    name = os.path.join(STATION_PAGE, "lang", path[len("/lang/"):])
                    if os.path.exists(name):
                        return self.reply(200, "application/json", open(name, "rb").read())
                if path in FILES:
                    folder, name, kind = FILES[path]
                    return self.reply(200, kind, open(os.path.join(folder, name), "rb").read())
                self.reply(404, "text/plain", b"not found")

            def reply(self, status, kind, body):
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Content-Security-Policy", CSP)
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(body)

        self.http = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.http.daemon_threads = True
        self.port = self.http.server_address[1]
        threading.Thread(target=self.http.serve_forever, daemon=True).start()

    def stream(self, handler):
        handler.send_response(200)
        handler.send_header("Content-Type", "text/event-stream")
        handler.send_header("Cache-Control", "no-store")
        handler.end_headers()
        sent = -1
        try:
            handler.wfile.write(b"retry: 300\n\n")  # a dropped stream comes back soon
            handler.wfile.flush()
            while True:
                with self.changed:
                    self.changed.wait_for(lambda: self.closing or self.dropping or self.version != sent, 1)
                    if self.closing or self.dropping:
                        return
                    if self.version == sent:
                        continue
                    sent, state = self.version, self.state
                handler.wfile.write(("event: state\ndata: %s\n\n" % json.dumps(state)).encode())
                handler.wfile.flush()
        except OSError:
            return
        finally:
            handler.close_connection = True

    def show(self, state):
        with self.changed:
            self.state, self.version = state, self.version + 1
            self.changed.notify_all()

    def drop(self, dropping):
        with self.changed:
            self.dropping = dropping
            self.changed.notify_all()

    def close(self):
        with self.changed:
            self.closing = True
            self.changed.notify_all()
        self.http.shutdown()


# ---------- what the browser shows ----------

VISIBLE_JS = """
const out = [];
const seen = (e) => e && e.checkVisibility({ checkOpacity: true, checkVisibilityCSS: true });
const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
for (let n; (n = walker.nextNode());) {
  const text = n.textContent.trim();
  const e = n.parentElement;
  if (!text || !seen(e) || e.closest('option, script, style')) continue;
  out.push(text);
}
for (const s of document.querySelectorAll('select')) {
  if (seen(s) && s.selectedIndex >= 0) out.push(s.options[s.selectedIndex].text);
}
return out;
"""

DRAWN_JS = """
const [want, lang] = arguments;
const cards = Array.from(document.querySelectorAll('#stations .card'));
return document.documentElement.lang === lang && cards.length === want.length &&
  cards.every((c, i) => {
    const tiles = Array.from(c.querySelectorAll('.tile'));
    return tiles.length === want[i].length && tiles.every((t, j) => t.dataset.state === want[i][j]);
  });
"""

# Every card as drawn: its name and title, badge, dimming and tiles' words.
CARDS_JS = """
return Array.from(document.querySelectorAll('#stations .card')).map((c) => {
  const name = c.querySelector('.card-name');
  const body = c.querySelector('.card-body');
  return {
    name: name.textContent, title: name.title, clipped: name.scrollWidth > name.clientWidth,
    badge: c.querySelector('.badge').textContent,
    revoked: !c.querySelector('.mark-revoked').hidden, heard: c.querySelector('.heard').textContent,
    none: c.querySelector('.card-none').hidden ? '' : c.querySelector('.card-none').textContent,
    down: c.querySelector('.chip-down').hidden ? '' : c.querySelector('.chip-down').textContent,
    dimmed: Number(getComputedStyle(body).opacity) < 0.8,
    waiting: c.querySelector('.chip-waiting').hidden ? '' : c.querySelector('.chip-waiting').textContent,
    tiles: Array.from(c.querySelectorAll('.tile')).map((t) => [t.dataset.state,
      t.querySelector('.tile-word').textContent, t.querySelector('.tile-label').textContent]),
  };
});
"""

# Whatever is too wide or out of sight, and state words cut or broken inside a word.
FIT_JS = """
const bad = [];
const W = window.innerWidth, H = window.innerHeight;
const root = document.scrollingElement;
if (root.scrollWidth > W + 1) bad.push('the page scrolls sideways: ' + root.scrollWidth);
const box = document.getElementById('stations-box');
if (box.scrollHeight > box.clientHeight + 1) bad.push('the stations scroll: ' + box.scrollHeight + ' > ' + box.clientHeight);
for (const id of ['top', 'stations']) {
  const e = document.getElementById(id);
  if (e.scrollWidth > e.clientWidth + 1) bad.push('#' + id + ' overflows: ' + e.scrollWidth + ' > ' + e.clientWidth);
}
const inside = (e, what) => {
  const r = e.getBoundingClientRect();
  if (r.left < -1 || r.right > W + 1 || r.top < -1 || r.bottom > H + 1) {
    bad.push(what + ' out of sight: ' + [r.left, r.top, r.right, r.bottom].map(Math.round));
  }
};
document.querySelectorAll('#top > *, .card, .panel').forEach((e, i) => inside(e, e.className || e.id || i));
for (const e of document.querySelectorAll('.panel-scroll, .card-head, .card-sub, .card-meta, .tiles')) {
  if (e.scrollWidth > e.clientWidth + 1) bad.push(e.className + ' overflows: ' + e.scrollWidth + ' > ' + e.clientWidth);
}
for (const tile of document.querySelectorAll('.tile')) {
  const w = tile.querySelector('.tile-word');
  const range = document.createRange();
  range.selectNodeContents(w);
  const lines = new Set(Array.from(range.getClientRects()).map((x) => Math.round(x.top))).size;
  const words = w.textContent.trim().split(/\\s+/).length;
  const t = tile.getBoundingClientRect(), r = w.getBoundingClientRect();
  if (w.scrollWidth > w.clientWidth + 1 || r.right > t.right + 1 || r.bottom > t.bottom + 1 || lines > words) {
    bad.push('tile ' + tile.dataset.state + ': ' + w.textContent + ' (' + lines + ' lines)');
  }
}
return bad;
"""

INJECTED_JS = """
const found = [];
for (const e of document.querySelectorAll('img, iframe, object, embed, b, i, svg:not(.tile-icon svg)')) {
  found.push(e.outerHTML.slice(0, 80));
}
const ours = ['/i18n.js', '/state_stream.js', '/line.js'];
for (const sc of document.scripts) {
  if (!ours.includes(new URL(sc.src || 'x:', location.href).pathname)) found.push('script ' + sc.outerHTML.slice(0, 80));
}
for (const e of document.querySelectorAll('*')) {
  for (const a of e.attributes) if (/^on/i.test(a.name)) found.push(e.tagName + ' ' + a.name);
}
return found;
"""


class Bench:
    def __init__(self, checks, profile):
        self.checks = checks
        self.server = Server()
        self.driver = open_browser(profile)
        self.base = "http://127.0.0.1:%d/" % self.server.port

    def size(self, width, height):
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})

    def open(self, lang):
        self.driver.get(self.base + "?lang=" + lang)

    def show(self, state, lang):
        """Draws `state`; False when the page did not draw it in time."""
        self.server.show(state)
        want = [[s["state"] for s in (st["beat"] or {}).get("slots", [])] for st in state["stations"]]
        tag = "en" if lang == "qps" else lang
        drawn = wait_for(lambda: self.driver.execute_script(DRAWN_JS, want, tag), 20)
        if drawn:  # laid out in a frame, then painted
            for _ in range(2):
                self.driver.execute_async_script("requestAnimationFrame(() => requestAnimationFrame(arguments[0]));")
        return self.checks.check(drawn, "%s: the page drew %d stations" % (lang, len(want)))

    def catalog(self, lang):
        name = "en" if lang == "qps" else lang
        with open(os.path.join(STATION_PAGE, "lang", name + ".json"), encoding="utf-8") as f:
            return json.load(f)

    def console_errors(self):
        return [e for e in self.driver.get_log("browser") if e.get("level") == "SEVERE"]

    def close(self):
        self.driver.quit()
        self.server.close()


# ---------- the checks ----------

def check_hostile(bench):
    c, d = bench.checks, bench.driver
    bench.size(1366, 768)
    bench.open("en")
    state = line_state(6, 8, database_ok=False, silent={5})
    if not bench.show(state, "en"):
        return
    injected = d.execute_script(INJECTED_JS)
    c.check(not injected, "markup from the state became elements: %s" % injected)
    cards = d.execute_script(CARDS_JS)
    names = [s["name"] for s in state["stations"]]
    c.check([x["name"] for x in cards] == names, "the stations' names are shown literally, whole")
    long_card = cards[names.index(LONG)]
    c.check(long_card["clipped"] and long_card["title"] == LONG,
            "the 10 000-character name is clipped, whole in its title")
    en = bench.catalog("en")
    for station, card in zip(state["stations"], cards):
        name = station["name"][:20]
        c.check(card["revoked"] == station["revoked"], "%r: revoked shown: %s" % (name, card["revoked"]))
        beat = station["beat"]
        c.check(card["none"] == ("" if beat else en["line.station.noBeat"]), "%r: %r" % (name, card["none"]))
        if not station["lastHeard"]:
            c.check(card["heard"] == en["line.station.neverHeard"], "%r: heard %r" % (name, card["heard"]))
        down = beat and beat["lineDownSince"]
        c.check(bool(card["down"]) == bool(down), "%r: line unreachable shown: %r" % (name, card["down"]))
    shown = d.execute_script("return document.body.textContent")
    for text in (SQL, HOSTILE, "<script>alert(2)</script>", "<svg onload=alert(4)>", "SN-1" + SQL):
        c.check(text in shown, "shown literally: %r" % text)
    c.check(not d.execute_script("return document.getElementById('database-banner').hidden"),
            "a banner says the database is down")


def check_pseudo(bench):
    c, d = bench.checks, bench.driver
    bench.size(1366, 768)
    bench.open("qps")
    for state in (line_state(6, 8, database_ok=False, silent={5}), line_state(8, 16)):
        if not bench.show(state, "qps"):
            return
        texts = d.execute_script(VISIBLE_JS)
        data = data_of(state)
        strays = []
        for text in texts:
            rest = re.sub(re.escape(OPEN) + ".*?" + re.escape(CLOSE), " ", text, flags=re.S)
            for value in data:
                rest = rest.replace(value, " ")
            if not RESIDUE.match(rest):
                strays.append(text[:120])
        c.check(not strays, "%d stations: text from outside the catalog: %s" % (len(state["stations"]), strays))
        marked = sum(OPEN in t for t in texts)
        c.check(marked > 40, "the pseudo-language is in use (%d marked)" % marked)


def check_languages(bench):
    """Words, badges and fit in each language at both sizes."""
    c, d = bench.checks, bench.driver
    for lang in LANGUAGES:
        catalog = bench.catalog(lang)
        bench.open(lang)
        for (width, height), state in (((1366, 768), line_state(4, 8, database_ok=False)),
                                       ((1920, 1080), line_state(8, 16))):
            bench.size(width, height)
            if not bench.show(state, lang):
                return
            where = "%s %dx%d" % (lang, width, height)
            bad = d.execute_script(FIT_JS)
            c.check(not bad, "%s: does not fit: %s" % (where, bad[:8]))
            cards = d.execute_script(CARDS_JS)
            for station, card in zip(state["stations"], cards):
                want = catalog["line.station.online" if station["online"] else "line.station.offline"]
                c.check(card["badge"] == want, "%s: %r shows %r, not %r" % (where, station["name"][:20],
                                                                             card["badge"], want))
                c.check(card["dimmed"] == (not station["online"]),
                        "%s: %r is %sdimmed" % (where, station["name"][:20], "" if card["dimmed"] else "not "))
                wrong = [(s, w) for s, w, _ in card["tiles"] if w != catalog["state." + s]]
                c.check(not wrong, "%s: words not the catalog's: %s" % (where, wrong))
            if lang == "pl":  # 1, 2, 3, 5 and 22 records waiting: each its own form
                forms = {1: "one", 2: "few", 3: "few", 5: "many", 22: "few"}
                for station, card in zip(state["stations"], cards):
                    n = station["beat"]["waiting"]
                    if n:
                        want = catalog["line.spool.waiting"][forms[n]].replace("{count}", str(n))
                        c.check(card["waiting"] == want, "pl: %d waiting: %r, not %r" % (n, card["waiting"], want))


def check_csv(bench):
    c, d = bench.checks, bench.driver
    bench.open("en")
    state = line_state(4, 8)
    if not bench.show(state, "en"):
        return
    links = d.execute_script("return Array.from(document.querySelectorAll('#lots a.csv'))"
                             ".map((a) => [a.getAttribute('href'), new URL(a.href).searchParams.get('lot')]);")
    lots = [x["lot"] for x in state["lots"]]
    c.check(len(links) == len(lots), "a CSV link for each lot: %d of %d" % (len(links), len(lots)))
    for lot, (href, back) in zip(lots, links):
        want = "/api/lot.csv?lot=" + urllib.parse.quote(lot, safe="-_.!~*'()")
        c.check(href == want and back == lot, "the CSV link of %r: %r" % (lot[:30], href[:80]))
    # What a server reads from the links: the lots, whole.
    bench.server.lots.clear()
    d.execute_async_script("""
const done = arguments[0];
Promise.all(Array.from(document.querySelectorAll('#lots a.csv')).map((a) => fetch(a.href))).then(() => done());""")
    c.check(sorted(bench.server.lots) == sorted(lots), "the server read back every lot from its link")


def check_disconnect(bench):
    c, d = bench.checks, bench.driver
    bench.open("en")
    if not bench.show(line_state(4, 8), "en"):
        return
    banner = lambda: d.execute_script("return document.getElementById('banner').checkVisibility()")  # noqa
    bench.server.drop(True)
    c.check(wait_for(banner, 10), "a dropped stream shows the disconnected banner")
    text = d.execute_script("return document.getElementById('banner').textContent")
    c.check(text == bench.catalog("en")["line.banner.disconnected"], "the banner's words: %r" % text)
    time.sleep(1)
    c.check(banner(), "the banner stays while the server is away")
    bench.server.drop(False)
    c.check(wait_for(lambda: not banner(), 10), "a new stream takes the banner away")


def screenshots(bench, out_dir):
    for (width, height), state, name in (((1366, 768), line_state(4, 8, database_ok=False), "line-page.png"),
                                         ((1920, 1080), line_state(8, 16), "line-page-1920.png")):
        bench.size(width, height)
        bench.open("en")
        bench.show(state, "en")
        path = os.path.join(out_dir, name)
        bench.checks.check(bench.driver.save_screenshot(path), "a screenshot in " + path)
        print("screenshot: " + path)


def main():
    out_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "/tmp")
    browser_or_fail()
    os.makedirs(out_dir, exist_ok=True)
    checks = Checks("line page")
    work = tempfile.mkdtemp(prefix="line-page-")
    bench = None
    try:
        bench = Bench(checks, os.path.join(work, "profile"))
        for part in (check_hostile, check_pseudo, check_languages, check_csv):
            started = time.monotonic()
            part(bench)
            print("%s: %.1f s" % (part.__name__, time.monotonic() - started), flush=True)
        screenshots(bench, out_dir)
        errors = bench.console_errors()
        checks.check(not errors, "the browser's console has errors: %s" % errors)
        check_disconnect(bench)  # last: a dropped stream may log its own errors
    finally:
        if bench:
            bench.close()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
