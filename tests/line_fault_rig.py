#!/usr/bin/env python3
"""Seeded upgrades over a bad line, judged the way a user would judge them.

Each run makes an image, starts orvane-bootsim with random line faults in both
directions (bit flips, dropped, doubled and inserted bytes, pauses, stalls,
unplugging) and upgrades it with orvane-flash. A run passes when:
  - exit status 0 comes only with the emulator's flash holding exactly the image;
  - orvane-flash ends within the transfer's bound;
  - its last line is one of the utility's result messages.
A success over a flash that lacks the image is a false success. Its cause is
inherent to the protocol when the line turned the scanner's NAK into an ACK,
or damaged a block in a way its 8-bit checksum cannot see; any other cause is
the sender's, and must never happen.

    line_fault_rig.py --bin build/bin [--runs 300] [--first-seed 1] [--jobs 2]
                      [--out DIR] [--max-size 6000]

Exit status 0 when every run passed, 1 otherwise.
"""
import argparse
import concurrent.futures
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

ACK, NAK = 0x06, 0x15

# Every line an upgrade can end with.
RESULTS = [
    r"upgrade success!!!",
    r"upgrade not finish!!!",
    r"Scanner is not connected or not in upgrade mode",
    r'Write ".*" fail',
    r"Get scanner ID failed",
    r"Got a invalid scanner ID",
    r"Mismatch Module NO\.",
    r"Mismatch Software ID",
    r"Erase Flash failed",
    r"Erase parameter area failed",
    r"cannot open .*",
    r"empty image .*",
    r"Cannot open this com port",
]
RESULT = re.compile("^(" + "|".join(RESULTS) + ")$")

# The bound of one upgrade, from the utility's own limits: the dialogue, the
# start signal (10 s), each block on the wire, each block sent again (an
# answer wait of 2.5 s, a second for bytes already in the driver, and the
# quiet wait after a repeated block), and what the line itself held back.
DIALOGUE_S, START_S, BLOCK_S, RESEND_S = 20.0, 12.5, 0.05, 6.5


def bound(blocks, resent, held_ms):
    return DIALOGUE_S + START_S + blocks * BLOCK_S + resent * RESEND_S + held_ms / 1000.0


