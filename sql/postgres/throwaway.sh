#!/usr/bin/env bash
# Runs a command against a throwaway PostgreSQL server: the extension installed from a build tree
# into the server's folders, a cluster made by initdb in a temporary directory (as the postgres
# user when run as root), a private Unix socket and no TCP port. The server is stopped and the
# directory removed however the command ends.
#
#   throwaway.sh PG_BINDIR BUILD_DIR COMMAND [ARG...]
#
# The command sees PGHOST, PGPORT, PGUSER and PGDATABASE. QVPG_CONF may hold extra lines for
# postgresql.conf, QVPG_TIMEOUT a limit in seconds for the command (default 900). Exit status: the
# command's; 77 when no server can be started here.
set -uo pipefail
[ $# -ge 3 ] || { echo "usage: $0 PG_BINDIR BUILD_DIR COMMAND [ARG...]" >&2; exit 2; }
bindir=$1 build=$(cd "$2" && pwd) || exit 2
shift 2
skip() { echo "SKIP: $*" >&2; exit 77; }

[ -x "$bindir/initdb" ] && [ -x "$bindir/pg_ctl" ] || skip "no PostgreSQL server programs in $bindir"
pg_config="$bindir/pg_config"
[ -x "$pg_config" ] || pg_config=pg_config
pkglibdir=$("$pg_config" --pkglibdir) && sharedir=$("$pg_config" --sharedir) || skip "pg_config does not answer"

as_server=()
if [ "$(id -u)" -eq 0 ]; then
    id postgres >/dev/null 2>&1 || skip "running as root, but there is no postgres user to run the server"
    as_server=(runuser -u postgres --)
elif [ ! -w "$pkglibdir" ] || [ ! -w "$sharedir/extension" ]; then
    skip "cannot install the extension into $pkglibdir and $sharedir/extension (run as root)"
fi

tmp=$(mktemp -d /tmp/qvpg.XXXXXX) || exit 1
data="$tmp/data"
cleanup() {
    trap - EXIT INT TERM HUP
    if [ -f "$data/postmaster.pid" ]; then
        (cd "$tmp" && "${as_server[@]}" "$bindir/pg_ctl" -D "$data" -m immediate -w -t 30 stop >/dev/null 2>&1) ||
            kill -9 "$(head -1 "$data/postmaster.pid")" 2>/dev/null
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The extension's install rules (and the tests' update script), staged and then put in place as new files: a server elsewhere
# that has the old module loaded keeps its copy instead of seeing it overwritten.
DESTDIR="$tmp/stage" cmake --install "$build" --component postgresql >/dev/null &&
    DESTDIR="$tmp/stage" cmake --install "$build" --component postgresql_test >/dev/null &&
    (cd "$tmp/stage" && find . -type f) | while read -r f; do
        install -D -m "$(stat -c %a "$tmp/stage/$f")" "$tmp/stage/$f" "/${f#./}" || exit 1
    done || { echo "installing the extension failed" >&2; exit 1; }
rm -rf "$tmp/stage"
[ ${#as_server[@]} -eq 0 ] || chown postgres: "$tmp"
chmod 700 "$tmp"

# The server's programs must be able to stand in their working directory.
cd "$tmp" || exit 1
if ! env -u QV_LIB "${as_server[@]}" "$bindir/initdb" -D "$data" -U postgres -A trust -E UTF8 --locale=C \
        --no-sync >"$tmp/initdb.log" 2>&1; then
    cat "$tmp/initdb.log" >&2
    exit 1
fi
{
    echo "listen_addresses = ''"
    echo "unix_socket_directories = '$tmp'"
    echo "fsync = off"
    echo "synchronous_commit = off"
    echo "full_page_writes = off"
    echo "${QVPG_CONF:-}"
} >>"$data/postgresql.conf"
if ! env -u QV_LIB "${as_server[@]}" "$bindir/pg_ctl" -D "$data" -l "$tmp/server.log" -w -t 60 start >/dev/null; then
    cat "$tmp/server.log" >&2
    exit 1
fi

export PGHOST="$tmp" PGPORT=5432 PGUSER=postgres PGDATABASE=postgres
cd "$OLDPWD" || exit 1
timeout --kill-after=10 "${QVPG_TIMEOUT:-900}" "$@"
rc=$?
[ $rc -ne 124 ] || echo "the command ran longer than ${QVPG_TIMEOUT:-900} s" >&2
exit $rc
