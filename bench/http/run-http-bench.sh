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

build=${1:?usage: $0 BUILD_DIR [SECONDS] [CONNECTIONS] [THREADS]}
seconds=${2:-10}
connections=${3:-64}
threads=${4:-2}
server_bin="$build/bench/http/http_bench_server"
[ -x "$server_bin" ] || { echo "build the http_bench_server target first" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# One RSA-2048 identity for both servers, as the system's own.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 1 -subj /CN=localhost >/dev/null 2>&1

printf 'Hello, world!' > "$work/body"
mkdir -p "$work/nginx"

# pellix's server, on ports the system chooses: "ready PLAIN TLS" once it listens.
"$server_bin" 0 0 "$work/key.pem" "$work/cert.pem" > "$work/pellix.out" & pellix_pid=$!; pids+=("$pellix_pid")
for _ in $(seq 100); do
  grep -q '^ready' "$work/pellix.out" 2>/dev/null && break
  kill -0 "$pellix_pid" 2>/dev/null || { echo "the pellix server did not start" >&2; exit 1; }
  sleep 0.1
done
read -r _ plain_pellix tls_pellix < "$work/pellix.out" || true
[ -n "${tls_pellix:-}" ] || { echo "the pellix server did not report its ports" >&2; exit 1; }

read -r ephemeral_low ephemeral_high < /proc/sys/net/ipv4/ip_local_port_range
port_in_use() {  # port -> whether a TCP socket (IPv4 or IPv6, in any state) has it as its own
  local hex
  hex=$(printf ':%04X' "$1")
  awk -v h="$hex" 'FNR > 1 && substr($2, length($2) - 4) == h { found = 1 } END { exit !found }' \
    /proc/net/tcp /proc/net/tcp6
}
free_port() {  # ports to pass over... -> a port from 10000 up, outside the outgoing range, unused now
  local p _
  for _ in $(seq 1000); do
    p=$((10000 + ((RANDOM << 15) | RANDOM) % (65536 - 10000)))
    if ((p >= ephemeral_low && p <= ephemeral_high)) || ((p == 31505)) || [[ " $* " == *" $p "* ]] ||
      port_in_use "$p"; then
      continue  # 31505 is pellix's own port, which the end-to-end tests listen on
    fi
    echo "$p"
    return 0
  done
  echo "no free port from 10000 up outside $ephemeral_low-$ephemeral_high" >&2
  return 1
}

write_nginx_conf() {
cat > "$work/nginx.conf" <<CONF
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
    listen 127.0.0.1:$plain_nginx;
    listen 127.0.0.1:$tls_nginx ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    location / { return 200 'Hello, world!'; }
  }
}
CONF
}

# nginx writes its pid file once it listens, and ends when a port is taken.
nginx_pid=
for attempt in $(seq 10); do
  plain_nginx=$(free_port "$plain_pellix" "$tls_pellix")
  tls_nginx=$(free_port "$plain_pellix" "$tls_pellix" "$plain_nginx")
  write_nginx_conf
  rm -f "$work/nginx.pid"
  : > "$work/nginx/error.log"
  nginx -c "$work/nginx.conf" -p "$work" 2> "$work/nginx/start.log" & started=$!
  for _ in $(seq 100); do
    [ -f "$work/nginx.pid" ] && break
    kill -0 "$started" 2>/dev/null || break
    sleep 0.1
  done
  if [ -f "$work/nginx.pid" ]; then
    nginx_pid=$started; pids+=("$nginx_pid")
    break
  fi
  kill "$started" 2>/dev/null || true
  wait "$started" 2>/dev/null || true
  if ! grep -qs "Address already in use" "$work/nginx/start.log" "$work/nginx/error.log"; then
    echo "nginx did not start:" >&2
    cat "$work/nginx/start.log" "$work/nginx/error.log" >&2
    exit 1
  fi
  echo "nginx: port $plain_nginx or $tls_nginx was taken meanwhile (attempt $attempt); trying others" >&2
done
[ -n "$nginx_pid" ] || { echo "nginx found no free ports" >&2; exit 1; }

ticks=$(getconf CLK_TCK)
cpu_ticks() {  # pid... -> user + system clock ticks of these processes and their children
  local total=0 p
  for p in "$@" $(pgrep -P "$1" || true); do
    # Fields 14 and 15 of /proc/PID/stat, counted after the command name's closing parenthesis.
    total=$((total + $(sed 's/.*) //' "/proc/$p/stat" | awk '{print $12 + $13}')))
  done
  echo $total
}

run() {  # url pid -> "requests/s requests cpu-ticks"
  local before after out
  before=$(cpu_ticks "$2")
  out=$(wrk -t"$threads" -c"$connections" -d"${seconds}s" "$1")
  after=$(cpu_ticks "$2")
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
