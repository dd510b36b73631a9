#!/usr/bin/python3
"""Stations delivering to one line server, end to end: each station a
line_station_sim (its own SQLite spool and the real sender), the line server
(`orvane-flash line serve`) and a PostgreSQL of the run's own, fsync and
synchronous_commit on (the server's defaults).

    /usr/bin/python3 bench/line_bench.py BIN-FOLDER stations [--stations 20] [--rate 55] [--seconds 20]
    /usr/bin/python3 bench/line_bench.py BIN-FOLDER backlog  [--stations 20] [--count 500]

stations: every station spools --rate records a second for --seconds; from
the spools, throughput = records / (last delivered_at - first spooled_at),
and each record's latency = delivered_at - spooled_at (spooled to the line's
commit acknowledged and marked). Goals: at least 1000 records/s, p99 under
250 ms.

backlog: the line server is down while the stations spool --count records
each as fast as their spools take them; then it starts, and the time from
its start until the last record is delivered is measured. Goal: 10 000
records in at most 30 s.
"""
import argparse
import datetime
import json
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import pg_cluster  # noqa: E402
import line_lib  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
# Started here, stopped however the run ends.
RUNNING = []


def ms_of(text):
    moment = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")
    return moment.replace(tzinfo=datetime.timezone.utc).timestamp() * 1000


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))] if values else 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def proc_cpu(pid):
    """User + system seconds of a process, and of its children it reaped."""
    try:
        fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0, 0.0
    return (int(fields[11]) + int(fields[12])) / TICKS, (int(fields[13]) + int(fields[14])) / TICKS


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                fields = open("/proc/%s/stat" % entry).read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def postgres_cpu(cluster):
    """CPU seconds of the whole cluster: the postmaster, its live processes and those gone."""
    try:
        postmaster = int(open(os.path.join(cluster.data, "postmaster.pid")).readline())
    except (OSError, ValueError):
        return 0.0
    own, reaped = proc_cpu(postmaster)
    return own + reaped + sum(proc_cpu(child)[0] for child in children_of(postmaster))


def machine_cpu():
    """(busy, iowait, all) jiffies of the whole machine."""
    values = [int(v) for v in open("/proc/stat").readline().split()[1:]]
    idle, iowait = values[3], values[4]
    return sum(values) - idle - iowait, iowait, sum(values)


class Usage:
    """Where the CPU went between start() and stop()."""

    def __init__(self, cluster, server):
        self.cluster, self.server = cluster, server

    def start(self, sims):
        """sims: running already; what they used before is not counted."""
        self.before = sum(proc_cpu(sim.pid)[0] for sim in sims)
        self.t0 = time.time()
        self.machine0 = machine_cpu()
        self.server0 = proc_cpu(self.server.child.pid)[0]
        self.pg0 = postgres_cpu(self.cluster)
        self.sims0 = resource.getrusage(resource.RUSAGE_CHILDREN)

    def stop(self):
        wall = time.time() - self.t0
        m = [b - a for a, b in zip(self.machine0, machine_cpu())]
        sims = resource.getrusage(resource.RUSAGE_CHILDREN)
        cores = [(sims.ru_utime + sims.ru_stime - self.sims0.ru_utime - self.sims0.ru_stime -
                  self.before) / wall,
                 (proc_cpu(self.server.child.pid)[0] - self.server0) / wall,
                 (postgres_cpu(self.cluster) - self.pg0) / wall]
        busy = m[0] / m[2] * os.cpu_count()
        self.lines = [
            "CPU over %.1f s, in cores (2 on this machine: %d):" % (wall, os.cpu_count()),
            "  machine busy %.2f, waiting for the disk %.2f" % (busy, m[1] / m[2] * os.cpu_count()),
            "  stations (all sims) %.2f, line server %.2f, PostgreSQL %.2f, the rest "
            "(this script, the kernel's threads, other programs) %.2f" %
            tuple(cores + [busy - sum(cores)])]


def drain(stream, into):
    for line in iter(stream.readline, b""):
        into.append(line.decode(errors="replace"))


def start_server(bin_dir, listen="127.0.0.1:0"):
    server = line_lib.LineServer(bin_dir)
    RUNNING.append(server)
    server.start(listen)
    # Its standard error is a pipe: read on, so that it never fills.
    server.log = []
    threading.Thread(target=drain, args=(server.child.stderr, server.log), daemon=True).start()
    return server


