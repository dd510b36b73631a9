#!/usr/bin/env bash
# Makes the recordings of tests/recordings/ again, each an upgrade recorded
# against the emulated scanner with the fault its name says, and the images
# they were made with. The list tests/recordings/corpus.list says what each
# must end with; a new recording needs a line there.
#   bash scripts/make-recordings.sh [BIN-DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/bin}
dir=tests/recordings
# shellcheck source=tests/cli_lib.sh
. tests/cli_lib.sh

"$bin/orvane-mkimage" --out "$dir/headered.bin" --size 3000 --key 90 --seed 11 --software 1.00.01 >/dev/null
"$bin/orvane-mkimage" --out "$dir/plain.bin" --size 2500 --no-header --seed 12 >/dev/null
"$bin/orvane-mkimage" --out "$dir/other-module.bin" --size 2000 --key 90 --seed 13 --module 5900 >/dev/null

# record NAME IMAGE EMULATOR-OPTIONS...: one upgrade into $dir/NAME.jsonl.
record() {
  local name=$1 image=$2
  shift 2
  start_sim "$name" "$@"
  [ "$failures" = 0 ] || exit 1
  local status=0
  "$bin/orvane-flash" upgrade -q --port "$port" --record "$dir/$name.jsonl" \
    "$dir/$image" >/dev/null 2>"$work/$name.err" || status=$?
  stop_sims
  echo "$name: exit $status, $(tail -n 1 "$work/$name.err")"
}

record good-headered headered.bin --key 90
record module-mismatch other-module.bin --key 90
record block-unanswered-once plain.bin --fault no-answer-block:4
record slow-go plain.bin --fault go-reply-delay:400
record unplugged plain.bin --fault unplug-after:6
# Seed 5 of these line faults doubles an ACK on its way back.
record doubled-ack plain.bin --line-seed 5 --line-faults-out 0.004 --line-fault-kinds double
