#!/usr/bin/env bash
# Runs the sonavert-cloud tests against PostgreSQL: starts a throwaway cluster on a loopback
# port (as the postgres user when run as root), runs the cloud tests of BUILD_DIR with
# SONAVERT_CLOUD_TEST_POSTGRES pointing at it and SONAVERT_CLOUD_TEST_PG_RESTART holding the
# command that restarts it (so tests can check what survives a restart), SONAVERT_CLOUD_TEST_PG_STOP
# and SONAVERT_CLOUD_TEST_PG_START a stop and a start of it (so they can check what a server says
# while it is down), and removes the cluster again. The tests run one at a time: a restart would break any test running beside.
# Usage: scripts/test-cloud-postgres.sh [BUILD_DIR [TEST_REGEX [CTEST_OPTION...]]]
#        (default build/dev and every cloud test and the server conformance suite)
set -euo pipefail

build_dir=${1:-build/dev}
tests=${2:-'^(cloud_|conformance_server)'}
shift $(($# < 2 ? $# : 2))
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1 || true)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "SKIP: PostgreSQL tests: no PostgreSQL server binaries under /usr/lib/postgresql"
  exit 0
fi
if [ "$(id -u)" -eq 0 ] && ! id postgres >/dev/null 2>&1; then
  echo "SKIP: PostgreSQL tests: running as root and there is no postgres user to own the cluster"
  exit 0
fi
port=${SONAVERT_PG_PORT:-54329}
cluster=$(mktemp -d /tmp/sonavert-pg.XXXXXX)

as_owner=()
if [ "$(id -u)" -eq 0 ]; then
  chown postgres "$cluster"
  as_owner=(runuser -u postgres --)
fi

stop() { "${as_owner[@]}" "$bin/pg_ctl" -D "$cluster/data" -m immediate stop >/dev/null 2>&1 || true; rm -rf "$cluster"; }
trap stop EXIT

"${as_owner[@]}" "$bin/initdb" -D "$cluster/data" -A trust -U postgres >/dev/null
"${as_owner[@]}" "$bin/pg_ctl" -D "$cluster/data" -w -l "$cluster/log" \
  -o "-c listen_addresses=127.0.0.1 -p $port -k $cluster" start >/dev/null

# pg_ctl restart keeps the options the server was started with; -w returns once it serves.
restart=("${as_owner[@]}" "$bin/pg_ctl" -D "$cluster/data" -w -l "$cluster/log" -m fast restart)
# A start after a stop takes the options again (the tests split these commands at spaces and
# double quotes; the paths hold neither).
stop_cluster=("${as_owner[@]}" "$bin/pg_ctl" -D "$cluster/data" -w -m fast stop)
start_cluster="${as_owner[*]} $bin/pg_ctl -D $cluster/data -w -l $cluster/log"
start_cluster+=" -o \"-c listen_addresses=127.0.0.1 -p $port -k $cluster\" start"
SONAVERT_CLOUD_TEST_POSTGRES="postgresql://postgres@127.0.0.1:$port/postgres" \
SONAVERT_CLOUD_TEST_PG_RESTART="${restart[*]}" \
SONAVERT_CLOUD_TEST_PG_STOP="${stop_cluster[*]}" \
SONAVERT_CLOUD_TEST_PG_START="$start_cluster" \
  ctest --test-dir "$build_dir" --output-on-failure -R "$tests" "$@"
