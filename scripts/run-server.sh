#!/usr/bin/env bash
# Runs the Zentrovane server in the foreground from a local installation.
#
#   scripts/run-server.sh [HOME]
#
# On a fresh Debian 12 machine: installs the packages (scripts/install-deps.sh),
# builds the programs, sets up HOME (default ./run/home) with Zentrovane.exe,
# Loader.exe, zvtar.exe and zvclient beside each other, the settings file,
# config/dbconf.ini, config/zvtools.ini, ../mysql_path.ini (data below the run
# folder) and an account file with the demo account (user demo, password
# demo, storage shop1), then starts "Zentrovane.exe -app" until Ctrl+C.
#
# Environment:
#   ZV_SYNC_PORT, ZV_UI_PORT  ports written into the settings file (default
#                             810 and 812 as root, 8810 and 8812 otherwise:
#                             ports below 1024 need root)
#   ZENTROVANE_REGISTRY       settings file (default HOME/config/registry.reg)
#   BUILD_DIR                 build folder (default build)
#   SKIP_BUILD=1              use the programs already built
set -euo pipefail
cd "$(dirname "$0")/.."
SOURCE_DIR=$(pwd)
RUN_HOME=$(realpath -m "${1:-$SOURCE_DIR/run/home}")
RUN_ROOT=$(dirname "$RUN_HOME")
BUILD_DIR=${BUILD_DIR:-build}

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  scripts/install-deps.sh
  if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
  cmake --build "$BUILD_DIR" --target zentrovane loader zvtar zvclient zvaccount
fi
BIN="$BUILD_DIR/bin"

if [ "$(id -u)" -eq 0 ]; then
  SYNC_PORT=${ZV_SYNC_PORT:-810}
  UI_PORT=${ZV_UI_PORT:-812}
else
  SYNC_PORT=${ZV_SYNC_PORT:-8810}
  UI_PORT=${ZV_UI_PORT:-8812}
fi

mkdir -p "$RUN_HOME/config" "$RUN_ROOT/mysql" "$RUN_ROOT/attach"
# The server finds its companions beside itself, and its home is the folder
# of its executable: copy (a symbolic link would resolve to the build).
for program in Zentrovane.exe Loader.exe zvtar.exe zvclient; do
  if [ -f "$BIN/$program" ]; then
    cp -f "$BIN/$program" "$RUN_HOME/$program"
  else
    echo "run-server: $BIN/$program is missing; the server runs without it" >&2
  fi
done

# Settings file: the defaults the server would write, with the two ports.
REGISTRY=${ZENTROVANE_REGISTRY:-$RUN_HOME/config/registry.reg}
set_dword() {  # name value
  local line
  line=$(printf '"%s"=dword:%08x' "$1" "$2")
  if grep -q "^\"$1\"=" "$REGISTRY"; then
    sed -i "s|^\"$1\"=.*|$line|" "$REGISTRY"
  else
    printf '%s\n' "$line" >> "$REGISTRY"
  fi
}
if [ ! -f "$REGISTRY" ]; then
  mkdir -p "$(dirname "$REGISTRY")"
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Korvane\\Zentrovane]\n' > "$REGISTRY"
fi
set_dword SyncPort "$SYNC_PORT"
set_dword UIPort "$UI_PORT"
set_dword DisableWatchDog 1

if [ ! -f "$RUN_HOME/config/dbconf.ini" ]; then
  printf '[DB_CONFIG]\r\nDbType=1\r\nSQLServer=127.0.0.1\r\nSQLPort=811\r\nSQLUser=root\r\nSQLPWD=\r\nFilePath=%s\r\n' \
    "$RUN_ROOT/attach" > "$RUN_HOME/config/dbconf.ini"
fi
if [ ! -f "$RUN_HOME/config/zvtools.ini" ]; then
  printf '[ZV_CONFIG]\r\nAlarmValue=0\r\nAutoDelOneDay=0\r\nEncodeAttach=0\r\nDelMethod=2\r\nDelDay=0\r\nDelPercent=0\r\nDelMid=0\r\nAutoDelMidDay=0\r\n' \
    > "$RUN_HOME/config/zvtools.ini"
fi
if [ ! -f "$RUN_ROOT/mysql_path.ini" ]; then
  printf '[mysql]\r\npath=%s\r\n' "$RUN_ROOT/mysql" > "$RUN_ROOT/mysql_path.ini"
fi
if ! "$BIN/zvaccount" list "$RUN_HOME/config/syncaccount.dat" | grep -q '^user demo '; then
  "$BIN/zvaccount" add "$RUN_HOME/config/syncaccount.dat" --user demo --password demo --storage shop1
fi

# The local MySQL server the importer loads into (127.0.0.1:811); kept
# running after the server stops (scripts/testdb.sh stop ends it).
scripts/testdb.sh start

echo "Zentrovane: home $RUN_HOME, TCP and sync-info port $SYNC_PORT, console port $UI_PORT"
echo "Try: $BIN/zvclient login --host 127.0.0.1 --port $SYNC_PORT --user demo --password demo --device 00A1B2C3"
export ZENTROVANE_HOME="$RUN_HOME" ZENTROVANE_REGISTRY="$REGISTRY"
exec "$RUN_HOME/Zentrovane.exe" -app
