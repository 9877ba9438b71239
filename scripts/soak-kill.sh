#!/usr/bin/env bash
# Fault run: N kill -9s of the server at random moments during uploads of
# configuration tables, log tables and attachment packages, each followed by
# a restart and a resumed upload; then checks that every file is on the
# server byte for byte with its CRC and every table row is there exactly
# once, and reports what it did and what was lost (exit 1 when anything
# was). Runs in a network namespace of its own with a MariaDB of its own.
#
#   scripts/soak-kill.sh [N]        (default 100; SOAK_SEED=n, KEEP=1)
exec "$(dirname "$0")/fault-run.sh" soak_kill "${1:-100}"
