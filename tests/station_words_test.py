#!/usr/bin/python3
"""The station page's words, in every language, in a real browser.

The page is served as the station serves it, with states the station's own
code built for every state a tile can show (tests/page_states.cpp): each
phase, passed, failed with each hint, already current, stopped. Checks:
- in the pseudo-language (every catalog string in marks) no visible text
  comes from outside the catalog, other than data: labels, ports, versions,
  names, times, numbers and the scanner's own messages;
- in every language, at 1366x768 with 8 slots and at 1920x1080 with 32, no
  tile's state word is cut or broken inside a word, and the header fits;
- Polish plurals: 1, 2, 5 and 22 take their own forms;
- the language follows the browser, ?lang=, and the selector, which is
  remembered.

    station_words_test.py BIN_DIR [OUT_DIR]

Saves OUT_DIR/station-zh-CN.png and station-vi.png (1366x768); with
ORVANE_UPDATE_DOCS=1 copies them to docs/.
"""
import http.server
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # nothing left in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from station_browser_test import browser_or_fail  # noqa: E402
from station_lib import Checks, wait_for  # noqa: E402

SOURCE = os.path.dirname(HERE)
PAGE = os.path.join(SOURCE, "station", "page")
LANGUAGES = ["en", "de", "es", "pl", "vi", "zh-CN"]
SIZES = {8: (1366, 768), 32: (1920, 1080)}
OPEN, CLOSE = "\u27e6", "\u27e7"
# What may stand outside the marks besides data: figures and punctuation.
RESIDUE = re.compile(r"^[\s\d.,:;/\-\u2013\u2014()%+\u2192\u2190=\u2713\u2717\u26a0\u2026\u2715#\u00d7'\"\u00b7\u2022|\[\]]*$")

FILES = {"/": ("index.html", "text/html"), "/station.js": ("station.js", "text/javascript"),
         "/station.css": ("station.css", "text/css"), "/i18n.js": ("i18n.js", "text/javascript"),
         "/state_stream.js": ("state_stream.js", "text/javascript")}


class Page:
    """The page's files and an /events stream that sends whatever state is set."""

    def __init__(self):
        self.state, self.version = None, 0
        self.changed = threading.Condition()
        self.closing = False
        page = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                path = self.path.split("?")[0]
                if path == "/events":
                    return page.stream(self)
                if path == "/api/state":
                    return self.reply(200, "application/json", json.dumps(page.state).encode())
                if path == "/favicon.ico":
                    name = os.path.join(SOURCE, "shell", "resources", "app_icon.ico")
                    return self.reply(200, "image/x-icon", open(name, "rb").read())
                if path.startswith("/lang/") and re.fullmatch(r"/lang/[A-Za-z-]+\.json", path):
                    name = os.path.join(PAGE, "lang", path[len("/lang/"):])
                    if os.path.exists(name):
                        return self.reply(200, "application/json", open(name, "rb").read())
                if path in FILES:
                    name, kind = FILES[path]
                    return self.reply(200, kind, open(os.path.join(PAGE, name), "rb").read())
                self.reply(404, "text/plain", b"not found")

            def reply(self, status, kind, body):
                self.send_response(status)
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stream(self, handler):
        handler.send_response(200)
        handler.send_header("Content-Type", "text/event-stream")
        handler.send_header("Cache-Control", "no-store")
        handler.end_headers()
        sent = -1
        try:
            while True:
                with self.changed:
                    self.changed.wait_for(lambda: self.closing or self.version != sent, 1)
                    if self.closing:
                        return
                    if self.version == sent:
                        continue
                    sent, state = self.version, self.state
                data = "event: state\ndata: %s\n\n" % json.dumps(state)
                handler.wfile.write(data.encode())
                handler.wfile.flush()
        except OSError:
            return

    def show(self, state):
        with self.changed:
            self.state, self.version = state, self.version + 1
            self.changed.notify_all()

    def close(self):
        with self.changed:
            self.closing = True
            self.changed.notify_all()
        self.server.shutdown()


# Every text a person sees: text nodes that are drawn, placeholders, the chosen option.
VISIBLE_JS = """
const out = [];
const seen = (e) => e && e.checkVisibility({ checkOpacity: true, checkVisibilityCSS: true });
const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
for (let n; (n = walker.nextNode());) {
  const text = n.textContent.trim();
  const e = n.parentElement;
  if (!text || !seen(e) || e.closest('title, option, script, style')) continue;
  out.push(text);
}
for (const i of document.querySelectorAll('input[placeholder]')) if (seen(i)) out.push(i.placeholder);
for (const s of document.querySelectorAll('select')) {
  if (seen(s) && s.selectedIndex >= 0) out.push(s.options[s.selectedIndex].text);
}
return out;
"""