def add_stations(bin_dir, work, count):
    names = []
    for i in range(count):
        name = "bench-%d" % (i + 1)
        with open(os.path.join(work, name + ".key"), "w") as f:
            f.write(line_lib.add_station(bin_dir, name) + "\n")
        names.append(name)
    return names


def start_sims(bin_dir, work, names, url, extra):
    sims = []
    for name in names:
        sims.append(subprocess.Popen(
            [os.path.join(bin_dir, "line_station_sim"), "--line", url, "--station", name,
             "--station-key", os.path.join(work, name + ".key"),
             "--spool", os.path.join(work, name + ".spool")] + extra,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    RUNNING.extend(sims)
    return sims


def finish_sims(sims):
    """Each sim's summary; exits on a sim that failed."""
    summaries, failed = [], []
    for sim in sims:
        out, err = sim.communicate(timeout=600)
        lines = out.decode().splitlines()
        if sim.returncode != 0 or not lines:
            failed.append("exit %d: %s" % (sim.returncode, err.decode().strip()))
        else:
            summaries.append(json.loads(lines[-1]))
    if failed:
        raise SystemExit("line_bench: a station failed: " + "; ".join(failed))
    return summaries


def read_spools(work, names):
    """(spooled_at ms, delivered_at ms, record_id) of every record."""
    import sqlite3
    rows = []
    for name in names:
        db = sqlite3.connect(os.path.join(work, name + ".spool"))
        for record_id, spooled, delivered in db.execute(
                "SELECT record_id, spooled_at, delivered_at FROM records"):
            if delivered is None:
                raise SystemExit("line_bench: %s has a record not delivered" % name)
            rows.append((ms_of(spooled), ms_of(delivered), record_id))
        db.close()
    return rows


def received_at():
    """The store's transaction start of each record (received_at), ms, by record id."""
    text = line_lib.sql("SELECT record_id || ' ' || extract(epoch FROM received_at) * 1000 "
                        "FROM upgrade_records")
    found = {}
    for line in text.splitlines():
        record_id, ms = line.split()
        found[record_id] = float(ms)
    return found


def spool_times(summaries):
    return "%.2f / %.2f / %.2f" % (
        percentile([s["spool_ms_p50"] for s in summaries], 0.5),
        max(s["spool_ms_p99"] for s in summaries), max(s["spool_ms_max"] for s in summaries))


def log_statements():
    """Has PostgreSQL log every statement with its duration."""
    line_lib.sql("ALTER SYSTEM SET log_min_duration_statement = 0")
    line_lib.sql("SELECT pg_reload_conf()")


def statement_times(cluster):
    """PostgreSQL's time per kind of statement, from its log."""
    import re
    totals = {}
    for line in open(cluster.log, errors="replace"):
        found = re.search(r"duration: ([0-9.]+) ms  (?:execute ([^:]+)|statement): ?(\S*)", line)
        if not found:
            continue
        name = found.group(2) or found.group(3) or "?"
        count, ms = totals.get(name, (0, 0.0))
        totals[name] = (count + 1, ms + float(found.group(1)))
    lines = ["PostgreSQL's statements (logged, which costs a little itself): count, total s, mean ms"]
    for name, (count, ms) in sorted(totals.items(), key=lambda kv: -kv[1][1])[:10]:
        lines.append("  %-20s %7d %8.2f %8.2f" % (name, count, ms / 1000, ms / count))
    return lines


def say_settings():
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    fsync = line_lib.sql("SHOW fsync")
    synchronous = line_lib.sql("SHOW synchronous_commit")
    print("PostgreSQL 15, a cluster of the run's own: fsync %s, synchronous_commit %s "
          "(the defaults); spools synchronous=FULL, WAL" % (fsync, synchronous))


def run_stations(a, cluster, work):
    names = add_stations(a.bin, work, a.stations)
    if a.pg_log:
        log_statements()
    server = start_server(a.bin)
    say_settings()
    usage = Usage(cluster, server)
    start_at = int(time.time() * 1000) + 1500
    extra = ["--rate", str(a.rate), "--seconds", str(a.seconds), "--start-at", str(start_at)]
    sims = start_sims(a.bin, work, names, server.url(), extra)
    time.sleep(max(0, start_at / 1000 - time.time()))
    usage.start(sims)
    summaries = finish_sims(sims)
    usage.stop()
    server.stop()
    rows = read_spools(work, names)
    received = received_at()
    first = min(r[0] for r in rows)
    last = max(r[1] for r in rows)
    throughput = len(rows) / ((last - first) / 1000)
    latency = [r[1] - r[0] for r in rows]
    before = [received[r[2]] - r[0] for r in rows if r[2] in received]
    after = [r[1] - received[r[2]] for r in rows if r[2] in received]
    p99 = percentile(latency, 0.99)
    print("%d stations x %g records/s for %g s (offered %g records/s): %d records, %d in the "
          "database" % (a.stations, a.rate, a.seconds, a.stations * a.rate, len(rows),
                        len(received)))
    print("throughput          %.0f records/s (goal at least 1000)" % throughput)
    print("latency, ms         p50 %.1f  p99 %.1f  max %.1f (goal p99 under 250)" %
          (percentile(latency, 0.5), p99, max(latency)))
    print("  spooled -> the store's transaction began   p50 %.1f  p99 %.1f  max %.1f" %
          (percentile(before, 0.5), percentile(before, 0.99), max(before)))
    print("  transaction began -> marked delivered      p50 %.1f  p99 %.1f  max %.1f" %
          (percentile(after, 0.5), percentile(after, 0.99), max(after)))
    print("a record into the spool (fsync'd), ms: p50 %s (p50 / worst p99 / max of the stations)"
          % spool_times(summaries))
    print("stations' pacing: at most %.1f ms late" % max(s["most_late_ms"] for s in summaries))
    print("\n".join(usage.lines))
    if a.pg_log:
        print("\n".join(statement_times(cluster)))
    met = throughput >= 1000 and p99 < 250 and len(received) == len(rows)
    print("goals %s" % ("met" if met else "NOT met"))
    return met


def run_backlog(a, cluster, work):
    names = add_stations(a.bin, work, a.stations)
    say_settings()
    port = free_port()
    url = "http://127.0.0.1:%d" % port
    sims = start_sims(a.bin, work, names, url, ["--rate", "0", "--count", str(a.count),
                                                "--deadline", "300"])
    t0 = time.time()
    for sim in sims:
        line = sim.stdout.readline().decode().strip()
        if line != "spooled %d" % a.count:
            raise SystemExit("line_bench: a station did not spool: %r" % line)
    spooled_s = time.time() - t0
    started = time.time()
    server = start_server(a.bin, "127.0.0.1:%d" % port)
    ready_s = time.time() - started
    usage = Usage(cluster, server)
    usage.start(sims)
    summaries = finish_sims(sims)
    usage.stop()
    server.stop()
    rows = read_spools(work, names)
    total = len(rows)
    stored = int(line_lib.sql("SELECT count(*) FROM upgrade_records"))
    drained = max(r[1] for r in rows) / 1000 - started
    firsts = sorted(r[1] for r in rows)[0] / 1000 - started
    print("backlog: %d station(s) x %d records = %d, spooled with the line server down "
          "in %.1f s (a record into the spool p50 / worst p99 / max: %s ms)" %
          (a.stations, a.count, total, spooled_s, spool_times(summaries)))
    print("line server start -> serving %.2f s; -> first record delivered %.2f s" %
          (ready_s, firsts))
    print("line server start -> all delivered: %.2f s, %.0f records/s (goal at most 30 s); "
          "%d in the database" % (drained, total / drained, stored))
    print("\n".join(usage.lines))
    met = drained <= 30 and stored == total
    print("goal %s" % ("met" if met else "NOT met"))
    return met


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("what", choices=["stations", "backlog"])
    parser.add_argument("--stations", type=int, default=20)
    parser.add_argument("--rate", type=float, default=55)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--count", type=int, default=500)
    parser.add_argument("--pg-log", action="store_true",
                        help="where PostgreSQL's time goes, from its log of every statement")
    a = parser.parse_args()
    a.bin = os.path.abspath(a.bin)
    work = tempfile.mkdtemp(prefix="line-bench-")
    cluster = pg_cluster.Cluster()
    try:
        cluster.create()
        line_lib.DB = cluster.conninfo
        met = (run_stations if a.what == "stations" else run_backlog)(a, cluster, work)
    finally:
        for thing in RUNNING:
            if isinstance(thing, subprocess.Popen):
                if thing.poll() is None:
                    thing.kill()
                    thing.wait()
            else:
                thing.stop()
        cluster.remove()
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(0 if met else 1)


if __name__ == "__main__":
    main()
