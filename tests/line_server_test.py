#!/usr/bin/python3
"""The line server as stations and browsers meet it, against a PostgreSQL of
the test's own: batches kept once whatever is sent again, keys, hostile and
malformed bodies, the database taken away and back, the server killed mid
batch, OFFLINE after missed beats, and a lot's CSV.

    pg_cluster.py -- line_server_test.py BIN_DIR
"""
import json
import os
import signal
import socket
import sys
import threading

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from line_lib import (Events, LineServer, add_station, control, flash_line,  # noqa: E402
                      make_record, post_station, request, sql, DB)
from station_lib import Checks  # noqa: E402

RECORDS = "/api/station/records"
BEAT = "/api/station/beat"
HOSTILE = "'); DROP TABLE upgrade_records; -- <img src=x onerror=alert(1)> \u5de5\u4f4d \U0001f98a"


def stored(station):
    return int(sql("select count(*) from upgrade_records where station = $1", station) or -1)


def batch_kept_once(c, port, key):
    batch = [make_record("one", n) for n in range(1, 4)]
    answers = [post_station(port, RECORDS, "one", key, {"records": batch}) for _ in range(5)]
    bodies = [json.loads(a[2]) for a in answers if a[0] == 200]
    c.check(len(bodies) == 5 and bodies[0]["inserted"] == 3 and
            all(b == {"inserted": 0, "already": 3, "conflicting": 0} for b in bodies[1:]),
            "a batch sent five times: stored once, then already there: %r" % answers)
    both = []
    threads = [threading.Thread(target=lambda: both.append(
        post_station(port, RECORDS, "one", key, {"records": batch})[0])) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    c.check(both == [200, 200] and stored("one") == 3,
            "two deliveries of it at once keep it once: %r, %d" % (both, stored("one")))
    changed = dict(batch[0], message="changed")
    got = post_station(port, RECORDS, "one", key, {"records": [changed]})
    c.check(got[0] == 200 and json.loads(got[2])["conflicting"] == 1 and
            sql("select message from upgrade_records where record_id = $1",
                batch[0]["record_id"]) == "upgrade success!!!",
            "other content under a kept id is set aside, not written over: %r" % (got,))


def keys_refused(c, bin_dir, port, key):
    record = make_record("one", 10)
    cases = [("a wrong key", "one", "0" * 64, 401), ("another station's name", "two", key, 401),
             ("no key at all", "one", "", 401), ("a key of the wrong shape", "one", "x" * 64, 401)]
    for what, station, used, status in cases:
        got = post_station(port, RECORDS, station, used, {"records": [dict(record,
                                                                         station=station)]})
        c.check(got[0] == status, "%s: %d, wanted %d (%r)" % (what, got[0], status, got[2]))
    revoked_key = add_station(bin_dir, "revoked")
    flash_line(bin_dir, "revoke-station", "revoked", "--db", DB)
    got = post_station(port, RECORDS, "revoked", revoked_key,
                       {"records": [make_record("revoked", 1)]})
    c.check(got[0] == 403 and b"revoked" in got[2], "a revoked key: 403 (%r)" % (got,))
    c.check(stored("one") == 3 and stored("two") == 0 and stored("revoked") == 0,
            "nothing of a refused station got in")


def malformed_refused(c, port, key):
    good = make_record("one", 20)
    cases = [
        ("not JSON", b"{nope", 400),
        ("a list", b"[]", 400),
        ("no records", json.dumps({"station": "one", "records": []}).encode(), 400),
        ("201 records", json.dumps({"station": "one", "records": [good] * 201}).encode(), 400),
        ("another station's record",
         json.dumps({"station": "one", "records": [dict(good, station="two")]}).encode(), 400),
        ("no sequence number",
         json.dumps({"station": "one", "records": [dict(good, seq=0)]}).encode(), 400),
        ("a record id that is no UUID",
         json.dumps({"station": "one", "records": [dict(good, record_id="1; DROP")]}).encode(),
         400),
        ("a time without a zone",
         json.dumps({"station": "one", "records": [dict(good, ended_at="2026-12-09 10:00")]})
         .encode(), 400),
        ("a name of 10 000 characters",
         json.dumps({"station": "x" * 10000, "records": [good]}).encode(), 400),
    ]
    for what, body, status in cases:
        got = post_station(port, RECORDS, "one", key, None, raw=body)
        c.check(got[0] == status and got[2].strip(),
                "%s: %d with a reason, wanted %d (%r)" % (what, got[0], status, got[2][:200]))
    status = oversized_status(port, key)
    c.check(status == 413, "a body of 5 MiB is refused before it is read: %r" % status)
    c.check(stored("one") == 3, "nothing of a malformed batch is stored")


def oversized_status(port, key):
    """The status a body of 5 MiB gets, read before the body is sent."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(("POST %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAuthorization: Bearer %s\r\n"
                   "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n{"
                   % (RECORDS, port, key, 5 << 20)).encode())
        head = s.recv(200).decode(errors="replace")
    return int(head.split()[1]) if head.startswith("HTTP/1.1 ") else head


def hostile_texts_kept(c, port, key):
    record = make_record("one", 30, lot=HOSTILE, serial=HOSTILE, slot=HOSTILE,
                         operator=HOSTILE, message=HOSTILE, image=HOSTILE)
    got = post_station(port, RECORDS, "one", key, {"records": [record]})
    c.check(got[0] == 200, "a record with SQL and markup in every text: %r" % (got,))
    row = sql("select concat_ws('|', lot, unit_serial, slot, operator, message, image_name) "
              "from upgrade_records where record_id = $1", record["record_id"])
    c.check(row == "|".join([HOSTILE] * 6), "every text stored exactly: %r" % row)
    status, headers, body = request(port, "GET", "/api/lot.csv?lot=" +
                                    "".join("%%%02X" % b for b in HOSTILE.encode()),
                                    headers={"Cookie": "orvane_line_%d=%s" % (port, TOKEN[0])})
    text = body.decode()
    c.check(status == 200 and record["record_id"] in text and "DROP TABLE" in text and
            text.count("\n") == 2 and "lot-" in headers.get("Content-Disposition", ""),
            "the lot's CSV holds its one record: %d %r" % (status, text[:300]))


def database_away(c, port, key, events):
    control("stop")
    try:
        got = post_station(port, RECORDS, "one", key, {"records": [make_record("one", 40)]})
        c.check(got[0] == 503 and got[1].get("Retry-After") == "2",
                "the database stopped: 503 with Retry-After (%r)" % (got[:2],))
        beat = post_station(port, BEAT, "one", key, {"beat": {"version": 1, "slots": []}})
        c.check(beat[0] == 200, "a beat with a key checked just now still counts: %r" % (beat,))
        state = events.until(lambda s: not s["database"]["ok"], 15)
        c.check(state is not None and state["database"]["since"],
                "the page is told the database is away, and since when")
    finally:
        control("start")
    record = make_record("one", 41)
    statuses = []
    for _ in range(20):
        statuses.append(post_station(port, RECORDS, "one", key, {"records": [record]})[0])
        if statuses[-1] == 200:
            break
    c.check(statuses[-1] == 200 and stored("one") == 5,
            "the database back: the server connects again by itself: %r" % statuses)


def killed_mid_batch(c, bin_dir, server, key):
    batch = [make_record("one", 100 + n) for n in range(200)]
    body = json.dumps({"station": "one", "records": batch}).encode()
    sender = threading.Thread(target=lambda: _quiet_post(server.port, key, body))
    before = stored("one")
    sender.start()
    server.stop(signal.SIGKILL)
    sender.join()
    after_kill = stored("one") - before
    c.check(after_kill in (0, 200), "a server killed mid batch leaves all or none: %d" % after_kill)
    server.start()
    got = post_station(server.port, RECORDS, "one", key, None, raw=body)
    c.check(got[0] == 200 and stored("one") - before == 200,
            "sent again after a restart: all 200 kept once: %r" % (got[:1],))


def _quiet_post(port, key, body):
    try:
        post_station(port, RECORDS, "one", key, None, raw=body)
    except OSError:
        pass


def offline_after_missed_beats(c, port, key, events):
    post_station(port, BEAT, "one", key, {"beat": {"version": 1, "slots": []}})
    online = events.until(lambda s: any(x["name"] == "one" and x["online"]
                                        for x in s["stations"]), 10)
    offline = events.until(lambda s: any(x["name"] == "one" and not x["online"]
                                          for x in s["stations"]), 15)
    c.check(online and offline, "ONLINE on a beat, OFFLINE after three missed")
    post_station(port, BEAT, "one", key, {"beat": {"version": 1, "slots": []}})
    c.check(events.until(lambda s: any(x["name"] == "one" and x["online"]
                                       for x in s["stations"]), 10),
            "ONLINE again when heard")


def pages_guarded(c, port):
    status, _, _ = request(port, "GET", "/", headers={"Host": "evil.example:%d" % port})
    c.check(status == 403, "a Host of another name is refused: %d" % status)
    status, _, _ = request(port, "GET", "/line.js")
    c.check(status == 403, "no page without the view token: %d" % status)
    status, headers, _ = request(port, "GET", "/?token=" + TOKEN[0])
    c.check(status == 303 and "HttpOnly" in headers.get("Set-Cookie", ""),
            "the token becomes a cookie: %d %r" % (status, headers))
    cookie = {"Cookie": "orvane_line_%d=%s" % (port, TOKEN[0])}
    for path in ("/", "/line.js", "/i18n.js", "/state_stream.js", "/lang/pl.json"):
        status, _, _ = request(port, "GET", path, headers=cookie)
        c.check(status == 200, "%s is served: %d" % (path, status))
    status, _, _ = request(port, "POST", "/api/lot.csv", b"", dict(cookie, Origin="http://x"))
    c.check(status == 403, "the page is read-only: a POST is refused: %d" % status)


TOKEN = [None]


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    c = Checks("line server")
    key = add_station(bin_dir, "one")
    add_station(bin_dir, "two")
    server = LineServer(bin_dir).start()
    TOKEN[0] = server.token
    events = None
    try:
        events = Events(server.port, server.token)
        batch_kept_once(c, server.port, key)
        keys_refused(c, bin_dir, server.port, key)
        malformed_refused(c, server.port, key)
        hostile_texts_kept(c, server.port, key)
        pages_guarded(c, server.port)
        database_away(c, server.port, key, events)
        offline_after_missed_beats(c, server.port, key, events)
        events.close()
        events = None
        killed_mid_batch(c, bin_dir, server, key)
        c.check(server.token == TOKEN[0], "the view token outlives a restart")
    except Exception:
        print("the line server said:\n" + server.said[-6000:])
        raise
    finally:
        if events:
            events.close()
        status = server.stop()
    c.check(status == 0, "the server stops on SIGTERM with status 0: %r" % status)
    if c.failures:
        print("the line server said:\n" + server.said[-6000:])
    c.finish()


if __name__ == "__main__":
    main()
