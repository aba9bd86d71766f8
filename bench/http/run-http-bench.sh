#!/usr/bin/env bash
# Requests per second of a small in-memory reply over keep-alive connections, plain and TLS:
# pellix's HTTP server against nginx (one worker) serving the same bytes with the same
# certificate, measured by wrk in the same run. Prints each figure and the ratio pellix/nginx,
# and each server's CPU time per request: user + system time of all its threads (and, for
# nginx, of its worker processes) from /proc/PID/stat over the run, divided by the requests
# wrk completed.
#
#     bench/http/run-http-bench.sh BUILD_DIR [SECONDS] [CONNECTIONS] [THREADS]
#
# Needs wrk and nginx (scripts/install-deps) and the http_bench_server target built in BUILD_DIR.
#
# No port is fixed: a fixed one may be held by another program, or by an outgoing connection
# when it lies in the system's range for those. pellix's server listens on ports the system
# chooses (port 0) and prints them. nginx cannot report a port 0, so it is given ports outside
# the system's range for outgoing connections that no socket uses at the time; nginx's own
# listen decides, and when another program took one of them meanwhile, nginx is started again
# on others.
set -euo pipefail
# shellcheck source=SCRIPTDIR/../lib.sh
. "$(dirname "$0")/../lib.sh"

build=${1:?usage: $0 BUILD_DIR [SECONDS] [CONNECTIONS] [THREADS]}
seconds=${2:-10}
connections=${3:-64}
threads=${4:-2}
server_bin="$build/bench/http/http_bench_server"
[ -x "$server_bin" ] || { echo "build the http_bench_server target first" >&2; exit 1; }

work=$(mktemp -d)
pellix_pid=
nginx_pid=
cleanup() {
  for p in $pellix_pid $nginx_pid; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# One RSA-2048 identity for both servers, as the system's own.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 1 -subj /CN=localhost >/dev/null 2>&1

printf 'Hello, world!' > "$work/body"

# pellix's server, on ports the system chooses: "ready PLAIN TLS" once it listens.
"$server_bin" 0 0 "$work/key.pem" "$work/cert.pem" > "$work/pellix.out" & pellix_pid=$!
for _ in $(seq 100); do
  grep -q '^ready' "$work/pellix.out" 2>/dev/null && break
  kill -0 "$pellix_pid" 2>/dev/null || { echo "the pellix server did not start" >&2; exit 1; }
  sleep 0.1
done
read -r _ plain_pellix tls_pellix < "$work/pellix.out" || true
[ -n "${tls_pellix:-}" ] || { echo "the pellix server did not report its ports" >&2; exit 1; }

nginx_conf() {  # plain-port tls-port
cat <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  keepalive_requests 1000000;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$1;
    listen 127.0.0.1:$2 ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    location / { return 200 'Hello, world!'; }
  }
}
CONF
}

start_nginx "$work" nginx_conf 2 "$plain_pellix" "$tls_pellix"
plain_nginx=${nginx_ports[0]}
tls_nginx=${nginx_ports[1]}

ticks=$(getconf CLK_TCK)

run() {  # url pid -> "requests/s requests cpu-ticks"
  local before after out
  local -a server
  # The server and its children: nginx's workers.
  server=("$2" $(pgrep -P "$2" || true))
  before=$(cpu_ticks "${server[@]}")
  out=$(wrk -t"$threads" -c"$connections" -d"${seconds}s" "$1")
  after=$(cpu_ticks "${server[@]}")
  echo "$(awk '/Requests\/sec/ {print $2}' <<<"$out") $(awk '/requests in/ {print $1}' <<<"$out") $((after - before))"
}

# Both answer the same bytes.
for url in http://127.0.0.1:$plain_pellix/ http://127.0.0.1:$plain_nginx/; do
  body=$(curl -sk "$url")
  [ "$body" = "Hello, world!" ] || { echo "unexpected body from $url: $body" >&2; exit 1; }
done

echo "$connections connections, $threads wrk threads, ${seconds}s each; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "ports: pellix $plain_pellix (plain) and $tls_pellix (TLS), nginx $plain_nginx and $tls_nginx; outgoing range $ephemeral_low-$ephemeral_high"
printf '%-6s %12s %12s %7s %14s %14s %9s\n' mode "pellix req/s" "nginx req/s" ratio "pellix cpu/req" "nginx cpu/req" "cpu ratio"
for mode in plain tls; do
  if [ $mode = plain ]; then p=http://127.0.0.1:$plain_pellix/; n=http://127.0.0.1:$plain_nginx/
  else p=https://127.0.0.1:$tls_pellix/; n=https://127.0.0.1:$tls_nginx/; fi
  read -r rp np cp <<<"$(run "$p" "$pellix_pid")"
  read -r rn nn cn <<<"$(run "$n" "$nginx_pid")"
  awk -v mode=$mode -v rp="$rp" -v rn="$rn" -v np="$np" -v nn="$nn" -v cp="$cp" -v cn="$cn" -v hz="$ticks" 'BEGIN {
    up = cp / hz / np * 1e6; un = cn / hz / nn * 1e6
    printf "%-6s %12.0f %12.0f %7.2f %12.1fus %12.1fus %9.2f\n", mode, rp, rn, rp / rn, up, un, (un > 0 ? up / un : 0)
  }'
done
