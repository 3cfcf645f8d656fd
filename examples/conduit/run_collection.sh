#!/usr/bin/env bash
# Serve the app on a free port on a fresh database of each engine named, run the
# upstream RealWorld collection against it (shared/realworld/run.sh), stop the app,
# and fail unless every request ran and every assertion passed.
#
# Usage: run_collection.sh [sqlite] [postgres] [mariadb]   (default: all three)
# PostgreSQL (127.0.0.1:5432, user postgres) and MariaDB (127.0.0.1:3306, root) get a
# database of their own, dropped after. A server that does not answer is skipped with
# a note, or fails the run under CI.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
PY="${PY:-$ROOT/.venv/bin/python}"
RUN_SH=""
for c in "$ROOT/../shared/realworld/run.sh" /work/shared/realworld/run.sh; do
  [[ -f "$c" ]] && { RUN_SH="$c"; break; }
done
[[ -n "$RUN_SH" ]] || { echo "conduit: shared/realworld/run.sh not found beside the repository"; exit 2; }
ENGINES=("$@")
[[ ${#ENGINES[@]} -gt 0 ]] || ENGINES=(sqlite postgres mariadb)
is_ci() { [[ -n "${CI:-}" && "${CI,,}" != "0" && "${CI,,}" != "false" && "${CI,,}" != "no" ]]; }

WORK="$(mktemp -d)"
DB_NAME="conduit_test_$$_$RANDOM"
SERVER_PID=""
DROP=""
cleanup() {
  if [[ -n "$SERVER_PID" ]]; then kill "$SERVER_PID" 2>/dev/null; wait "$SERVER_PID" 2>/dev/null; SERVER_PID=""; fi
  if [[ -n "$DROP" ]]; then eval "$DROP" >/dev/null 2>&1; DROP=""; fi
}
trap 'cleanup; rm -rf "$WORK"' EXIT

pg() { psql -h 127.0.0.1 -U postgres -d test -XAtq -v ON_ERROR_STOP=1 -c "$1"; }
my() { "$(command -v mariadb || echo mysql)" -h 127.0.0.1 -u root -e "$1"; }

# Sets URL to a fresh database of the engine; fails when its server is absent.
fresh_database() {
  case "$1" in
    sqlite) URL="sqlite:///$WORK/conduit.db" ;;
    postgres)
      pg "CREATE DATABASE $DB_NAME" >/dev/null 2>"$WORK/create.err" || return 1
      DROP="pg 'DROP DATABASE IF EXISTS $DB_NAME'"
      URL="postgresql://postgres@127.0.0.1:5432/$DB_NAME" ;;
    mariadb)
      my "CREATE DATABASE $DB_NAME" 2>"$WORK/create.err" || return 1
      DROP="my 'DROP DATABASE IF EXISTS $DB_NAME'"
      URL="mysql://root@127.0.0.1:3306/$DB_NAME" ;;
    *) echo "conduit: unknown engine $1 (sqlite, postgres, mariadb)" >&2; exit 2 ;;
  esac
}

free_port() { "$PY" -c "import socket; s = socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])"; }

failed=0
for engine in "${ENGINES[@]}"; do
  if ! fresh_database "$engine"; then
    note="conduit [$engine]: no database server ($(head -1 "$WORK/create.err"))"
    if is_ci; then echo "$note; CI needs it"; failed=1; else echo "$note: skipped"; fi
    continue
  fi
  port="$(free_port)"
  CONDUIT_DATABASE_URL="$URL" CONDUIT_PORT="$port" CONDUIT_LOG_LEVEL=warning PYTHONPATH="$ROOT/examples/conduit" \
    "$PY" -m conduit >"$WORK/server.log" 2>&1 &
  SERVER_PID=$!
  up=0
  for _ in $(seq 1 120); do
    curl -sf -o /dev/null "http://127.0.0.1:$port/api/tags" && { up=1; break; }
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.25
  done
  if [[ $up == 1 ]]; then
    DELAY_REQUEST=10 RW_STRICT_STATUS=1 RW_RUN_TIMEOUT_S=300 bash "$RUN_SH" "http://127.0.0.1:$port/api" >"$WORK/run.log" 2>&1
    rc=$?
  else
    echo "conduit [$engine]: the app did not start"; rc=3
  fi
  cleanup
  if [[ $rc == 0 ]]; then
    echo "conduit [$engine]: $(grep '^realworld: assertions' "$WORK/run.log" | sed 's/^realworld: *//')"
  else
    failed=1
    [[ -f "$WORK/run.log" ]] && tail -80 "$WORK/run.log"
    echo "--- app log"; tail -40 "$WORK/server.log"
    echo "conduit [$engine]: FAILED (run.sh exited $rc)"
  fi
  rm -f "$WORK/run.log" "$WORK/server.log" "$WORK/conduit.db"
done
exit $failed
