#!/usr/bin/env bash
# upgrade --json: every line an event of the documented schema, the phases
# of each port in order, each port's upgrade ending with its record, and the
# result last; also one port, and one that fails.
set -u
bin=$1
. "$(dirname "$0")/cli_lib.sh"
doc="$(dirname "$0")/../docs/events.md"

"$bin/orvane-mkimage" --out "$work/fw.bin" --size 20000 --key 90 >/dev/null
start_sim a --key 90 --expect "$work/fw.bin" --once
a=$port
start_sim b --key 90 --expect "$work/fw.bin" --once --fault nak-block:3
b=$port

# check EVENTS-FILE PORTS... -- PYTHON: the schema of docs/events.md holds for
# every line, and the expression holds for the list of events `e`.
check() {
  local file=$1 expr=$2
  python3 - "$doc" "$file" "$expr" <<'PY'
import json, re, sys
doc, path, expr = sys.argv[1:]
schema = json.loads(re.search(r"```json\n(.*?)```", open(doc).read(), re.S).group(1))
types = {"integer": int, "number": (int, float), "string": str, "object": dict}

def fits(value, kind):
    kind = kind.replace(" optional", "")
    if kind.endswith("?"):
        if value is None:
            return True
        kind = kind[:-1]
    if kind == "phase":
        return value in schema["phases"]
    if kind == "identity":
        return isinstance(value, dict) and set(value) == set(schema["identity"]) and all(
            isinstance(v, str) for v in value.values())
    if kind == "integer" and isinstance(value, bool):
        return False
    return isinstance(value, types[kind])

events, problems = [], []
for n, line in enumerate(open(path), 1):
    try:
        e = json.loads(line)
    except ValueError:
        problems.append("line %d is no JSON: %r" % (n, line[:80]))
        continue
    fields = dict(schema["every"], **schema["kinds"].get(e.get("ev"), {}))
    if e.get("ev") not in schema["kinds"] or e.get("v") != schema["version"]:
        problems.append("line %d: unknown kind or version: %s" % (n, line[:80]))
    for name, kind in fields.items():
        if name not in e:
            if "optional" not in kind:
                problems.append("line %d: no %s" % (n, name))
        elif not fits(e[name], kind):
            problems.append("line %d: %s is not %s" % (n, name, kind))
    for name in e:
        if name not in fields:
            problems.append("line %d: %s is not in the schema" % (n, name))
    events.append(e)
if not problems and not eval("(" + expr.strip() + ")", {"e": events}):
    problems.append("the run's events are not as expected")
for p in problems[:20]:
    print(p)
sys.exit(1 if problems else 0)
PY
}

order='["handshake", "identity", "key-code", "flash-erase", "parameter-erase", "upload", "start"]'

flash upgrade --json -p "$a" -p "$b" "$work/fw.bin"
expect_status 1 "two ports, one failing"
[ -z "$err" ] || fail "two ports: standard error is not empty: $err"
cp "$work/out" "$work/two.jsonl"
check "$work/two.jsonl" "
  [x['phase'] for x in e if x['ev'] == 'phase' and x['port'] == '$a'] == $order and
  [x['ev'] for x in e if x.get('port') == '$a'][-1] == 'end' and
  [x for x in e if x.get('port') == '$a' and x['ev'] == 'end'][0]['record']['outcome'] == 'success' and
  [x for x in e if x.get('port') == '$b' and x['ev'] == 'end'][0]['outcome'] == 'not-finished' and
  any(x['ev'] == 'hint' and x['hint'] == 'block-refused' for x in e if x.get('port') == '$b') and
  e[-1] == {'v': 1, 'ev': 'summary', 'done': 1, 'failed': 1, 'current': 0, 'exit': 1}" ||
  fail "two ports: $(head -c 2000 "$work/two.jsonl")"
wait_until 20 log_has a "image verified" || fail "two ports: the scanner's flash does not hold the image"

# One port: no trace on standard output but events, the end with its record last.
start_sim c --key 90 --expect "$work/fw.bin" --once
flash upgrade --json --port "$port" "$work/fw.bin"
expect_status 0 "one port"
cp "$work/out" "$work/one.jsonl"
check "$work/one.jsonl" "
  [x['phase'] for x in e if x['ev'] == 'phase'] == $order and e[0]['ev'] == 'image' and
  e[-1]['ev'] == 'end' and e[-1]['exit'] == 0 and e[-1]['record']['size'] == 20000 and
  any(x['ev'] == 'scanner' for x in e) and
  [x['percent'] for x in e if x['ev'] == 'progress'][-1] == 100" ||
  fail "one port: $(head -c 2000 "$work/one.jsonl")"

# No scanner: the hint and the end, nothing else needed.
flash upgrade --json --port "$work/nothing-here" "$work/fw.bin"
expect_status 3 "no port"
check "$work/out" "e[-1]['ev'] == 'end' and e[-1]['outcome'] == 'port-refused' and
                   any(x['ev'] == 'hint' and x['hint'] == 'port-refused' for x in e)" ||
  fail "no port: $out"

finish "events"
