#!/usr/bin/env bash
# The load benchmark in one command: installs the packages, builds the
# benchmark and the programs it starts, makes sure the test MariaDB answers
# on 127.0.0.1:811, runs build/bench/load_bench with the given options
# (default: 200 appliances, two 3 MiB files each) and stops what it started.
#
#   scripts/bench-load.sh [--appliances 50] [other load_bench options]
#
# SKIP_BUILD=1 uses the programs already built; BUILD_DIR picks the build
# folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
if [ "${SKIP_BUILD:-0}" != 1 ]; then
  scripts/install-deps.sh
  [ -f "$BUILD_DIR/build.ninja" ] ||
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$BUILD_DIR" --target load_bench
fi
scripts/testdb.sh start
trap 'scripts/testdb.sh stop' EXIT
"$BUILD_DIR/bench/load_bench" "$@"
