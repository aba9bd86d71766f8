#!/usr/bin/env bash
# Requests per second of a small in-memory reply over keep-alive connections, plain and TLS:
# pellix's HTTP server against nginx (one worker) serving the same bytes with the same
# certificate, measured by wrk in the same run. Prints each figure and the ratio pellix/nginx.
#
#     bench/http/run-http-bench.sh BUILD_DIR [SECONDS] [CONNECTIONS] [THREADS]
#
# Needs wrk and nginx (scripts/install-deps) and the http_bench_server target built in BUILD_DIR.
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

plain_pellix=38101; tls_pellix=38102; plain_nginx=38103; tls_nginx=38104

# One RSA-2048 identity for both servers, as the system's own.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 1 -subj /CN=localhost >/dev/null 2>&1

printf 'Hello, world!' > "$work/body"
mkdir -p "$work/nginx"
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

nginx -c "$work/nginx.conf" -p "$work" & pids+=($!)
"$server_bin" $plain_pellix $tls_pellix "$work/key.pem" "$work/cert.pem" > "$work/pellix.out" & pids+=($!)
for _ in $(seq 100); do
  grep -q ready "$work/pellix.out" 2>/dev/null && [ -f "$work/nginx.pid" ] && break
  sleep 0.1
done

rps() {  # url -> requests per second
  wrk -t"$threads" -c"$connections" -d"${seconds}s" "$1" | awk '/Requests\/sec/ {print $2}'
}

# Both answer the same bytes.
for url in http://127.0.0.1:$plain_pellix/ http://127.0.0.1:$plain_nginx/; do
  body=$(curl -sk "$url")
  [ "$body" = "Hello, world!" ] || { echo "unexpected body from $url: $body" >&2; exit 1; }
done

printf '%-6s %14s %14s %8s\n' mode pellix nginx ratio
for mode in plain tls; do
  if [ $mode = plain ]; then p=http://127.0.0.1:$plain_pellix/; n=http://127.0.0.1:$plain_nginx/
  else p=https://127.0.0.1:$tls_pellix/; n=https://127.0.0.1:$tls_nginx/; fi
  rp=$(rps "$p"); rn=$(rps "$n")
  printf '%-6s %14s %14s %8.2f\n' $mode "$rp" "$rn" "$(awk -v a="$rp" -v b="$rn" 'BEGIN { print a / b }')"
done
