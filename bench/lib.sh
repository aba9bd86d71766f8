# shellcheck shell=bash
# Shell pieces the benchmark scripts share: free ports for nginx, nginx started on them, pellix
# started on its fixed port with a scratch home, and the CPU time of a process. Sourced, never run:
#
#     . "$(dirname "$0")/../lib.sh"
#
# The functions that start a server set a variable to its pid as soon as it runs (nginx_pid,
# pellix_pid), so that the caller's exit trap can kill it even when the start fails midway; a
# start that fails kills what it started, clears the variable, says why on standard error and
# returns 1.

# pellix listens on this fixed port; the end-to-end tests and the benchmarks take turns with it.
pellix_port=31505
# The system's range for outgoing ports: a server given a port in it may find it already held as
# the source port of a connection, ours (curl, openssl, wrk) or anyone's.
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
    if ((p >= ephemeral_low && p <= ephemeral_high)) || ((p == pellix_port)) || [[ " $* " == *" $p "* ]] ||
      port_in_use "$p"; then
      continue
    fi
    echo "$p"
    return 0
  done
  echo "no free port from 10000 up outside $ephemeral_low-$ephemeral_high" >&2
  return 1
}

# start_nginx DIR WRITE_CONF COUNT [PORT...]
# Starts nginx in DIR on COUNT ports from free_port, passing over the PORTs given (the other
# servers' own), and sets nginx_pid and the array nginx_ports. `WRITE_CONF port...` prints the
# configuration for these ports; it runs nginx in the foreground (daemon off) with its pid file
# at DIR/nginx.pid and its error log at DIR/nginx/error.log. A port is free when picked, but
# another program may take it before nginx listens; nginx's own listen decides, and nginx is
# started again on other ports when one was taken meanwhile.
start_nginx() {
  local dir=$1 write_conf=$2 count=$3 attempt i taken _
  shift 3
  mkdir -p "$dir/nginx"
  nginx_pid=
  for attempt in $(seq 10); do
    nginx_ports=()
    for ((i = 0; i < count; i++)); do
      nginx_ports+=("$(free_port "$@" "${nginx_ports[@]}")") || return 1
    done
    "$write_conf" "${nginx_ports[@]}" > "$dir/nginx.conf"
    rm -f "$dir/nginx.pid"
    : > "$dir/nginx/error.log"
    # nginx writes its pid file once it listens, and ends when a port is taken.
    nginx -c "$dir/nginx.conf" -p "$dir" 2> "$dir/nginx/start.log" & nginx_pid=$!
    for _ in $(seq 100); do
      [ -f "$dir/nginx.pid" ] && return 0
      kill -0 "$nginx_pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -f "$dir/nginx.pid" ] && return 0
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=
    if ! grep -qs "Address already in use" "$dir/nginx/start.log" "$dir/nginx/error.log"; then
      echo "nginx did not start:" >&2
      cat "$dir/nginx/start.log" "$dir/nginx/error.log" >&2
      return 1
    fi
    taken=${nginx_ports[*]}
    echo "nginx: port ${taken// / or } was taken meanwhile (attempt $attempt); trying others" >&2
  done
  echo "nginx found no free ports" >&2
  return 1
}

# take_pellix_port: holds /tmp/pellix-e2e.lock, the lock of the end-to-end tests, on descriptor 9
# until the script ends, then waits for the pellix that the last holder ran to leave the port.
# A script run under `flock /tmp/pellix-e2e.lock` would wait for itself here: run it as it is.
take_pellix_port() {
  local _
  exec 9>/tmp/pellix-e2e.lock
  flock 9
  for _ in $(seq 600); do
    ss -Htln "sport = :$pellix_port" | grep -q . || return 0
    sleep 0.05
  done
  echo "port $pellix_port is taken by another program" >&2
  return 1
}

# start_pellix BIN DIR
# Runs pellix from BIN with its home, data and temporary folders in DIR (home, data, tmp), as a
# user's would be, and its standard output and error in DIR/pellix.out and DIR/pellix.err; sets
# pellix_pid, and returns once pellix listens on its port. Hold the port first (take_pellix_port).
start_pellix() {
  local bin=$1 dir=$2 _
  mkdir -p "$dir/home" "$dir/data" "$dir/tmp"
  env HOME="$dir/home" XDG_DATA_HOME="$dir/data" TMPDIR="$dir/tmp" "$bin" \
    > "$dir/pellix.out" 2> "$dir/pellix.err" & pellix_pid=$!
  for _ in $(seq 200); do
    ss -Htlnp "sport = :$pellix_port" | grep -q "pid=$pellix_pid," && return 0
    kill -0 "$pellix_pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pellix_pid" 2>/dev/null || true
  wait "$pellix_pid" 2>/dev/null || true
  pellix_pid=
  echo "pellix did not listen on port $pellix_port; it said:" >&2
  cat "$dir/pellix.err" >&2
  return 1
}

cpu_ticks() {  # pid... -> user + system clock ticks of these processes, all their threads
  local total=0 p
  for p in "$@"; do
    # Fields 14 and 15 of /proc/PID/stat, counted after the command name's closing parenthesis.
    total=$((total + $(sed 's/.*) //' "/proc/$p/stat" | awk '{print $12 + $13}')))
  done
  echo "$total"
}
