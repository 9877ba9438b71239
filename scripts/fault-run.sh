#!/usr/bin/env bash
# Runs a fault run: scripts/fault-run.sh SCRIPT [ARGS...] (the scripts
# soak-kill.sh, fault-disk-full.sh and fault-db-down.sh call it). Runs
# itself again inside a network namespace of its own (loopback only), where 127.0.0.1:811 is free for the run's own MariaDB
# and the ports are the run's alone (where the namespace cannot be made it
# goes on outside one and says so); builds the programs unless SKIP_BUILD=1;
# then runs scripts/fault/SCRIPT.py with the arguments.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
if [ "${ZV_FAULT_NETNS:-}" != 1 ] && [ "${ZV_FAULT_NO_NETNS:-}" != 1 ]; then
  if unshare -n true 2>/dev/null; then
    exec unshare -n env ZV_FAULT_NETNS=1 bash "$self" "$@"
  fi
  echo "$(basename "$0"): no network namespace here (unshare -n refused); running outside one" >&2
fi
if [ "${ZV_FAULT_NETNS:-}" = 1 ]; then
  ip link set lo up
fi
if [ "${SKIP_BUILD:-0}" != 1 ]; then
  cmake --build "${BUILD_DIR:-build}" --target zentrovane loader zvtar zvclient zvaccount >/dev/null
fi
exec python3 "scripts/fault/$1.py" "${@:2}"