# Tiles whose state word is clipped, or broken inside a word onto two lines.
CUT_WORDS_JS = """
const cut = [];
for (const tile of document.querySelectorAll('#grid [data-slot]')) {
  const w = tile.querySelector('.state-word');
  const box = tile.getBoundingClientRect(), r = w.getBoundingClientRect();
  const range = document.createRange();
  range.selectNodeContents(w);
  const lines = new Set(Array.from(range.getClientRects()).map((x) => Math.round(x.top))).size;
  const words = w.textContent.trim().split(/\\s+/).length;
  if (w.scrollWidth > w.clientWidth + 1 || w.scrollHeight > w.clientHeight + 1 ||
      r.left < box.left - 1 || r.right > box.right + 1 || r.bottom > box.bottom + 1 || lines > words) {
    cut.push(tile.dataset.state + ': ' + w.textContent + ' (' + lines + ' lines)');
  }
}
const top = document.getElementById('top');
if (top && top.scrollWidth > top.clientWidth + 1) cut.push('the header overflows');
return cut;
"""

DRAWN_JS = """
const want = arguments[0];
const tiles = Array.from(document.querySelectorAll('#grid [data-slot]'));
return tiles.length === want.length && tiles.every((t, i) => t.dataset.state === want[i]) &&
  document.documentElement.lang === arguments[1];
"""


def data_of(state):
    """Texts the page may show as they are: they come from devices, files and people."""
    texts = set()
    run, image = state.get("run", {}), state.get("image") or {}
    texts.update(str(run.get(k, "")) for k in ("operator", "lot"))
    texts.update(str(image.get(k) or "") for k in ("name", "module", "software", "sha256"))
    for reason in state.get("reasons", []):
        texts.add(reason.get("message", ""))
    texts.add((state.get("line") or {}).get("reason", ""))
    for slot in state.get("slots", []):
        texts.update(str(slot.get(k) or "") for k in ("label", "port", "from", "to", "serial",
                                                      "lastSerial"))
        texts.update(str(v) for v in (slot.get("scanner") or {}).values())
        texts.add((slot.get("end") or {}).get("message", ""))
        texts.update(slot.get("trace", []))
        for hint in slot.get("hints", []):
            texts.update(str(v) for v in hint.get("facts", {}).values())
    return sorted((t for t in texts if t), key=len, reverse=True)


def outside_catalog(texts, data):
    """The texts with letters left once marked strings and data are taken out."""
    found = []
    for text in texts:
        rest = re.sub(re.escape(OPEN) + ".*?" + re.escape(CLOSE), " ", text)
        for d in data:
            rest = rest.replace(d, " ")
        if not RESIDUE.match(rest):
            found.append(text)
    return found


class Bench:
    def __init__(self, states, checks, profile):
        from station_browser_test import open_browser
        self.states, self.checks = states, checks
        self.page = Page()
        self.driver = open_browser(profile)
        self.base = "http://127.0.0.1:%d/" % self.page.port

    def size(self, slots):
        width, height = SIZES[slots]
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": height, "deviceScaleFactor": 1,
                                     "mobile": False})

    def show(self, state, lang):
        """Draws `state`; False when the page did not draw it in time."""
        self.page.show(state)
        want = [s["state"] for s in state["slots"]]
        lang_tag = "en" if lang == "qps" else lang
        drawn = wait_for(lambda: self.driver.execute_script(DRAWN_JS, want, lang_tag), 20, 0.05)
        if drawn:  # two frames: the words are sized
            self.driver.execute_async_script(
                "requestAnimationFrame(() => requestAnimationFrame(arguments[0]));")
        return self.checks.check(drawn, "%s: the page drew the state %s" % (lang, want))

    def open(self, lang):
        self.driver.get(self.base + "?lang=" + lang)

    def console_errors(self):
        return [e for e in self.driver.get_log("browser") if e.get("level") == "SEVERE"]

    def close(self):
        self.driver.quit()
        self.page.close()


def check_pseudo(bench, work):
    c = bench.checks
    bench.size(8)
    bench.open("qps")
    for n, state in enumerate(bench.states["screens"] + [bench.states["bench"]]):
        if not bench.show(state, "qps"):
            return
        strays = outside_catalog(bench.driver.execute_script(VISIBLE_JS), data_of(state))
        c.check(not strays, "screen %d: text from outside the catalog: %s" % (n, strays))
        marked = sum(OPEN in t for t in bench.driver.execute_script(VISIBLE_JS))
        c.check(marked > 20, "screen %d: the pseudo-language is in use (%d marked)" % (n, marked))
    # Details of a failed slot: its hints, end and counts.
    failed = [i for i, s in enumerate(state["slots"]) if s["state"] == "failed"][0]
    bench.driver.execute_script(
        "document.querySelectorAll('#grid [data-slot]')[arguments[0]].click();", failed)
    wait_for(lambda: bench.driver.execute_script("return document.getElementById('details').open"),
             10)
    strays = outside_catalog(bench.driver.execute_script(VISIBLE_JS), data_of(state))
    c.check(not strays, "the details: text from outside the catalog: %s" % strays)


def check_fit(bench, work):
    for lang in LANGUAGES:
        check_fit_in(bench, lang)


def check_fit_in(bench, lang):
    c = bench.checks
    bench.open(lang)
    for slots, states in ((8, bench.states["screens"]), (32, [bench.states["wide"]])):
        bench.size(slots)
        for n, state in enumerate(states):
            if not bench.show(state, lang):
                return
            cut = bench.driver.execute_script(CUT_WORDS_JS)
            c.check(not cut, "%s, %d slots, screen %d: cut: %s" % (lang, slots, n, cut))


