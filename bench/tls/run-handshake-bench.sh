#!/usr/bin/env bash
# The CPU cost of a new TLS connection: pellix against nginx (one worker), in the same run, both
# with an RSA-2048 identity. openssl s_time makes full handshakes one after another from one
# client (-new: no resumption), with the same protocol version and cipher suite pinned for both
# servers. Each server's CPU time (user + system of all its threads; for nginx, of its worker)
# is read from /proc/PID/stat before and after, and divided by the connections s_time made.
# Rounds alternate between the two servers, so that drift hits both alike. Prints each round,
# then the totals: CPU ms per connection for each server, connections per second, and the
# ratio pellix/nginx.
#
#     bench/tls/run-handshake-bench.sh BUILD_DIR [SECONDS] [ROUNDS] [TLS]
#
# TLS is the protocol version: 1.3 (the default, with TLS_AES_128_GCM_SHA256) or 1.2 (with
# ECDHE-RSA-AES128-GCM-SHA256). pellix runs from BUILD_DIR/src/pellix with a scratch HOME,
# XDG_DATA_HOME and TMPDIR, and makes its identity at the first connection, as it does for a
# user; it listens on its fixed port 31505, so the run holds /tmp/pellix-e2e.lock, the lock of
# the end-to-end tests. nginx listens on a loopback port outside the system's range for outgoing
# ports, so that none of the clients here can hold it as its source port. Needs nginx, openssl,
# curl and ss.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../lib.sh
. "$(dirname "$0")/../lib.sh"

build=${1:?usage: $0 BUILD_DIR [SECONDS] [ROUNDS] [TLS]}
seconds=${2:-5}
rounds=${3:-3}
version=${4:-1.3}
pellix_bin="$build/src/pellix"
[ -x "$pellix_bin" ] || { echo "build the pellix target first ($pellix_bin)" >&2; exit 1; }
for tool in nginx openssl curl; do
  command -v $tool >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done
case $version in
  1.3) pin=(-tls1_3 -ciphersuites TLS_AES_128_GCM_SHA256) ;;
  1.2) pin=(-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256) ;;
  *) echo "TLS is 1.2 or 1.3" >&2; exit 1 ;;
esac

work=$(mktemp -d)
nginx_pid=
pellix_pid=
cleanup() {
  for p in $nginx_pid $pellix_pid; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 1 -subj /CN=localhost >/dev/null 2>&1
nginx_conf() {  # port
cat <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server {
    listen 127.0.0.1:$1 ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_prefer_server_ciphers on;
    location / { return 200 'ok'; }
  }
}
CONF
}

start_nginx "$work" nginx_conf 1
nginx_port=${nginx_ports[0]}
take_pellix_port
start_pellix "$pellix_bin" "$work"

# The first connection that gets an answer made pellix's identity.
ready=
for _ in $(seq 100); do
  if curl -sk -o /dev/null "https://127.0.0.1:$pellix_port/" &&
     curl -sk -o /dev/null "https://127.0.0.1:$nginx_port/"; then ready=1; break; fi
  sleep 0.1
done
[ -n "$ready" ] || { echo "the servers did not answer; pellix said:" >&2; cat "$work/pellix.err" >&2; exit 1; }
nginx_worker=$(pgrep -P "$nginx_pid" | head -n1)
[ -n "$nginx_worker" ] || { echo "no nginx worker" >&2; exit 1; }

# Both servers must have negotiated what was pinned, with an RSA-2048 certificate.
for port in $pellix_port $nginx_port; do
  # Standard input stays open for a moment: at its end s_client gives up a handshake in progress.
  hello=$(sleep 1 | openssl s_client -connect 127.0.0.1:$port "${pin[@]}" 2>/dev/null)
  grep -q "Server public key is 2048 bit" <<<"$hello" ||
    { echo "the server on port $port does not use an RSA-2048 key" >&2; exit 1; }
  grep -Eq "Cipher is (TLS_AES_128_GCM_SHA256|ECDHE-RSA-AES128-GCM-SHA256)\$" <<<"$hello" ||
    { echo "the server on port $port did not negotiate the pinned cipher suite" >&2; exit 1; }
done

ticks=$(getconf CLK_TCK)

run() {  # port pid -> "connections seconds cpu-ticks"
  local before after out
  before=$(cpu_ticks "$2")
  out=$(openssl s_time -connect "127.0.0.1:$1" -new -time "$seconds" "${pin[@]}" 2>&1)
  after=$(cpu_ticks "$2")
  # "N connections in S real seconds, ..."
  read -r n s <<<"$(awk '/connections in .* real seconds/ {print $1, $4; exit}' <<<"$out")"
  [ -n "${n:-}" ] || { echo "s_time said: $out" >&2; exit 1; }
  echo "$n $s $((after - before))"
}

echo "openssl s_time -new, one client, TLS $version (${pin[*]}), RSA-2048, ${seconds}s per run, $rounds rounds"
echo "load average $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) processors"
printf '%-7s %10s %10s %12s %12s %10s\n' round "pellix c/s" "nginx c/s" "pellix ms/c" "nginx ms/c" "cpu ratio"
tp=0; tn=0; cp=0; cn=0; sp=0; sn=0
for round in $(seq "$rounds"); do
  read -r np spr cpr <<<"$(run $pellix_port "$pellix_pid")"
  read -r nn snr cnr <<<"$(run $nginx_port "$nginx_worker")"
  tp=$((tp + np)); tn=$((tn + nn)); cp=$((cp + cpr)); cn=$((cn + cnr))
  sp=$((sp + spr)); sn=$((sn + snr))
  awk -v r="$round" -v np="$np" -v nn="$nn" -v sp="$spr" -v sn="$snr" -v cp="$cpr" -v cn="$cnr" -v hz="$ticks" 'BEGIN {
    up = cp / hz / np * 1e3; un = cn / hz / nn * 1e3
    printf "%-7s %10.0f %10.0f %12.3f %12.3f %10.2f\n", r, np / sp, nn / sn, up, un, (un > 0 ? up / un : 0)
  }'
done
awk -v np="$tp" -v nn="$tn" -v sp="$sp" -v sn="$sn" -v cp="$cp" -v cn="$cn" -v hz="$ticks" 'BEGIN {
  up = cp / hz / np * 1e3; un = cn / hz / nn * 1e3
  printf "%-7s %10.0f %10.0f %12.3f %12.3f %10.2f\n", "all", np / sp, nn / sn, up, un, (un > 0 ? up / un : 0)
  printf "pellix %.3f ms of CPU per new connection, nginx %.3f ms: ratio %.2f (goal: at most 1.50)\n", up, un, (un > 0 ? up / un : 0)
}'
rss() { awk '/VmRSS/ {printf "%.1f MiB", $2 / 1024}' "/proc/$pellix_pid/status"; }
after_load=$(rss)
sleep 3
echo "pellix resident memory: after the runs $after_load, 3 s later $(rss), peak $(awk '/VmHWM/ {printf "%.1f MiB", $2 / 1024}' /proc/$pellix_pid/status) (goal: at most 20 MiB)"
