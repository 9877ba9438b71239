#!/usr/bin/env bash
# A first upload, all the way into the database: generates the sample files
# of one appliance and day (a config table, log tables of the kinds A, U and
# oprlog, an attachment package) and uploads them to the server that
# scripts/run-server.sh runs, then shows what arrived.
#
#   scripts/try-upload.sh [zvclient trial options...]
#
# Environment:
#   ZV_SYNC_PORT   the server's sync port (default 810 as root, 8810 otherwise,
#                  as run-server.sh chooses)
#   ZV_DEVICE      the appliance's device id (default 00A1B2C3)
#   ZV_DATE        the day of the log tables, YYYYMMDD (default 20101216)
#   BUILD_DIR      build folder (default build)
#   RUN_HOME       the server's home (default ./run/home), for the summary
# The account is run-server.sh's demo account (user demo, password demo,
# storage shop1).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
RUN_HOME=$(realpath -m "${RUN_HOME:-run/home}")
RUN_ROOT=$(dirname "$RUN_HOME")
if [ "$(id -u)" -eq 0 ]; then
  PORT=${ZV_SYNC_PORT:-810}
else
  PORT=${ZV_SYNC_PORT:-8810}
fi
DEVICE=${ZV_DEVICE:-00A1B2C3}
DATE=${ZV_DATE:-20101216}
ZVCLIENT="$BUILD_DIR/bin/zvclient"
if [ ! -x "$ZVCLIENT" ]; then
  echo "try-upload: $ZVCLIENT is missing; build it with: cmake --build $BUILD_DIR --target zvclient" >&2
  exit 2
fi

status=0
"$ZVCLIENT" trial --host 127.0.0.1 --port "$PORT" --user demo --password demo \
  --device "$DEVICE" --date "$DATE" --out "$RUN_ROOT/trial" --compress lzo "$@" || status=$?
if [ "$status" -ne 0 ]; then
  echo "try-upload: the upload did not go through (exit code $status); is scripts/run-server.sh running on port $PORT?" >&2
  exit "$status"
fi

echo
echo "Received files below $RUN_ROOT/mysql/log_data/shop1 and $RUN_ROOT/attach/shop1:"
find "$RUN_ROOT/mysql/log_data/shop1" "$RUN_ROOT/attach/shop1" -type f 2>/dev/null | sed 's/^/  /' || true
if command -v mariadb >/dev/null 2>&1; then
  echo
  echo "Rows in database shop1 (MariaDB on 127.0.0.1:811):"
  mariadb --no-defaults --protocol=TCP -h 127.0.0.1 -P 811 -uroot -pqormelt -t shop1 -e "
    SELECT 'users' AS table_name, COUNT(*) AS row_count FROM users
    UNION ALL SELECT 'A$DATE', COUNT(*) FROM \`A$DATE\`
    UNION ALL SELECT 'U$DATE', COUNT(*) FROM \`U$DATE\`
    UNION ALL SELECT 'o$DATE', COUNT(*) FROM \`o$DATE\`;
    SELECT name AS TableInfo FROM TableInfo;
    SELECT table_name AS AttachInfo FROM AttachInfo;" || true
fi
