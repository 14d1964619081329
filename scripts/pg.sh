#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for tests and benchmarks.
#
#   bash scripts/pg.sh start DIR     initdb into DIR/data if needed, start, print the DSN
#   bash scripts/pg.sh stop DIR      fast shutdown; nothing to do when not running
#   bash scripts/pg.sh restart DIR   stop then start (prints the DSN)
#   bash scripts/pg.sh dsn DIR       print the DSN
#
# The server listens only on a Unix socket in DIR (no TCP), trusts every local
# user and knows one role, vorlane. fsync stays on: commit durability is part
# of what the tests and benchmarks measure. The server log is DIR/log.
#
# initdb refuses to run as root, so under root the server runs as the
# `postgres` OS user (created by Debian's postgresql package) and DIR is
# handed to that user.
set -euo pipefail

readonly PORT=5432

die() {
  echo "pg.sh: $*" >&2
  exit 1
}

usage() {
  echo "usage: bash scripts/pg.sh {start|stop|restart|dsn} DIR" >&2
  exit 2
}

[[ $# -eq 2 ]] || usage
cmd=$1
dir=$2
[[ -n $dir ]] || usage

# Absolute path: it becomes the socket directory in the DSN.
mkdir -p -- "$dir"
dir=$(cd -- "$dir" && pwd -P)
data=$dir/data
log=$dir/log

# The socket path (DIR/.s.PGSQL.5432) must fit in sun_path (107 bytes).
if ((${#dir} + 15 > 107)); then
  die "DIR is too long for a Unix socket path (${#dir} characters; keep it under 92): $dir"
fi

bindir=
for candidate in /usr/lib/postgresql/*/bin; do
  [[ -x $candidate/pg_ctl && -x $candidate/initdb ]] || continue
  version=${candidate%/bin}
  version=${version##*/}
  if [[ -z $bindir ]] || ((${version%%.*} > best)); then
    bindir=$candidate
    best=${version%%.*}
  fi
done
[[ -n $bindir ]] || die "no PostgreSQL server binaries under /usr/lib/postgresql/*/bin; install them with: apt-get install postgresql"

if [[ $(id -u) -eq 0 ]]; then
  id postgres >/dev/null 2>&1 || die "running as root needs the 'postgres' OS user (apt-get install postgresql)"
  as_server() { runuser -u postgres -- "$@"; }
  chown postgres: -- "$dir"
  as_server test -x "$dir" -a -w "$dir" ||
    die "the postgres OS user cannot use $dir (is a parent directory closed to other users?)"
else
  as_server() { "$@"; }
fi

dsn() {
  echo "host=$dir port=$PORT dbname=postgres user=vorlane"
}

running() {
  [[ -f $data/PG_VERSION ]] && as_server "$bindir/pg_ctl" -D "$data" status >/dev/null 2>&1
}

# Runs a server command with its output kept aside; shows it only on failure.
quietly() {
  local out
  if ! out=$("$@" 2>&1); then
    printf '%s\n' "$out" >&2
    [[ -f $log ]] && { echo "--- last lines of $log:" >&2; tail -n 20 -- "$log" >&2; }
    return 1
  fi
}

start() {
  if [[ ! -f $data/PG_VERSION ]]; then
    quietly as_server "$bindir/initdb" -D "$data" --auth=trust -U vorlane -E UTF8 \
      --locale=C.UTF-8 --no-instructions || die "initdb into $data failed"
  fi
  if ! running; then
    quietly as_server "$bindir/pg_ctl" -D "$data" -l "$log" -w -t 60 \
      -o "-p $PORT -k '$dir' -c listen_addresses=''" start ||
      die "the server did not start (log: $log)"
  fi
  # pg_ctl -w waits for the postmaster; make sure a session can really be opened.
  local i
  for ((i = 0; i < 100; i++)); do
    if "$bindir/pg_isready" -q -h "$dir" -p "$PORT" -U vorlane -d postgres; then
      dsn
      return 0
    fi
    sleep 0.1
  done
  die "the server does not accept connections (log: $log)"
}

stop() {
  if running; then
    quietly as_server "$bindir/pg_ctl" -D "$data" -m fast -w -t 60 stop ||
      die "the server did not stop (log: $log)"
  fi
}

case $cmd in
  start) start ;;
  stop) stop ;;
  restart)
    stop
    start
    ;;
  dsn) dsn ;;
  *) usage ;;
esac
