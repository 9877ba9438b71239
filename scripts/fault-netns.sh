# Sourced by the fault-run scripts: runs the script again inside a network
# namespace of its own (loopback only), where 127.0.0.1:811 is free for the
# run's own MariaDB and the ports are the run's alone. Where the namespace
# cannot be made, the script goes on outside it and says so.
if [ "${ZV_FAULT_NETNS:-}" != 1 ] && [ "${ZV_FAULT_NO_NETNS:-}" != 1 ]; then
  if unshare -n true 2>/dev/null; then
    exec unshare -n env ZV_FAULT_NETNS=1 bash "$0" "$@"
  fi
  echo "$(basename "$0"): no network namespace here (unshare -n refused); running outside one" >&2
fi
if [ "${ZV_FAULT_NETNS:-}" = 1 ]; then
  ip link set lo up
fi
