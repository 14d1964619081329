#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for tests and benchmarks.
#
#   bash scripts/pg.sh start DIR [OPTIONS]   initdb into DIR/data if needed, start, print the DSN
#   bash scripts/pg.sh stop DIR      fast shutdown; nothing to do when not running
#   bash scripts/pg.sh restart DIR   stop then start (prints the DSN)
#   bash scripts/pg.sh dsn DIR       print the DSN
#
# The server listens only on a Unix socket in DIR (no TCP), trusts every local
# user and knows one role, vorlane. fsync stays on: commit durability is part
# of what the tests and benchmarks measure. The server log is DIR/log.
#
# Options of start, kept in DIR for later starts and restarts:
#   --tcp           also listen on 127.0.0.1, on a free port picked at the
#                   first start (the socket's name carries the same port, so
#                   the printed DSN tells it), trusting connections from there
#                   too, and log every connection with the client's address
#   --ssl CERT KEY  with --tcp: TLS with this certificate and key (clients
#                   choose: connections without TLS are served too)
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
  echo "usage: bash scripts/pg.sh {start|stop|restart|dsn} DIR  (start: [--tcp [--ssl CERT KEY]])" >&2
  exit 2
}

[[ $# -ge 2 ]] || usage
cmd=$1
dir=$2
shift 2
[[ -n $dir ]] || usage
tcp=0
ssl_cert=
ssl_key=
while (($#)); do
  case $cmd:$1 in
    start:--tcp) tcp=1; shift ;;
    start:--ssl)
      (($# >= 3)) || usage
      ssl_cert=$(realpath -- "$2") ssl_key=$(realpath -- "$3")
      shift 3
      ;;
    *) usage ;;
  esac
done
[[ -z $ssl_cert || $tcp == 1 ]] || die "--ssl needs --tcp"

# Absolute path: it becomes the socket directory in the DSN.
mkdir -p -- "$dir"
dir=$(cd -- "$dir" && pwd -P)
data=$dir/data
log=$dir/log

# The socket path (DIR/.s.PGSQL.<port>) must fit in sun_path (107 bytes).
if ((${#dir} + 16 > 107)); then
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

port() {
  if [[ -f $dir/port ]]; then cat -- "$dir/port"; else echo "$PORT"; fi
}

dsn() {
  echo "host=$dir port=$(port) dbname=postgres user=vorlane"
}

# Settings from start's options, in a file the server's configuration
# includes (listening on TCP, TLS), and who may connect: local users and
# 127.0.0.1.
configure() {
  local settings=$data/vorlane.conf hba=$data/pg_hba.conf
  grep -qx "include_if_exists = 'vorlane.conf'" "$data/postgresql.conf" ||
    echo "include_if_exists = 'vorlane.conf'" | as_server tee -a "$data/postgresql.conf" >/dev/null
  [[ $tcp == 1 || ! -f $settings ]] || return 0
  local port_value=$PORT listen=
  if [[ $tcp == 1 ]]; then
    [[ -f $dir/port ]] ||
      python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' \
        >"$dir/port"
    port_value=$(cat -- "$dir/port")
    listen=127.0.0.1
  fi
  {
    echo "port = $port_value"
    echo "listen_addresses = '$listen'"
    if [[ $tcp == 1 ]]; then
      # Each connection in the log, with the client's address ([local] for the socket).
      echo "log_connections = on"
      echo "log_line_prefix = '%m [%p] %h '"
    fi
    if [[ -n $ssl_cert ]]; then
      echo "ssl = on"
      echo "ssl_cert_file = '$dir/server.crt'"
      echo "ssl_key_file = '$dir/server.key'"
    fi
  } | as_server tee "$settings" >/dev/null
  printf '%s\n' "local all all trust" "host all all 127.0.0.1/32 trust" | as_server tee "$hba" >/dev/null
  if [[ -n $ssl_cert ]]; then
    install -m 0644 -- "$ssl_cert" "$dir/server.crt"
    install -m 0600 -- "$ssl_key" "$dir/server.key"
    [[ $(id -u) -ne 0 ]] || chown postgres: -- "$dir/server.crt" "$dir/server.key"
  fi
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
  configure
  if ! running; then
    quietly as_server "$bindir/pg_ctl" -D "$data" -l "$log" -w -t 60 \
      -o "-k '$dir'" start ||
      die "the server did not start (log: $log)"
  fi
  # pg_ctl -w waits for the postmaster; make sure a session can really be opened.
  local i
  for ((i = 0; i < 100; i++)); do
    if "$bindir/pg_isready" -q -h "$dir" -p "$(port)" -U vorlane -d postgres; then
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
