#!/usr/bin/env bash
# Recordings replayed as the scanner: the corpus of tests/recordings, and a
# round trip (an upgrade recorded against the emulator holds exactly the
# bytes the emulator took in and gave, and replays to the same result; against
# another image it diverges at the first block that differs).
set -u
bin=$1
. "$(dirname "$0")/cli_lib.sh"
recordings=$(cd "$(dirname "$0")/recordings" && pwd)

# replay NAME RECORDING IMAGE RESULT: the utility meets the recorded scanner,
# which ends by itself once the line has been quiet after the recording's end.
replay() {
  local name=$1 recording=$2 image=$3 result=$4
  start_sim "$name" --replay "$recording" --replay-speed 0 --expect-result "$result"
  flash upgrade --port "$port" "$image"
  expect_last_line "$result" "replay $name"
  wait_for "$sim" 20
  local replayed=$?
  [ "$replayed" -eq 0 ] || fail "replay $name: exit $replayed: $(tail -n 1 "$work/$name.log")"
}

while read -r name image result; do
  case "$name" in '' | '#'*) continue ;; esac
  replay "$name" "$recordings/$name.jsonl" "$recordings/$image" "$result"
done <"$recordings/corpus.list"

# Round trip: the recording against what an independent emulator saw.
start_sim fresh --key 90 --expect "$recordings/headered.bin" --summary "$work/fresh.json"
# Recording adds no thread of its own: the upgrade, the reader, the one
# background writer and the signal watcher are all there is.
"$bin/orvane-flash" upgrade --port "$port" --record "$work/fresh.jsonl" \
  "$recordings/headered.bin" </dev/null >"$work/out" 2>"$work/err" &
flasher=$!
most=0
until ended "$flasher"; do
  threads=$(ls "/proc/$flasher/task" 2>/dev/null | wc -l)
  [ "$threads" -gt "$most" ] && most=$threads
  sleep 0.01
done
wait "$flasher"
status=$?
err=$(cat "$work/err")
expect_status 0 "recorded upgrade"
# ThreadSanitizer's runtime keeps a thread of its own in the process.
allowed=4
grep -q __tsan_init "$bin/orvane-flash" && allowed=5
[ "$most" -ge 2 ] && [ "$most" -le "$allowed" ] ||
  fail "a recorded upgrade ran $most threads, wanted 2 to $allowed"
kill -TERM "$sim"
wait "$sim"
python3 - "$work/fresh.jsonl" "$work/fresh.json" <<'PY' || fail "the recording is not what crossed the line"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
sim = json.load(open(sys.argv[2]))
pieces = [l for l in lines if "record" not in l]
to = "".join(p["bytes"] for p in pieces if p["dir"] == "to-scanner")
back = "".join(p["bytes"] for p in pieces if p["dir"] == "from-scanner")
times = [p["us"] for p in pieces]
problems = []
if lines[0].get("record") != "start": problems.append("no start object first")
if lines[-1].get("record") != "end" or lines[-1].get("message") != "upgrade success!!!":
    problems.append("the last object does not hold the result")
if to != sim["input"]: problems.append("bytes to the scanner differ from what it received")
if not sim["output"].startswith(back): problems.append("bytes from the scanner differ from what it sent")
if times != sorted(times): problems.append("times do not rise")
if not any(p["phase"] == "upload" and p.get("block") == 1 for p in pieces): problems.append("no block 1")
for p in problems: print(p)
sys.exit(1 if problems else 0)
PY
replay round-trip "$work/fresh.jsonl" "$recordings/headered.bin" "upgrade success!!!"

# The same recording against another image: the first differing block is named.
"$bin/orvane-mkimage" --out "$work/other.bin" --size 3000 --key 90 --seed 99 --software 1.00.01 >/dev/null
start_sim diverging --replay "$work/fresh.jsonl" --replay-speed 0
flash upgrade --port "$port" "$work/other.bin"
expect_status 1 "another image"
wait_for "$sim" 20
[ $? -ne 0 ] || fail "another image: the replay did not fail"
log_has diverging "divergence at byte [0-9]* to the scanner (upload, block 1)" ||
  fail "another image: $(tail -n 1 "$work/diverging.log")"

# Several ports record into a folder, a file per port and upgrade; monitor
# mode records what it heard.
start_sim p1 --key 90
p1=$port
start_sim p2 --key 90
p2=$port
flash upgrade --port "$p1" --port "$p2" --record "$work/recs" "$recordings/headered.bin"
expect_status 0 "two ports recorded"
python3 - "$work/recs" "$p1" "$p2" <<'PY' || fail "two ports: recordings $(ls "$work/recs")"
import json, os, sys
folder, ports = sys.argv[1], sys.argv[2:]
files = sorted(os.listdir(folder))
starts = [json.loads(open(os.path.join(folder, f)).readline()) for f in files]
ends = [json.loads(open(os.path.join(folder, f)).read().splitlines()[-1]) for f in files]
ok = (len(files) == 2 and sorted(s["port"] for s in starts) == sorted(ports) and
      all(e["record"] == "end" and e["message"] == "upgrade success!!!" for e in ends))
sys.exit(0 if ok else 1)
PY
"$bin/orvane-flash" monitor --port "$p1" --record "$work/monitor.jsonl" >"$work/out" 2>"$work/err" &
monitor=$!
wait_until 20 grep -q "monitoring at 9600 baud" "$work/err" || fail "monitor did not start"
kill -INT "$monitor"
wait_for "$monitor" 20
json_check "$work/monitor.jsonl" "r[0]['record'] == 'start' and r[0]['line']['baud'] == 9600 and
                                  r[-1]['record'] == 'end' and r[-1]['exit'] == 0" ||
  fail "monitor: recording $(cat "$work/monitor.jsonl")"

finish "replay"
