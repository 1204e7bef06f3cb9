# Shared by the installation tests: failing with a reason, a scratch folder removed at exit,
# waiting for a line a started program prints, and a sonavert-cloud on loopback.

fail() { echo "FAIL: $*" >&2; exit 1; }

scratch=$(mktemp -d)
started=()
cleanup() {
    local pid
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    rm -rf "$scratch"
}
trap cleanup EXIT

# wait_for_line FILE PATTERN PID: until FILE has a line matching PATTERN (grep -E). Fails when
# PID exits first. The 30 s bound only keeps a broken program from hanging the suite.
wait_for_line() {
    local file=$1 pattern=$2 pid=$3
    for _ in $(seq 1 300); do
        grep -qE "$pattern" "$file" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || { cat "$file" >&2; fail "exited before printing /$pattern/"; }
        sleep 0.1
    done
    cat "$file" >&2
    fail "no line /$pattern/ within 30 s"
}

# start_cloud BIN_DIR: an account "alice" and a server on a free loopback port, its own SQLite
# store in the scratch folder. Sets cloud_url, cloud_token, cloud_pid.
start_cloud() {
    local bin=$1 data=$scratch/cloud
    mkdir -p "$data"
    "$bin/sonavert-cloud" --data-dir "$data" account add alice >"$scratch/account.out" 2>&1 ||
        { cat "$scratch/account.out" >&2; fail "account add failed"; }
    cloud_token=$(tail -n 1 "$scratch/account.out")
    [ -n "$cloud_token" ] || fail "account add printed no token"
    "$bin/sonavert-cloud" --data-dir "$data" --listen 127.0.0.1:0 >"$scratch/cloud.out" 2>&1 &
    cloud_pid=$!
    started+=("$cloud_pid")
    wait_for_line "$scratch/cloud.out" '^http://127\.0\.0\.1:[0-9]+' "$cloud_pid"
    cloud_url=$(grep -oE '^http://127\.0\.0\.1:[0-9]+' "$scratch/cloud.out" | head -n 1)
}

# cloud_round_trip: saves a record as alice, reads it back, and checks that another token is
# turned away, through the server started by start_cloud.
cloud_round_trip() {
    python3 - "$cloud_url" "$cloud_token" <<'PY' || fail "cloud round trip"
import json, sys, urllib.error, urllib.request
url, token = sys.argv[1], sys.argv[2]
base = url.rstrip("/") + "/database/1/iCloud.io.sonavert.sonavert/production/private/"

def call(operation, body, bearer=token):
    request = urllib.request.Request(base + operation, data=json.dumps(body).encode(),
                                     headers={"Authorization": "Bearer " + bearer,
                                              "Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=10) as answer:
        return json.load(answer)

record = {"recordName": "install-check", "recordType": "Check",
          "fields": {"word": {"type": "STRING", "value": "installed"}}}
saved = call("records/modify", {"operations": [{"operationType": "forceReplace", "record": record}]})
assert saved["records"][0]["recordName"] == "install-check", saved
found = call("records/lookup", {"records": [{"recordName": "install-check"}]})
assert found["records"][0]["fields"]["word"]["value"] == "installed", found
try:
    call("records/lookup", {"records": [{"recordName": "install-check"}]}, bearer="not-a-token")
    raise SystemExit("a wrong token was served")
except urllib.error.HTTPError as refused:
    assert refused.code == 401, refused.code
print("round trip: saved and looked up install-check on", url)
PY
}
