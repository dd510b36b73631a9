#!/usr/bin/env python3
"""The table of upload_bench.sh: min/median/max over the runs, against the goals.

    python3 bench/upload_report.py OUT_DIR RUNS PORTS
"""
import json
import statistics
import sys
from pathlib import Path

out, runs, many = Path(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])


def cpu_seconds(line):
    """Seconds from one `times` figure pair such as '0m0.012s 0m0.004s'."""
    total = 0.0
    for figure in line.split():
        minutes, seconds = figure.rstrip("s").split("m")
        total += int(minutes) * 60 + float(seconds)
    return total


def load_run(directory, ports):
    command = (directory / "command.txt").read_text().splitlines()
    start, end, _ = command[2].split()
    stats = [json.loads((directory / f"stats{i}.json").read_text()) for i in range(1, ports + 1)]
    reports = [json.loads(l) for l in (directory / "report.jsonl").read_text().splitlines() if l]
    phase = statistics.mean(s["phase_s"] for s in stats)
    command_cpu = cpu_seconds(command[1])  # the children's line: orvane-flash and its own
    resent = {r.get("port"): r.get("blocks_resent", 0) for r in reports}
    return {
        "per_port": [(s["ratio"], resent.get(s["port"], "?")) for s in stats],
        "wall": float(end) - float(start),
        "stats": stats,
        "resent": sum(r.get("blocks_resent", 0) for r in reports),
        "reports": len(reports),
        # Whole command (dialogue included) per port, against the upload phase.
        "command_cpu_pct": 100 * command_cpu / ports / phase,
    }


def spread(values, fmt):
    values = sorted(values)
    return " / ".join(fmt.format(v) for v in (values[0], statistics.median(values), values[-1]))


one = [load_run(out / f"one-{r}", 1) for r in range(1, runs + 1)]
eight = [load_run(out / f"many-{r}", many) for r in range(1, runs + 1)]


def per_port(run_list, key, sub=None):
    values = []
    for run in run_list:
        for s in run["stats"]:
            v = s[key] if sub is None else s[key][sub]
            values.append(v)
    return values


def row(name, goal, one_values, many_values, fmt):
    print(f"{name:<34} {goal:>9}  {spread(one_values, fmt):>26}  {spread(many_values, fmt):>26}")


print()
print(f"min / median / max over {runs} run(s); '{many} ports' pools every port of every run")
print(f"{'':<34} {'goal':>9}  {'1 port':>26}  {f'{many} ports':>26}")
row("upload phase / wire time", "<= 1.010", per_port(one, "ratio"), per_port(eight, "ratio"),
    "{:.4f}")
row("  less the relay's own lateness", "", per_port(one, "ratio_less_relay"),
    per_port(eight, "ratio_less_relay"), "{:.4f}")
row("time past the wire's, ms/block", "",
    [1000 * (s["phase_s"] - s["wire_s"]) / s["blocks"] for r in one for s in r["stats"]],
    [1000 * (s["phase_s"] - s["wire_s"]) / s["blocks"] for r in eight for s in r["stats"]],
    "{:.3f}")
row("utility reaction, mean ms/block", "<= 0.080", per_port(one, "utility_gap_ms", "mean"),
    per_port(eight, "utility_gap_ms", "mean"), "{:.3f}")
row("utility reaction, p99 ms", "", per_port(one, "utility_gap_ms", "p99"),
    per_port(eight, "utility_gap_ms", "p99"), "{:.3f}")
row("utility reaction, max ms", "", per_port(one, "utility_gap_ms", "max"),
    per_port(eight, "utility_gap_ms", "max"), "{:.3f}")
row("emulator answer, mean ms/block", "", per_port(one, "scanner_gap_ms", "mean"),
    per_port(eight, "scanner_gap_ms", "mean"), "{:.3f}")
row("orvane-flash CPU in phase, %/port", "<= 1", per_port(one, "utility_cpu_pct"),
    per_port(eight, "utility_cpu_pct"), "{:.2f}")
row("whole command CPU, %/port", "", [r["command_cpu_pct"] for r in one],
    [r["command_cpu_pct"] for r in eight], "{:.2f}")
row("blocks sent again (report)", "0", [r["resent"] for r in one], [r["resent"] for r in eight],
    "{:.0f}")
row("blocks repeated on the wire", "0", per_port(one, "blocks_repeated"),
    per_port(eight, "blocks_repeated"), "{:.0f}")
row("wall time of the command, s", "", [r["wall"] for r in one], [r["wall"] for r in eight],
    "{:.3f}")
row("upload phase, s", "", per_port(one, "phase_s"), per_port(eight, "phase_s"), "{:.3f}")
row("relay CPU in phase, %", "", per_port(one, "relay_cpu_pct"), per_port(eight, "relay_cpu_pct"),
    "{:.2f}")
row("relay lateness to scanner, mean µs", "",
    [s["late_us"]["to_scanner"]["mean"] for r in one for s in r["stats"]],
    [s["late_us"]["to_scanner"]["mean"] for r in eight for s in r["stats"]], "{:.1f}")
row("relay lateness, block ends, max µs", "",
    [s["late_us"]["block_end"]["max"] for r in one for s in r["stats"]],
    [s["late_us"]["block_end"]["max"] for r in eight for s in r["stats"]], "{:.0f}")
row("relay lateness, ACKs, mean µs", "",
    [s["late_us"]["to_utility"]["mean"] for r in one for s in r["stats"]],
    [s["late_us"]["to_utility"]["mean"] for r in eight for s in r["stats"]], "{:.1f}")
row("relay lateness, ACKs, max µs", "",
    [s["late_us"]["to_utility"]["max"] for r in one for s in r["stats"]],
    [s["late_us"]["to_utility"]["max"] for r in eight for s in r["stats"]], "{:.0f}")

print()
print(f"each port's ratio (blocks sent again) in the {many}-port runs:")
for r, run in enumerate(eight, 1):
    print(f"  run {r}: " + "  ".join(f"{ratio:.4f} ({again})" for ratio, again in run["per_port"]))

wall_one = statistics.median(r["wall"] for r in one)
wall_many = statistics.median(r["wall"] for r in eight)
print()
print(f"{many} ports' wall time / 1 port's (medians): {wall_many / wall_one:.4f}   goal <= 1.05")
blocks = {s["blocks"] for r in one + eight for s in r["stats"]}
print(f"blocks per upload: {', '.join(map(str, sorted(blocks)))}; "
      f"wire time per upload {one[0]['stats'][0]['wire_s']:.3f} s "
      f"({one[0]['stats'][0]['wire_s'] / max(blocks) * 1000:.3f} ms per block and its ACK)")
