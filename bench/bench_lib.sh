# Shared by the bench scripts: their background processes, ended on the way
# out, and the wait for a file a program writes once it is ready. The caller
# sets $bench_name (for messages) and appends to `started`.
started=()
bench_cleanup() {
  local pid
  for pid in "${started[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
}

# await_file FILE: waits up to 5 s for FILE to appear with something in it.
await_file() {
  local i
  for ((i = 0; i < 500; i++)); do
    [ -s "$1" ] && return 0
    sleep 0.01
  done
  echo "$bench_name: $1 did not appear" >&2
  return 1
}
