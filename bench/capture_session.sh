# Sourced by the benchmarks of transparent capture: velmora-netd and velmorad in a network
# namespace of the benchmark's own, with a session bus and settings of their own, both on CPU 0.
# The script that sources it sets work (its scratch directory), helper and daemon (the built
# programs), the array pids (what its cleanup kills) and group (the cgroup it starts the captured
# program under, once made).

# For the script's cleanup: the program's cgroup is velmorad's to remove once the program ends;
# whatever is left goes, as soon as the processes killed a moment ago have left it (at most 2 s).
remove_program_group() {
  [ -n "$group" ] || return 0
  for _ in $(seq 40); do
    for sub in "$group"/*/; do [ -d "$sub" ] && rmdir "$sub" 2> /dev/null || true; done
    rmdir "$group" 2> /dev/null && return 0
    sleep 0.05
  done
}

# Waits up to 5 s for text in file; otherwise shows the file and ends the script.
wait_log() {  # file text
  for _ in $(seq 100); do
    grep -q "$2" "$1" 2> /dev/null && return 0
    sleep 0.05
  done
  echo "$(basename "$0" .sh): no \"$2\" in $1:" >&2
  cat "$1" >&2
  exit 1
}

# Starts the session bus, the helper and velmorad (routing on, capture of programs, the
# transparent listener on 11090 and DNS on 11053) in netns, and returns once velmorad is connected
# to the helper. Sets home, environment (the command prefix that runs a program as velmorad's
# user sees it), helper_pid and daemon_pid.
start_capture_session() {  # netns
  local netns=$1 address bus_pid
  home=$work/home
  mkdir -p "$home/.config/Velmora"
  cat > "$home/.config/Velmora/velmorad.json" << 'SETTINGS'
{
  "enabled" : true,
  "proxyPort" : 11080,
  "transparentPort" : 11090,
  "dnsPort" : 11053,
  "capture" : "programs"
}
SETTINGS
  {
    read -r address
    read -r bus_pid
  } < <(nsenter --net="/run/netns/$netns" env -i HOME="$home" dbus-daemon --session --fork \
    --print-address=1 --print-pid=1)
  pids+=("$bus_pid")
  environment=(env -i HOME="$home" TMPDIR="$home" LANG=C.UTF-8 DBUS_SESSION_BUS_ADDRESS="$address"
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$home/no-system-bus" VELMORA_NETD_SOCKET="$work/netd.sock")
  (exec nsenter --net="/run/netns/$netns" taskset -c 0 "${environment[@]}" "$helper" \
    --socket "$work/netd.sock" 2> "$work/netd.log") &
  helper_pid=$!
  pids+=("$helper_pid")
  wait_log "$work/netd.log" 已就绪
  (exec nsenter --net="/run/netns/$netns" taskset -c 0 "${environment[@]}" "$daemon" \
    2> "$work/velmorad.log") &
  daemon_pid=$!
  pids+=("$daemon_pid")
  # Logged once the transparent listener listens and velmorad has asked the helper.
  wait_log "$work/velmorad.log" 已连上
}