# Each plural string for 1, 2, 5, 12 and 22, and the form Polish takes for each.
PLURALS_JS = """
const rules = new Intl.PluralRules('pl');
const out = {};
for (const [key, others] of Object.entries(arguments[0])) {
  out[key] = [1, 2, 5, 12, 22].map((n) => [I18n.t(key, Object.assign({ count: n }, others)),
                                          rules.select(n)]);
}
return out;
"""


def check_polish(bench, work):
    c = bench.checks
    catalog = json.load(open(os.path.join(PAGE, "lang", "pl.json"), encoding="utf-8"))
    keys = [k for k, v in catalog.items() if isinstance(v, dict)]
    c.check(len(keys) > 0, "the Polish catalog has plural strings")
    bench.open("pl")
    bench.show(bench.states["bench"], "pl")
    wanted = {1: "one", 2: "few", 5: "many", 12: "many", 22: "few"}
    # Each other placeholder gets a word of its own, so the form shows whole.
    others = {k: {name: "<%s>" % name for name in re.findall(r"\{(\w+)\}", v["other"])
                  if name != "count"} for k, v in ((k, catalog[k]) for k in keys)}
    for key, shown in bench.driver.execute_script(PLURALS_JS, others).items():
        for n, (text, form) in zip(sorted(wanted), shown):
            expected = catalog[key][wanted[n]].replace("{count}", str(n))
            for name, value in others[key].items():
                expected = expected.replace("{%s}" % name, value)
            c.check(form == wanted[n] and text == expected,
                    "pl %s for %d: '%s', its %s form '%s'" % (key, n, text, wanted[n], expected))
    # The words a Polish operator reads: each number with its own ending.
    scanners = bench.driver.execute_script(
        "return [1, 2, 5, 22].map((n) => I18n.t('results.summary', { count: n }).split(' ')[1]);")
    c.check(scanners == ["skaner", "skanery", "skanerów", "skanery"], "Polish scanners: %s" % scanners)


def check_choice(bench, profile_root):
    c = bench.checks
    d = bench.driver
    lang = lambda: d.execute_script("return document.documentElement.lang")  # noqa: E731
    bench.open("de")
    c.check(wait_for(lambda: lang() == "de", 10), "?lang=de: the page is German")
    select = d.execute_script("return document.querySelector('select#lang, #top select')")
    if not c.check(select is not None, "a language selector in the header"):
        return
    d.execute_script("arguments[0].value = 'pl';"
                     "arguments[0].dispatchEvent(new Event('change', { bubbles: true }));", select)
    c.check(wait_for(lambda: lang() == "pl", 10), "the selector turns the page Polish")
    d.get(bench.base)
    bench.show(bench.states["bench"], "pl")
    c.check(lang() == "pl", "the choice is remembered after a reload: %s" % lang())

    # A new browser whose own language is Austrian German, then Chinese (Singapore).
    from station_browser_test import open_browser_with
    for accept, want in (("de-AT,de", "de"), ("zh-SG,zh", "zh-CN"), ("fr-FR,fr", "en")):
        other = open_browser_with(os.path.join(profile_root, accept[:5]), accept)
        try:
            other.get(bench.base)
            got = lambda: other.execute_script("return document.documentElement.lang")  # noqa
            c.check(wait_for(lambda: got() == want, 10),
                    "a browser in %s gets %s: %s" % (accept, want, got()))
        finally:
            other.quit()


def screenshots(bench, out_dir):
    bench.size(8)
    for lang in ("zh-CN", "vi"):
        bench.open(lang)
        bench.show(bench.states["bench"], lang)
        path = os.path.join(out_dir, "station-%s.png" % lang)
        bench.checks.check(bench.driver.save_screenshot(path), "a screenshot in " + path)
        if os.environ.get("ORVANE_UPDATE_DOCS") == "1":
            shutil.copyfile(path, os.path.join(SOURCE, "docs", os.path.basename(path)))
        print("screenshot: " + path)


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    out_dir = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.dirname(bin_dir))
    browser_or_fail()
    os.makedirs(out_dir, exist_ok=True)
    states = json.loads(subprocess.check_output([os.path.join(bin_dir, "page_states")]))
    checks = Checks("station words")
    work = tempfile.mkdtemp(prefix="station-words-")
    bench = None
    try:
        bench = Bench(states, checks, os.path.join(work, "profile"))
        for part in (check_pseudo, check_fit, check_polish, check_choice, screenshots):
            started = time.monotonic()
            part(bench, out_dir if part is screenshots else work)
            print("%s: %.1f s" % (part.__name__, time.monotonic() - started), flush=True)
        errors = bench.console_errors()
        checks.check(not errors, "the browser's console has errors: %s" % errors)
    finally:
        if bench:
            bench.close()
        shutil.rmtree(work, ignore_errors=True)
    checks.finish()


if __name__ == "__main__":
    main()
