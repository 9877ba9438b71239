#!/usr/bin/env bash
# The test database: makes sure a MariaDB server answers on 127.0.0.1:811
# with the root password "qormelt", as the server and the importer expect.
#
#   scripts/testdb.sh start    starts a throwaway server in a temporary data
#                              folder when none answers (idempotent)
#   scripts/testdb.sh stop     stops the server this script started, once the
#                              last "start" has been matched by a "stop"
#   scripts/testdb.sh stop -f  stops the server this script started at once
#   scripts/testdb.sh status   says whether a server answers and whose it is
#
# State (pid, data folder, socket, number of users) lives in
# $ZV_TESTDB_STATE (default /tmp/zentrovane-testdb). Every command runs under
# an exclusive lock on a file there, so two shells may call it at the same
# time. A server that answers but was not started here is used as it is and
# never stopped.
set -euo pipefail

PORT=811
HOST=127.0.0.1
PASSWORD=qormelt
STATE_DIR=${ZV_TESTDB_STATE:-/tmp/zentrovane-testdb}
STATE_FILE="$STATE_DIR/state"

log() { echo "testdb: $*" >&2; }

# The server answers a TCP login as root with the expected password.
login_works() {
  mariadb --no-defaults --protocol=TCP -h "$HOST" -P "$PORT" -uroot "-p$PASSWORD" \
    --connect-timeout=3 -N -e 'SELECT 1' >/dev/null 2>&1
}

# Something answers the MariaDB protocol on the port (even with access denied).
port_answers() {
  mariadb-admin --no-defaults --protocol=TCP -h "$HOST" -P "$PORT" --connect-timeout=2 \
    ping >/dev/null 2>&1
}

read_state() {
  pid="" datadir="" socket="" users=0
  if [ -f "$STATE_FILE" ]; then
    # shellcheck disable=SC1090
    . "$STATE_FILE"
  fi
}

write_state() {
  local tmp="$STATE_FILE.tmp"
  printf 'pid=%q\ndatadir=%q\nsocket=%q\nusers=%q\n' "$pid" "$datadir" "$socket" "$users" >"$tmp"
  mv -f "$tmp" "$STATE_FILE"
}

# The server recorded in the state file still runs: same pid, a mariadbd,
# and started on our data folder (a reused pid is not ours).
ours_alive() {
  [ -n "$pid" ] && [ -n "$datadir" ] && kill -0 "$pid" 2>/dev/null &&
    [ "$(readlink -f "/proc/$pid/exe" 2>/dev/null | xargs -r basename)" = mariadbd ] &&
    tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF -- "--datadir=$datadir"
}

ensure_installed() {
  if command -v mariadbd >/dev/null 2>&1 && command -v mariadb-install-db >/dev/null 2>&1 &&
    command -v mariadb >/dev/null 2>&1; then
    return
  fi
  log "installing mariadb-server"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    mariadb-server mariadb-client
  # The package may start its own server on the default port; it does not
  # touch port 811, so it is left alone.
}

start_server() {
  ensure_installed
  local mariadbd_bin
  mariadbd_bin=$(command -v mariadbd)
  datadir=$(mktemp -d "$STATE_DIR/data.XXXXXX")
  socket="$datadir/mysqld.sock"
  local user_args=()
  [ "$(id -u)" -eq 0 ] && user_args=(--user=root)
  log "creating a throwaway server in $datadir"
  if ! mariadb-install-db --no-defaults --datadir="$datadir" "${user_args[@]}" \
    --auth-root-authentication-method=normal --skip-test-db >"$datadir/install.log" 2>&1; then
    cat "$datadir/install.log" >&2
    rm -rf "$datadir"
    log "mariadb-install-db failed"
    exit 1
  fi
  setsid "$mariadbd_bin" --no-defaults --datadir="$datadir" --socket="$socket" \
    --port="$PORT" --bind-address="$HOST" "${user_args[@]}" --skip-name-resolve \
    --pid-file="$datadir/mysqld.pid" --log-error="$datadir/error.log" \
    --innodb-log-file-size=4M --local-infile=1 --max-connections=500 \
    </dev/null >/dev/null 2>&1 9>&- &
  pid=$!
  users=0
  write_state
  local i
  for i in $(seq 1 300); do
    if mariadb-admin --no-defaults --socket="$socket" ping >/dev/null 2>&1; then
      break
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      cat "$datadir/error.log" >&2 || true
      log "the server ended during start-up"
      rm -rf "$datadir"
      pid="" datadir="" socket=""
      write_state
      exit 1
    fi
    sleep 0.1
  done
  if ! mariadb --no-defaults --socket="$socket" -uroot -e "
      ALTER USER root@localhost IDENTIFIED BY '$PASSWORD';
      CREATE USER IF NOT EXISTS root@'127.0.0.1' IDENTIFIED BY '$PASSWORD';
      ALTER USER root@'127.0.0.1' IDENTIFIED BY '$PASSWORD';
      GRANT ALL PRIVILEGES ON *.* TO root@'127.0.0.1' WITH GRANT OPTION;
      FLUSH PRIVILEGES;" 2>"$datadir/alter.log"; then
    cat "$datadir/alter.log" >&2
    log "setting the root password failed"
    stop_ours
    exit 1
  fi
  log "server pid $pid answers on $HOST:$PORT"
}

stop_ours() {
  if ours_alive; then
    kill -TERM "$pid" 2>/dev/null || true
    local i
    for i in $(seq 1 300); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
      log "server pid $pid did not stop within 30 s"
      return 1
    fi
    log "stopped server pid $pid"
  fi
  [ -n "$datadir" ] && [ -d "$datadir" ] && rm -rf "$datadir"
  pid="" datadir="" socket="" users=0
  write_state
}

cmd_start() {
  read_state
  if login_works; then
    if ours_alive; then
      users=$((users + 1))
      write_state
    fi
    return 0
  fi
  if port_answers; then
    log "a server answers on $HOST:$PORT but refuses root with the expected password"
    exit 1
  fi
  if ours_alive; then
    log "our server pid $pid runs but does not answer; restarting it"
  fi
  stop_ours
  start_server
  users=1
  write_state
}

cmd_stop() {
  read_state
  if ! ours_alive; then
    [ -n "$datadir" ] && [ -d "$datadir" ] && rm -rf "$datadir"
    pid="" datadir="" socket="" users=0
    write_state
    return 0
  fi
  if [ "${1:-}" != "-f" ] && [ "$users" -gt 1 ]; then
    users=$((users - 1))
    write_state
    log "server pid $pid still used by $users caller(s)"
    return 0
  fi
  stop_ours
}

cmd_status() {
  read_state
  if login_works; then
    if ours_alive; then
      echo "running: pid $pid, data $datadir, users $users"
    else
      echo "running: not started by this script"
    fi
  elif port_answers; then
    echo "answering but refusing root/$PASSWORD"
    return 1
  else
    echo "not running"
    return 3
  fi
}

mkdir -p "$STATE_DIR"
exec 9>"$STATE_DIR/lock"
flock 9

case "${1:-}" in
  start) cmd_start ;;
  stop) cmd_stop "${2:-}" ;;
  status) cmd_status ;;
  *)
    echo "usage: $0 start|stop [-f]|status" >&2
    exit 2
    ;;
esac
