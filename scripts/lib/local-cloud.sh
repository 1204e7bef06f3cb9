# Shared by run.sh and demo.sh: builds what they run and makes sure a sonavert-cloud answers on
# this machine. Source it from the repository root.
#
# ensure_local_cloud: uses the sonavert-cloud already listening on 127.0.0.1:8470, or starts one
# on its SQLite store in ${XDG_DATA_HOME:-~/.local/share}/sonavert-cloud (stopped again when the
# calling script exits). Sets CLOUD_URL and CLOUD_DATA.
#
# local_account_token ACCOUNT: the token of a further account ACCOUNT of that store, created on
# the first call and kept beside the store (mode 0600), so later runs reuse it. Sets CLOUD_TOKEN.

build_dir=build/dev
cloud_bin="$build_dir/server/app/sonavert-cloud"
sonavert_bin="$build_dir/src/app/sonavert"
sonavertctl_bin="$build_dir/tools/sonavertctl/sonavertctl"

build_sonavert() {
  ./scripts/install-deps.sh >/dev/null
  cmake --preset dev >/dev/null
  cmake --build --preset dev -j "$(nproc)" --target "$@" >/dev/null
}

local_cloud_pid=""
stop_local_cloud() {
  if [ -n "$local_cloud_pid" ]; then
    kill "$local_cloud_pid" 2>/dev/null || true
    wait "$local_cloud_pid" 2>/dev/null || true
    local_cloud_pid=""
  fi
}

cloud_answers() {
  (exec 3<>/dev/tcp/127.0.0.1/8470) 2>/dev/null
}

local_account_token() {
  local token_file="$CLOUD_DATA/$1.token"
  if [ ! -s "$token_file" ]; then
    (umask 077 && "$cloud_bin" account add "$1" --data-dir "$CLOUD_DATA" | tail -n 1 >"$token_file")
    echo "sonavert-cloud: created the account '$1' (token in $token_file)"
  fi
  CLOUD_TOKEN=$(cat "$token_file")
}

ensure_local_cloud() {
  CLOUD_DATA="${XDG_DATA_HOME:-$HOME/.local/share}/sonavert-cloud"
  mkdir -p "$CLOUD_DATA"
  chmod 700 "$CLOUD_DATA"
  CLOUD_URL="http://127.0.0.1:8470"
  if cloud_answers; then
    echo "sonavert-cloud: using the server already running at $CLOUD_URL"
    return
  fi
  # As the home server unit runs it: this computer on loopback, the others over HTTPS on 8471.
  "$cloud_bin" --listen 127.0.0.1:8470 --lan-listen "${SONAVERT_CLOUD_LAN_LISTEN:-0.0.0.0:8471}" \
    --data-dir "$CLOUD_DATA" >"$CLOUD_DATA/server.out" \
    2>"$CLOUD_DATA/server.log" &
  local_cloud_pid=$!
  for _ in $(seq 1 100); do
    cloud_answers && break
    kill -0 "$local_cloud_pid" 2>/dev/null || { cat "$CLOUD_DATA/server.log" >&2; exit 1; }
    sleep 0.1
  done
  cloud_answers || { echo "sonavert-cloud did not start" >&2; exit 1; }
  echo "sonavert-cloud: started at $CLOUD_URL (data in $CLOUD_DATA, log in $CLOUD_DATA/server.log)"
}
