#!/usr/bin/env bash
# A private MariaDB instance for the server and the tests.
#
#   scripts/db.sh start <datadir> <port>     initialise (first time) and start an instance
#                                           bound to 127.0.0.1:<port>; waits until it answers;
#                                           creates the application account
#   scripts/db.sh load <port> <dbname> [seed] create the database (cp1251) and load
#                                           db/schema.sql, and db/seed.sql when "seed" is given
#   scripts/db.sh stop <datadir>             stop the instance of that folder
#   scripts/db.sh status <datadir>           exit 0 when the instance of that folder is running
#
# The instance reads no system option file: table names are compared without regard to
# case (lower_case_table_names=1, fixed when the folder is initialised), the server's
# character set is cp1251, and the socket, pid file and error log live in the data folder.
# "start" on a running instance only makes sure the account exists (and refuses when
# it listens on another port than the one asked for).
# VT_DB_FAST=1 trades durability for speed (test instances).
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
APP_USER="${VT_DB_USER:-WebZorvelUser}"
APP_PASSWORD="${VT_DB_PASSWORD:-WebKestrelCiphers}"
ME="$(id -un)"

die() { echo "db.sh: $*" >&2; exit 1; }

find_bin() {
  local b
  for b in "$@"; do
    if command -v "$b" >/dev/null 2>&1; then command -v "$b"; return 0; fi
    if [ -x "/usr/sbin/$b" ]; then echo "/usr/sbin/$b"; return 0; fi
  done
  return 1
}

MARIADBD="$(find_bin mariadbd mysqld || true)"
INSTALL_DB="$(find_bin mariadb-install-db mysql_install_db || true)"
CLIENT="$(find_bin mariadb mysql || true)"
ADMIN="$(find_bin mariadb-admin mysqladmin || true)"

abs_dir() {
  mkdir -p "$1"
  (cd "$1" && pwd)
}

pid_alive() {
  local pidfile="$1" pid
  [ -f "$pidfile" ] || return 1
  pid="$(cat "$pidfile" 2>/dev/null || true)"
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}

# Client through the instance's socket as the operating-system account that
# initialised it (unix_socket authentication).
sock_client() {
  local datadir="$1"; shift
  "$CLIENT" --no-defaults --socket="$datadir/mysqld.sock" -u "$ME" "$@"
}

