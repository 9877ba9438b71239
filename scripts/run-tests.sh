#!/usr/bin/env bash
# Sets up and runs the whole test suite on a fresh Debian 12 machine:
# installs the packages, configures and builds, runs every fuzz target for a
# short while (scripts/fuzz.sh: they keep building, and a regression shows),
# makes sure the test MariaDB answers on 127.0.0.1:811, runs every test, and
# stops what it started.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR"
fuzz_status=0
scripts/fuzz.sh "${FUZZ_SECONDS:-30}" || fuzz_status=$?
if [ -x scripts/testdb.sh ]; then
  scripts/testdb.sh start
  trap 'scripts/testdb.sh stop' EXIT
fi
ctest --test-dir "$BUILD_DIR" --output-on-failure -j2 --timeout 600
if [ "$fuzz_status" -ne 0 ]; then
  echo "run-tests: the fuzz targets failed (scripts/fuzz.sh exit $fuzz_status)" >&2
  exit "$fuzz_status"
fi
