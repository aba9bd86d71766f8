#!/usr/bin/env bash
# What a large JSON body costs the running program: for each body (5 MB of nested arrays by
# default, then wide flat ones) POST it to /scard/hashdoc and report the growth of pellix's
# peak resident memory (VmHWM) and the slowest of the POST /scard/version requests sent on
# other connections while the body is being sent and parsed.
#
#     bench/e2e/run-json-body-bench.sh BUILD_DIR [MEGABYTES]
#
# Needs curl, python3, ss and bc, and port 31505 free; takes /tmp/pellix-e2e.lock while pellix runs.
# Every body gets a fresh pellix, so that one body's peak does not hide the next one's.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../lib.sh
. "$(dirname "$0")/../lib.sh"

build=${1:?usage: $0 BUILD_DIR [MEGABYTES]}
megabytes=${2:-5}
pellix="$build/src/pellix"
[ -x "$pellix" ] || { echo "build the pellix target first" >&2; exit 1; }

work=$(mktemp -d)
pellix_pid=
cleanup() {
  [ -n "$pellix_pid" ] && kill "$pellix_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

origin="Origin: https://signer.pellix.com"
url=https://localhost:$pellix_port

# The bodies: nested arrays "[[[...]]]", flat numbers "[0,0,...]" and many small objects.
python3 - "$work" "$megabytes" <<'PY'
import sys
work, size = sys.argv[1], int(float(sys.argv[2]) * 1000 * 1000)
n = size // 2
open(f"{work}/nested.json", "w").write("[" * n + "]" * n)
open(f"{work}/flat.json", "w").write("[" + ",".join(["0"] * (size // 2)) + "]")
open(f"{work}/objects.json", "w").write("[" + ",".join(['{"a":{}}'] * (size // 9)) + "]")
PY

hwm() { awk '/^VmHWM:/ { print $2 }' "/proc/$pellix_pid/status"; }

take_pellix_port

for body in nested flat objects; do
  start_pellix "$pellix" "$work/$body"
  # The first connection makes the identity; the next ones find it as every later one will.
  curl -sk -o /dev/null -X POST -H "$origin" "$url/scard/version"
  curl -sk -o /dev/null -X POST -H "$origin" "$url/scard/version"
  before=$(hwm)

  curl -sk -o "$work/$body/reply" -w '%{time_total}\n' -H "$origin" \
    --data-binary @"$work/$body.json" "$url/scard/hashdoc" >"$work/$body/post_time" &
  post=$!
  : >"$work/$body/version_times"
  while kill -0 "$post" 2>/dev/null; do
    curl -sk -o /dev/null -w '%{time_total}\n' -X POST -H "$origin" "$url/scard/version" \
      >>"$work/$body/version_times"
    sleep 0.02
  done
  wait "$post"
  after=$(hwm)
  reply=$(tr -d ' \n' <"$work/$body/reply")
  slowest=$(sort -g "$work/$body/version_times" | tail -1)
  count=$(wc -l <"$work/$body/version_times")
  printf '%-8s %s bytes: VmHWM %d -> %d KiB (+%.1f MiB); POST %ss; %d version requests meanwhile, slowest %ss; reply %s\n' \
    "$body" "$(stat -c %s "$work/$body.json")" "$before" "$after" "$(echo "($after - $before) / 1024" | bc -l)" \
    "$(cat "$work/$body/post_time")" "$count" "${slowest:-none}" "$reply"
  kill "$pellix_pid"
  wait "$pellix_pid" 2>/dev/null || true
  pellix_pid=
done