ensure_account() {
  local datadir="$1"
  # The application account: the statements of every service, the installer's
  # table work, the identity procedure, and the procedure catalogue. Test
  # databases are named vt_t_<...>.
  sock_client "$datadir" <<SQL
CREATE USER IF NOT EXISTS '$APP_USER'@'127.0.0.1' IDENTIFIED BY '$APP_PASSWORD';
CREATE USER IF NOT EXISTS '$APP_USER'@'localhost' IDENTIFIED BY '$APP_PASSWORD';
ALTER USER '$APP_USER'@'127.0.0.1' IDENTIFIED BY '$APP_PASSWORD';
ALTER USER '$APP_USER'@'localhost' IDENTIFIED BY '$APP_PASSWORD';
GRANT SELECT, INSERT, UPDATE, DELETE, CREATE, DROP, ALTER, INDEX, CREATE TEMPORARY TABLES,
      LOCK TABLES, REFERENCES, EXECUTE, CREATE ROUTINE, ALTER ROUTINE, CREATE VIEW, SHOW VIEW,
      TRIGGER
  ON \`webzorvelcentral\`.* TO '$APP_USER'@'127.0.0.1', '$APP_USER'@'localhost';
GRANT SELECT, INSERT, UPDATE, DELETE, CREATE, DROP, ALTER, INDEX, CREATE TEMPORARY TABLES,
      LOCK TABLES, REFERENCES, EXECUTE, CREATE ROUTINE, ALTER ROUTINE, CREATE VIEW, SHOW VIEW,
      TRIGGER
  ON \`vt\\_t\\_%\`.* TO '$APP_USER'@'127.0.0.1', '$APP_USER'@'localhost';
GRANT SELECT ON mysql.proc TO '$APP_USER'@'127.0.0.1', '$APP_USER'@'localhost';
FLUSH PRIVILEGES;
SQL
}

cmd_start() {
  local datadir port
  [ $# -ge 2 ] || die "usage: db.sh start <datadir> <port>"
  datadir="$(abs_dir "$1")"; port="$2"
  [ -n "$MARIADBD" ] && [ -n "$INSTALL_DB" ] && [ -n "$CLIENT" ] ||
    die "MariaDB server binaries are missing (run scripts/install-deps.sh)"

  if pid_alive "$datadir/mysqld.pid"; then
    local running
    running="$(sock_client "$datadir" -N -B -e 'SELECT @@port' 2>/dev/null || true)"
    [ "$running" = "$port" ] ||
      die "MariaDB already runs in $datadir on port ${running:-unknown}, not $port: stop it first (scripts/db.sh stop $datadir)"
    ensure_account "$datadir"
    echo "MariaDB already running in $datadir on 127.0.0.1:$port"
    return 0
  fi

  local userarg=()
  [ "$(id -u)" -eq 0 ] && userarg=(--user=root)

  if [ ! -d "$datadir/mysql" ]; then
    echo "Initialising MariaDB data folder $datadir"
    "$INSTALL_DB" --no-defaults --datadir="$datadir" "${userarg[@]}" \
      --auth-root-authentication-method=socket --auth-root-socket-user="$ME" \
      --skip-test-db --lower-case-table-names=1 \
      --character-set-server=cp1251 --collation-server=cp1251_general_ci \
      >"$datadir/install.log" 2>&1 || { cat "$datadir/install.log" >&2; die "initialisation failed"; }
  fi

  local extra=()
  if [ "${VT_DB_FAST:-0}" = "1" ]; then
    extra=(--innodb-flush-log-at-trx-commit=0 --innodb-doublewrite=0 --innodb-file-per-table=0
           --innodb-buffer-pool-size=128M --sync-binlog=0)
  fi

  rm -f "$datadir/mysqld.sock" "$datadir/mysqld.pid"
  # setsid: the instance outlives the shell that started it.
  setsid "$MARIADBD" --no-defaults "${userarg[@]}" \
    --datadir="$datadir" --socket="$datadir/mysqld.sock" --pid-file="$datadir/mysqld.pid" \
    --log-error="$datadir/mysqld.err" --port="$port" --bind-address=127.0.0.1 \
    --lower-case-table-names=1 --character-set-server=cp1251 --collation-server=cp1251_general_ci \
    --skip-name-resolve --max-connections=500 --innodb-log-file-size=48M \
    "${extra[@]}" </dev/null >/dev/null 2>&1 &
  local server_pid=$!

  local i
  for i in $(seq 1 600); do
    if [ -S "$datadir/mysqld.sock" ] &&
       "$ADMIN" --no-defaults --socket="$datadir/mysqld.sock" -u "$ME" ping >/dev/null 2>&1; then
      ensure_account "$datadir"
      echo "MariaDB running in $datadir on 127.0.0.1:$port"
      return 0
    fi
    if ! kill -0 "$server_pid" 2>/dev/null && ! pid_alive "$datadir/mysqld.pid"; then
      tail -n 30 "$datadir/mysqld.err" >&2 || true
      die "the server did not start"
    fi
    sleep 0.1
  done
  tail -n 30 "$datadir/mysqld.err" >&2 || true
  die "the server did not answer within 60 s"
}

cmd_stop() {
  local datadir pid i
  [ $# -ge 1 ] || die "usage: db.sh stop <datadir>"
  [ -d "$1" ] || return 0
  datadir="$(cd "$1" && pwd)"
  pid_alive "$datadir/mysqld.pid" || { rm -f "$datadir/mysqld.pid"; return 0; }
  pid="$(cat "$datadir/mysqld.pid")"
  kill -TERM "$pid" 2>/dev/null || true
  for i in $(seq 1 600); do
    kill -0 "$pid" 2>/dev/null || { echo "MariaDB in $datadir stopped"; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  echo "MariaDB in $datadir killed" >&2
}

cmd_status() {
  [ $# -ge 1 ] || die "usage: db.sh status <datadir>"
  [ -d "$1" ] || return 1
  pid_alive "$(cd "$1" && pwd)/mysqld.pid"
}

cmd_load() {
  local port name seed
  [ $# -ge 2 ] || die "usage: db.sh load <port> <dbname> [seed]"
  port="$1"; name="$2"; seed="${3:-}"
  [[ "$name" =~ ^[A-Za-z0-9_]+$ ]] || die "invalid database name: $name"
  local cli=("$CLIENT" --no-defaults -h 127.0.0.1 -P "$port" -u "$APP_USER" -p"$APP_PASSWORD")
  "${cli[@]}" -e "CREATE DATABASE \`$name\` DEFAULT CHARACTER SET cp1251 COLLATE cp1251_general_ci"
  "${cli[@]}" --default-character-set=cp1251 "$name" <"$ROOT/db/schema.sql"
  if [ "$seed" = "seed" ]; then
    # The seed is UTF-8 text; the server converts it into the cp1251 columns.
    "${cli[@]}" --default-character-set=utf8mb4 "$name" <"$ROOT/db/seed.sql"
  fi
  echo "Database $name loaded"
}

cmd_exists() {
  local port="$1" name="$2"
  local out
  out="$("$CLIENT" --no-defaults -h 127.0.0.1 -P "$port" -u "$APP_USER" -p"$APP_PASSWORD" -N -B \
         -e "SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = '$name'")"
  [ "$out" != "0" ]
}

case "${1:-}" in
  start) shift; cmd_start "$@" ;;
  stop) shift; cmd_stop "$@" ;;
  status) shift; cmd_status "$@" ;;
  load) shift; cmd_load "$@" ;;
  exists) shift; [[ "${2:-}" =~ ^[A-Za-z0-9_]+$ ]] || die "invalid database name"; cmd_exists "$@" ;;
  *) die "usage: db.sh start <datadir> <port> | load <port> <dbname> [seed] | stop <datadir> | status <datadir> | exists <port> <dbname>" ;;
esac
