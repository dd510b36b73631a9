#!/usr/bin/env python3
"""Where the utility's time between an ACK and the next block goes, from a
`perf script` dump of sched_switch, sched_wakeup and raw_syscalls events.

    python3 bench/reaction_profile.py PERF_SCRIPT_TEXT RELAY_PID RELAY_MASTER_FD UTILITY_PID

The text is `perf script -F comm,pid,tid,cpu,time,event,trace`; other
programs of the same name (the machine is shared) are told apart by pid.

Each block's chain: the relay writes the ACK to the utility's side of the
wire, the utility's reader thread is woken and runs, reads it, hands it to
the upgrade thread, which runs, reads the next block from the image and
writes the SOH, and the relay is woken by it. Events traced cost time
themselves, so the steps come out somewhat longer than in an untraced run.
"""
import bisect
import re
import statistics
import sys

EVENT = re.compile(r"^\s*(\S.*?)\s+(-?\d+)/(-?\d+)\s+\[(\d+)\]\s+([\d.]+):\s+(\S+):\s+(.*)$")
WRITE, POLL, FUTEX = 1, 7, 202  # x86-64 system call numbers

text, relay, master, utility = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
events = []  # (time, who, tid, event, text); who is "flash" for the utility's threads only
for line in open(text, errors="replace"):
    m = EVENT.match(line)
    if m:
        comm, pid, tid, _, t, name, rest = m.groups()
        who = "flash" if int(pid) == utility else comm
        events.append((float(t), who, int(tid), name, rest))
events.sort(key=lambda e: e[0])


def call(e, number):
    return e[3] == "raw_syscalls:sys_enter" and e[4].startswith(f"NR {number} (")


def returned(e, number):
    return e[3] == "raw_syscalls:sys_exit" and e[4].startswith(f"NR {number} ")


def woken(e):
    m = re.search(r"comm=.*? pid=(\d+)", e[4]) if e[3] == "sched:sched_wakeup" else None
    return int(m.group(1)) if m else None


def switched_to(e):
    m = re.search(r"next_pid=(\d+)", e[4]) if e[3] == "sched:sched_switch" else None
    return int(m.group(1)) if m else None


# The upgrade thread writes each block's 128 data bytes in one call; the
# reader is the utility's other thread that polls the port.
block_data = re.compile(r"NR 1 \(\d+, [0-9a-f]+, 80,")
flash = [e for e in events if e[1] == "flash"]
writers = [e[2] for e in flash if call(e, WRITE) and block_data.match(e[4])]
if not writers:
    sys.exit("reaction-profile: no block writes of orvane-flash in the trace")
main = writers[0]
reader = next(e[2] for e in flash if e[2] != main and call(e, POLL))
data_writes = [e[0] for e in flash if e[2] == main and call(e, WRITE) and block_data.match(e[4])]
answer_write = f"NR 1 ({master:x},"

steps = [
    ("ack", "pty: ACK written -> reader woken"),
    ("wake", "reader: woken -> running"),
    ("run", "reader: read, trace -> wakes upgrade thread"),
    ("handoff", "upgrade thread: woken -> running"),
    ("main", "upgrade thread: image read, sum -> SOH written"),
    ("soh", "pty and relay: SOH written -> relay running"),
    ("relay", None),
]
chains, chain = [], None
for e in events:
    t, _, tid, _, _ = e
    if tid == relay and e[3] == "raw_syscalls:sys_enter" and e[4].startswith(answer_write):
        chain = {"ack": t}
    elif chain is None:
        continue
    elif "wake" not in chain:
        if woken(e) == reader:
            chain["wake"] = t
    elif "run" not in chain:
        if switched_to(e) == reader or (tid == reader and e[3] == "raw_syscalls:sys_exit"):
            chain["run"] = t
    elif "handoff" not in chain:
        if tid == reader and call(e, FUTEX):
            chain["handoff"] = t
    elif "main" not in chain:
        if switched_to(e) == main or (tid == main and returned(e, FUTEX)):
            chain["main"] = t
    elif "soh" not in chain:
        if tid == main and call(e, WRITE):
            chain["soh"] = t
    elif "relay" not in chain:
        if switched_to(e) == relay or (tid == relay and returned(e, POLL)):
            chain["relay"] = t
            chains.append(chain)
            chain = None

# Only the chains that led to a block (not the dialogue's echoes).
blocks = []
for i, c in enumerate(chains):
    next_ack = chains[i + 1]["ack"] if i + 1 < len(chains) else float("inf")
    k = bisect.bisect_left(data_writes, c["soh"])
    if k < len(data_writes) and data_writes[k] < next_ack:
        blocks.append(c)
if not blocks:
    sys.exit("reaction-profile: no ACK-to-block chain found")


def show(label, values):
    values = sorted(values)
    p99 = values[max(0, (len(values) * 99 + 99) // 100 - 1)]
    print(f"  {label:<48} {statistics.mean(values):7.1f} {statistics.median(values):7.1f}"
          f" {p99:8.1f} {values[-1]:8.1f}")


print(f"{len(blocks)} blocks; µs per block{'':<26}    mean  median      p99      max")
for (key, label), (following, _) in zip(steps, steps[1:]):
    show(label, [(c[following] - c[key]) * 1e6 for c in blocks])
show("the utility's own: reader woken -> SOH written",
     [(c["soh"] - c["wake"]) * 1e6 for c in blocks])
show("all: ACK written -> relay running", [(c["relay"] - c["ack"]) * 1e6 for c in blocks])