def wait_for_file(path, proc, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return True
        if proc.poll() is not None:
            return False
        time.sleep(0.02)
    return False


def classify(summary):
    """Why the flash lacks the image although the utility said success."""
    for f in summary["line_faults"]:
        if not f["to_scanner"] and f["byte"] == NAK and f["kind"] == "flip" and f["value"] == ACK:
            return "inherent: NAK turned into ACK"
    if summary["damaged_accepted"] > 0:
        return "inherent: damage the checksum cannot see"
    return "sender"


def plan(seed, max_size):
    rng = random.Random(seed)
    size = rng.randint(200, max_size)
    header = rng.random() < 0.4
    payload = size - 1024 if header and size > 1024 else size
    if header and size <= 1024:
        header = False
    blocks = payload // 128 + 1
    return {
        "seed": seed,
        "size": size,
        "header": header,
        "paced": rng.random() < 0.5,
        "blocks": blocks,
        # About one fault per direction and run, sometimes none, sometimes several.
        "in": rng.uniform(0.2, 2.0) / (size + 100),
        "out": rng.uniform(0.2, 2.0) / (blocks + 400),
    }


def run_one(args, p):
    work = tempfile.mkdtemp(prefix="seed%d-" % p["seed"], dir=args.out)
    image, port, summary_file = (os.path.join(work, n) for n in ("fw.bin", "port", "summary.json"))
    report = os.path.join(work, "report.jsonl")
    mk = [os.path.join(args.bin, "orvane-mkimage"), "--out", image, "--size", str(p["size"]),
          "--seed", str(p["seed"]), "--key", "90", "--software", "1.00.01"]
    if not p["header"]:
        mk.append("--no-header")
    subprocess.run(mk, check=True, stdout=subprocess.DEVNULL)
    # The scanner insists on the image's key only where a header brings one.
    key = ["--key", "90"] if p["header"] else []
    sim_cmd = [os.path.join(args.bin, "orvane-bootsim")] + key + ["--expect", image,
               "--summary", summary_file, "--path-file", port, "--line-seed", str(p["seed"]),
               "--line-faults-in", "%.9f" % p["in"], "--line-faults-out", "%.9f" % p["out"]]
    if p["paced"]:
        sim_cmd.append("--line-rate")
    with open(os.path.join(work, "sim.log"), "w") as sim_log:
        sim = subprocess.Popen(sim_cmd, stdout=sim_log, stderr=subprocess.STDOUT)
    result = dict(p, work=work)
    try:
        if not wait_for_file(port, sim, 10):
            result["verdict"] = "emulator did not start"
            return result
        device = open(port).read().strip()
        flash = [os.path.join(args.bin, "orvane-flash"), "upgrade", "-q", "-p", device,
                 "--report", report, image]
        limit = bound(p["blocks"], 11 * p["blocks"], 0) + 60
        started = time.monotonic()
        with open(os.path.join(work, "flash.err"), "w+") as err:
            try:
                status = subprocess.run(flash, stdout=subprocess.DEVNULL, stderr=err,
                                        timeout=limit).returncode
            except subprocess.TimeoutExpired:
                status = None
            err.seek(0)
            lines = err.read().splitlines()
        result["seconds"] = time.monotonic() - started
        result["exit"] = status
        result["last"] = lines[-1] if lines else ""
    finally:
        sim.send_signal(signal.SIGTERM)
        try:
            sim.wait(timeout=30)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
    judge(result, summary_file, report)
    return result


def judge(r, summary_file, report):
    if r.get("exit") is None:
        r["verdict"] = "hang"
        return
    try:
        with open(summary_file) as f:
            s = json.load(f)
        with open(report) as f:
            record = json.loads(f.read().splitlines()[-1])
    except (OSError, ValueError, IndexError) as e:
        r["verdict"] = "no summary or record (%s)" % e
        return
    r["faults"] = ["%s:%s" % ("in" if f["to_scanner"] else "out", f["kind"])
                   for f in s["line_faults"]]
    held = sum(f["value"] for f in s["line_faults"] if f["kind"] in ("pause", "stall"))
    r["resent"] = record.get("blocks_resent", 0)
    r["bound"] = bound(r["blocks"], r["resent"], held)
    if r["exit"] == 0 and not s["flash_exact"]:
        r["verdict"] = "false success (%s)" % classify(s)
    elif not RESULT.match(r["last"]):
        r["verdict"] = "last line is no result message"
    elif (r["exit"] == 0) != (r["last"] == "upgrade success!!!"):
        r["verdict"] = "exit status and message disagree"
    elif r["seconds"] > r["bound"]:
        r["verdict"] = "took %.1f s, bound %.1f s" % (r["seconds"], r["bound"])
    else:
        r["verdict"] = "ok"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", required=True)
    ap.add_argument("--runs", type=int, default=300)
    ap.add_argument("--first-seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--max-size", type=int, default=6000)
    ap.add_argument("--out", default=None)
    args = ap.parse_args()
    args.out = args.out or tempfile.mkdtemp(prefix="line-faults-")
    os.makedirs(args.out, exist_ok=True)
    plans = [plan(s, args.max_size) for s in range(args.first_seed, args.first_seed + args.runs)]
    results = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for r in pool.map(lambda p: run_one(args, p), plans):
            results.append(r)
            print("seed %4d %5d B %-6s %-5s exit %-4s %-48s %s  [%s]" % (
                r["seed"], r["size"], "header" if r["header"] else "plain",
                "paced" if r["paced"] else "fast", r.get("exit"), r.get("last", "")[:48],
                r["verdict"], " ".join(r.get("faults", []))), flush=True)
    return summarize(results, args.out)


def summarize(results, out):
    count = lambda pred: sum(1 for r in results if pred(r))
    print("\n%d runs in %s" % (len(results), out))
    print("  upgrade success, flash exact: %d" % count(lambda r: r.get("exit") == 0
                                                          and r["verdict"] == "ok"))
    messages = {}
    for r in results:
        if r.get("exit") not in (0, None):
            messages[r["last"]] = messages.get(r["last"], 0) + 1
    for m, n in sorted(messages.items(), key=lambda kv: -kv[1]):
        print("  failed, %-50s %d" % (m, n))
    causes = {}
    for r in results:
        if r["verdict"].startswith("false success"):
            causes[r["verdict"]] = causes.get(r["verdict"], 0) + 1
    print("  false successes: %d" % sum(causes.values()))
    for c, n in causes.items():
        print("    %-60s %d" % (c, n))
    bad = [r for r in results if r["verdict"] != "ok"
           and not r["verdict"].startswith("false success (inherent")]
    for r in bad:
        print("FAIL seed %d: %s (%s)" % (r["seed"], r["verdict"], r["work"]))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
