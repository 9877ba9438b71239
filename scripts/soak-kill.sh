#!/usr/bin/env bash
# Fault run: N kill -9s of the server at random moments during uploads of
# configuration tables, log tables and attachment packages, each followed by
# a restart and a resumed upload; then checks that every file is on the
# server byte for byte with its CRC and every table row is there exactly
# once, and reports what it did and what was lost (exit 1 when anything
# was). Runs in a network namespace of its own with a MariaDB of its own.
#
#   scripts/soak-kill.sh [N]        (default 100; SOAK_SEED=n, KEEP=1)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/fault-netns.sh
BUILD_DIR=${BUILD_DIR:-build}
if [ "${SKIP_BUILD:-0}" != 1 ]; then
  cmake --build "$BUILD_DIR" --target zentrovane loader zvtar zvclient zvaccount >/dev/null
fi
exec python3 scripts/fault/soak_kill.py "${1:-100}"
