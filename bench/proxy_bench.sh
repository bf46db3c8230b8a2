#!/usr/bin/env bash
# Side by side, each in a network namespace of its own: direct connections, velmorad's local proxy
# (routing on, rule decision and application lookup included), velmorad's transparent listener
# (programs in a cgroup connect straight to the sink on a non-loopback address, and an nftables
# rule redirects them to velmorad) with its SOCKS5 path measured again beside it under the same
# rule, Debian's microsocks and dante.
# Each proxy is pinned to CPU 0, the load and the sink to CPU 1. Figures: one stream's
# throughput, connections per second with 1 and 8 clients with handshake latency p50/p99, then
# velmorad's memory per idle connection with IDLE of them open (default 8,000, within what an
# open-file limit of 20,000 allows), its connection limit under a small open-file limit, and the
# cost of the application lookup and of the decision per connection. Then UDP through a SOCKS5
# UDP association, against an echoing sink: directly, through velmorad with a rule carrying UDP
# directly, through velmorad with a rule sending UDP to dante, and through dante alone; datagrams a
# second and Mbit/s that reach the sink, echoes back, and what was lost each way, for datagrams of
# 64 and 1,200 bytes with at most WINDOW (default 64) of them unanswered at a time.
# A fresh namespace for each path keeps the TIME_WAIT sockets one path leaves behind (tens of
# thousands of them) from slowing the next one's connects.
# Needs root. Usage: bench/proxy_bench.sh [build dir] (default: the release build); SECONDS_EACH
# bounds every measurement (default 3 s; the load generator also stops at 200,000 connections).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
seconds=${SECONDS_EACH:-3}
idle_count=${IDLE:-8000}
load=$build/bench/proxy_load
daemon=$build/src/velmorad/velmorad
work=$(mktemp -d)
netns=
pids=()
# The cgroup whose connections the transparent path redirects, while it exists.
group=
# Ends what runs in the current namespace, the namespace itself (its nftables rules with it) and
# the redirected cgroup.
leave_namespace() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  pids=()
  [ -z "$netns" ] || ip netns delete "$netns" 2> /dev/null || true
  netns=
  [ -z "$group" ] || rmdir "$group" 2> /dev/null || true
  group=
}
cleanup() {
  leave_namespace
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
[ "$(id -u)" -eq 0 ] || { echo "proxy_bench: needs root for its network namespaces" >&2; exit 1; }
for program in "$load" "$daemon" "$build/bench/dataplane_bench" microsocks danted nft; do
  command -v "$program" > /dev/null || { echo "proxy_bench: missing $program (scripts/setup --bench, then build)" >&2; exit 1; }
done

inside() { ip netns exec "$netns" "$@"; }
# Always in a subshell here (background, pipe, command substitution): exec keeps the pid that
# cleanup kills the program's own.
on_cpu() { local cpu=$1; shift; exec ip netns exec "$netns" taskset -c "$cpu" "$@"; }
wait_port() {  # port [address]
  for _ in $(seq 100); do
    inside bash -c "exec 3<>/dev/tcp/${2:-127.0.0.1}/$1" 2> /dev/null && return 0
    sleep 0.05
  done
  echo "proxy_bench: nothing listens on port $1" >&2
  exit 1
}

sink_port=9000
hold_port=9001
transparent_port=11090
udp_port=9002
udp_window=${WINDOW:-64}
# The transparent path's sink: an address on the namespace's loopback interface that is not in
# 127.0.0.0/8, which the redirecting rule leaves alone.
far_sink=10.200.0.1
# The machine's own hard limit: raising it takes CAP_SYS_RESOURCE, which not every root has.
hard_limit=$(ulimit -Hn)
# A new namespace with loopback up and the sink listening in it, on 127.0.0.1 or the address given.
enter_namespace() {  # name [sink address]
  local sink=${2:-127.0.0.1}
  netns=velmora-bench-$$-$1
  ip netns add "$netns"
  ip -n "$netns" link set lo up
  # Thousands of connections a second to one sink leave tens of thousands of TIME_WAIT sockets on
  # its ports. Linux hands their local ports to new connections only after a second, and by
  # default only towards loopback addresses: the transparent path's sink is not on one, and its
  # program's connections and velmorad's own share the local ports towards it, two a connection.
  # With the default range of 28,232 ports (half of them for connect) that capped it near 7,000
  # connections a second, with connect(2) searching for a free port. Every path gets the same
  # wider range and reuse; the ports the proxies listen on stay out of it.
  ip netns exec "$netns" sysctl -qw net.ipv4.ip_local_port_range="10000 65535" net.ipv4.tcp_tw_reuse=1 \
    net.ipv4.ip_local_reserved_ports="11080-11096,12080-12096,21080-21081"
  [ "$sink" = 127.0.0.1 ] || ip -n "$netns" addr add "$sink/32" dev lo
  on_cpu 1 "$load" sink "$sink" $sink_port & pids+=($!)
  wait_port $sink_port "$sink"
}

# A cgroup of the benchmark's own and the namespace's nftables rule that redirects its TCP
# connections to non-loopback addresses to velmorad's transparent listener. nft runs in the
# namespace through nsenter: ip netns exec would mount a /sys without the cgroup hierarchy.
redirect_group() {
  local mount
  mount=$(awk '$9 == "cgroup2" && $4 == "/" {print $5; exit}' /proc/self/mountinfo)
  case "$mount" in
    /sys/fs/cgroup | /sys/fs/cgroup/*) ;;
    *) echo "proxy_bench: no cgroup v2 hierarchy under /sys/fs/cgroup" >&2; exit 1 ;;
  esac
  group=$mount/velmora-bench-$$
  mkdir "$group"
  nsenter --net="/run/netns/$netns" nft "table inet velmora_bench { chain output {
    type nat hook output priority -100;
    meta l4proto tcp ip daddr != 127.0.0.0/8 socket cgroupv2 level 1 \"${group#/sys/fs/cgroup/}\" redirect to :$transparent_port; }; }"
}
# Like on_cpu, from inside the redirected cgroup.
on_cpu_redirected() { exec bash -c 'echo $$ > "$0/cgroup.procs" && exec "${@}"' "$group" ip netns exec "$netns" taskset -c "$@"; }

# velmorad: a home of its own, settings with routing on, a private session bus inside the
# namespace, and the open-file limits given (soft:hard; velmorad raises the soft one itself).
start_velmorad() {  # home port limits: the proxy on port, the transparent listener on port + 1
  local home=$1 port=$2 limits=$3 address bus_pid
  mkdir -p "$home/.config/Velmora"
  printf '{\n  "enabled" : true,\n  "proxyAddress" : "127.0.0.1",\n  "proxyPort" : %s,\n  "transparentPort" : %s\n}\n' \
    "$port" "$((port + 1))" > "$home/.config/Velmora/velmorad.json"
  {
    read -r address
    read -r bus_pid
  } < <(inside env -i HOME="$home" dbus-daemon --session --fork --print-address=1 --print-pid=1)
  pids+=("$bus_pid")
  on_cpu 0 prlimit --nofile="$limits" env -i HOME="$home" TMPDIR="$home" DBUS_SESSION_BUS_ADDRESS="$address" \
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$home/no-system-bus" "$daemon" 2> "$home/velmorad.log" & pids+=($!)
  daemon_pid=$!
  wait_port "$port"
}

start_dante() {
  cat > "$work/danted.conf" << CONF
logoutput: /dev/null
internal: 127.0.0.1 port = $1
external: 127.0.0.1
socksmethod: none
clientmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }
socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }
CONF
  on_cpu 0 danted -f "$work/danted.conf" -p "$work/danted.pid" > /dev/null 2>&1 & pids+=($!)
  wait_port "$1"
}

measure() {  # name port [sink address [runner]]: the load on CPU 1, through the proxy on port or straight (0)
  local sink=${3:-127.0.0.1} run=${4:-on_cpu} bulk one eight
  bulk=$($run 1 "$load" bulk "$sink" $sink_port "$2" "$seconds")
  one=$($run 1 "$load" conns "$sink" $sink_port "$2" 1 "$seconds")
  eight=$($run 1 "$load" conns "$sink" $sink_port "$2" 8 "$seconds")
  printf '%-11s %-14s %-44s %s\n' "$1" "$bulk" "$one" "$eight"
}

uuid() { tr a-f A-F < /proc/sys/kernel/random/uuid; }
profile_rule() {  # name hosts transport action locked
  printf '{"id":"%s","name":"%s","enabled":true,"apps":[],"hosts":[%s],"ports":[],"transport":"%s","action":%s,"quicPolicy":"fallback","locked":%s,"tags":[]}' \
    "$(uuid)" "$@"
}
# velmorad's active profile at home: the two guards and, between them, a rule for UDP to the far
# sink that carries it directly, or through the SOCKS5 proxy on 127.0.0.1 at the port given.
write_profile() {  # home [proxy port]
  local store=$1/.config/Velmora id proxies='' action='{"kind":"direct"}' proxy
  id=$(uuid)
  if [ -n "${2:-}" ]; then
    proxy=$(uuid)
    proxies='{"id":"'$proxy'","name":"upstream","address":"127.0.0.1","port":'$2',"proto":"socks5"}'
    action='{"kind":"proxy","id":"'$proxy'"}'
  fi
  mkdir -p "$store/profiles"
  printf '{"schemaVersion":1,"id":"%s","name":"UDP","proxies":[%s],"chains":[],"rules":[%s,%s,%s],"dns":{"resolveViaProxy":true,"exclusions":[]},"general":{"loopDetection":true,"failsafeOnCrash":true},"environments":[]}\n' \
    "$id" "$proxies" "$(profile_rule Localhost '"localhost","127.0.0.1","::1"' any '{"kind":"direct"}' true)" \
    "$(profile_rule Sink "\"$far_sink\"" udp "$action" false)" \
    "$(profile_rule Default '' any '{"kind":"direct"}' true)" > "$store/profiles/$id.json"
  printf '%s' "$id" > "$store/active"
}

# A namespace with the UDP sink on the far address.
enter_udp_namespace() {  # name
  enter_namespace "$1" $far_sink
  on_cpu 1 "$load" udpsink $far_sink $udp_port & pids+=($!)
}
measure_udp() {  # name port: through the proxy on port or straight (0)
  local small large
  small=$(on_cpu 1 "$load" udp $far_sink $udp_port "$2" 64 "$udp_window" "$seconds")
  large=$(on_cpu 1 "$load" udp $far_sink $udp_port "$2" 1200 "$udp_window" "$seconds")
  printf '%-15s %-76s %s\n' "$1" "$small" "$large"
}

rss() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
# Opens count idle connections through the proxy on port to a server that accepts and never
# reads, prints the idle client's report, runs the command given while they are open, and closes
# them.
idle_through() {  # port count command
  local port=$1 count=$2 report
  coproc IDLE { on_cpu 1 prlimit --nofile="$hard_limit" "$load" idle 127.0.0.1 $hold_port "$port" "$count"; }
  read -r report <&"${IDLE[0]}"
  echo "$report"
  eval "$3"
  echo >&"${IDLE[1]}"
  wait "$IDLE_PID" 2> /dev/null || true
}

printf '%-11s %-14s %-44s %s\n' "" "1 stream" "connections, 1 client" "connections, 8 clients"
enter_namespace direct
measure direct 0
leave_namespace

enter_namespace velmorad
start_velmorad "$work" 11080 "1024:$hard_limit"
velmorad_pid=$daemon_pid
measure velmorad 11080
on_cpu 1 prlimit --nofile="$hard_limit" "$load" hold 127.0.0.1 $hold_port & pids+=($!)
wait_port $hold_port
before=$(rss "$velmorad_pid")
measure_idle='after=$(rss "$velmorad_pid"); meanwhile=$(on_cpu 1 "$load" conns 127.0.0.1 $sink_port 11080 1 1)'
idle_report=$(idle_through 11080 "$idle_count" "$measure_idle; echo \"\$after \$meanwhile\"")
read -r after meanwhile <<< "$(tail -n 1 <<< "$idle_report")"
# The connection limit under an open-file limit of 1,024: refused at once past it. Its ports stay
# clear of the first one's, whose transparent listener spans the 16 ports after 11080.
start_velmorad "$work/limited" 12080 1024:1024
limit_report=$(idle_through 12080 400 true)
limit_line=$(grep -o '连接数已达上限 [0-9]*' "$work/limited/velmorad.log" | head -n 1 || true)
leave_namespace

enter_namespace transparent $far_sink
start_velmorad "$work/transparent" 11080 "1024:$hard_limit"
wait_port $transparent_port
redirect_group
measure transparent 0 $far_sink on_cpu_redirected
# The SOCKS5 path again, under the same kernel: connection tracking, which the redirecting rule
# turns on for the whole namespace, and the sink outside 127.0.0.0/8.
measure socks+nat 11080 $far_sink
leave_namespace

enter_namespace microsocks
on_cpu 0 microsocks -i 127.0.0.1 -p 21080 > /dev/null 2>&1 & pids+=($!)
wait_port 21080
measure microsocks 21080
leave_namespace

enter_namespace dante
start_dante 21081
measure dante 21081

echo
echo "$idle_count idle connections through velmorad (open-file limit $hard_limit): $(head -n 1 <<< "$idle_report")"
echo "  resident memory $before kB before, $after kB with them open: $(( (after - before) * 1024 / idle_count )) bytes each"
echo "  new connections meanwhile, 1 client: $meanwhile"
echo "velmorad with an open-file limit of 1,024, 400 idle connections: $limit_report ($limit_line)"

echo
echo "Per connection inside velmorad (one CPU):"
on_cpu 0 "$build/bench/dataplane_bench" --benchmark_format=console 2> /dev/null | grep '^BM_'
leave_namespace

echo
printf '%-15s %-76s %s\n' "UDP" "64-byte datagrams" "1,200-byte datagrams"
enter_udp_namespace udp-direct
measure_udp direct 0
leave_namespace

enter_udp_namespace udp-velmorad
write_profile "$work/udp"
start_velmorad "$work/udp" 11080 "1024:$hard_limit"
measure_udp velmorad 11080
leave_namespace

enter_udp_namespace udp-via-dante
start_dante 21081
write_profile "$work/udp-dante" 21081
start_velmorad "$work/udp-dante" 11080 "1024:$hard_limit"
measure_udp velmorad+dante 11080
leave_namespace

enter_udp_namespace udp-dante
start_dante 21081
measure_udp dante 21081
