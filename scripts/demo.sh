#!/usr/bin/env bash
# A push and a pull between two devices on this machine, with silent simulated players:
# "Kitchen" plays a song, sends it to "Study" (which picks it up at the same second while
# Kitchen pauses), then pulls it back. Study joins Kitchen's account with a pairing code
# first. Uses the local sonavert-cloud (started unless one already answers on 127.0.0.1:8470)
# with an account of its own, throwaway device profiles and a small generated music library. Runs on the session bus, or on a private one when there is
# none. Everything it started is stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/local-cloud.sh

build_sonavert sonavert sonavert-cloud sonavertctl sonavert-shortcuts
work=$(mktemp -d -t sonavert-demo.XXXXXX)
pids=()
study_token_name=""
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # Study's profile goes away with the demo: so does its token, leaving its name free.
  if [ -n "$study_token_name" ]; then
    "$cloud_bin" token revoke --account demo --name "$study_token_name" \
      --data-dir "$CLOUD_DATA" >/dev/null || true
  fi
  stop_local_cloud
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  export DBUS_SESSION_BUS_ADDRESS=$(dbus-daemon --session --fork --print-address=1 \
    --print-pid=3 3>"$work/bus.pid")
  pids+=("$(cat "$work/bus.pid")")
fi
ensure_local_cloud
local_account_token demo

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
ctl() { "$sonavertctl_bin" "$@"; }

# Three songs, the same files for both devices (as the same albums on two computers).
mkdir -p "$work/Music"
for song in "So What" "Blue in Green" "Flamenco Sketches"; do
  sox -q -n -r 44100 -c 2 "$work/tone.wav" synth 600 sine 440 vol 0.1
  flac -s -f "$work/tone.wav" -o "$work/Music/$song.flac" 2>/dev/null
  metaflac --remove-all-tags --set-tag="TITLE=$song" --set-tag="ARTIST=Miles Davis" \
    --set-tag="ALBUM=Kind of Blue" "$work/Music/$song.flac"
done
rm -f "$work/tone.wav"

# The account's key for Kitchen's run (earlier demos on this server left their devices in the
# account, so a new Kitchen would otherwise wait to be verified by one of them); Study gets it
# the way a new computer does, through a verification.
account_key=$(head -c 32 /dev/urandom | base64)

start_device() { # NAME [TOKEN [ARGS...]]: with a token and the key for this run, else signed out
  local name="$1" token="${2:-}" key=""; shift; shift || true
  [ -n "$token" ] && key=$account_key
  SONAVERT_CLOUD_TOKEN="$token" SONAVERT_ACCOUNT_KEY="$key" \
    "$sonavert_bin" --headless --profile "$work/$name" \
    --name "$name" --cloud "$CLOUD_URL" --player simulated --library "$work/Music" "$@" \
    >"$work/$name.out" 2>"$work/$name.log" &
  pids+=("$!")
}

wait_for() { # DESCRIPTION COMMAND...: retries COMMAND every half second for up to 30 s
  local what="$1"; shift
  for _ in $(seq 1 60); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.5
  done
  echo "timed out waiting for: $what" >&2
  exit 1
}
json_check() { # INSTANCE PYTHON-EXPRESSION over the state `s`
  ctl --instance "$1" --json status |
    python3 -c "import json, sys; s = json.load(sys.stdin); sys.exit(0 if ($2) else 1)"
}
online() { json_check "$1" "any(d['name'] == '$2' and d['presence'] == 'online' for d in s['devices'])"; }
playing() { json_check "$1" "s['thisDevice']['isPlaying']"; }

step "Starting Kitchen (signed in, playing \"Blue in Green\") and Study (not signed in)"
start_device Kitchen "$CLOUD_TOKEN" --simulate-playing "Blue in Green"
start_device Study
wait_for "Kitchen on the bus" ctl --instance kitchen account
wait_for "Study on the bus" ctl --instance study account

step "Kitchen: sonavertctl invite; Study: sonavertctl sign-in with its code"
code=$(ctl --instance kitchen --json invite | python3 -c "import json, sys; print(json.load(sys.stdin)['code'])")
echo "code: $code"
study_token_name=$(ctl --instance study --json sign-in --server "$CLOUD_URL" --code "$code" |
  python3 -c "import json, sys; print(json.load(sys.stdin)['deviceName'])")
ctl --instance study account
wait_for "Kitchen sees Study" online kitchen Study
wait_for "Study sees Kitchen" online study Kitchen

step "Kitchen: sonavertctl verify Study; each confirms the code the other shows"
code=$(ctl --instance kitchen --json verify Study | python3 -c "import json, sys; print(json.load(sys.stdin)['code'])")
echo "Kitchen shows: $code"
wait_for "Study shows its code" json_check study "(s['keys']['incoming'] or {}).get('code') == '$code'"
ctl --instance study keys
ctl --instance kitchen verify Study --code "$code"
ctl --instance study verify Kitchen --code "$code"
wait_for "Study holds the key" json_check study "s['keys']['state'] == 'verified'"
ctl --instance kitchen keys
wait_for "Kitchen plays" playing kitchen
ctl --instance kitchen devices
sleep 5 # let the song play a little, so the position that travels is not zero

# By id: earlier demos on this server left devices of the same names in the account.
study_id=$(ctl --instance study --json status | python3 -c "import json, sys; print(json.load(sys.stdin)['thisDevice']['id'])")
step "Kitchen: sonavertctl push Study"
ctl --instance kitchen push "$study_id"
wait_for "Study plays" playing study
ctl --instance study status

sleep 5
step "Kitchen: sonavertctl pull Study"
ctl --instance kitchen pull "$study_id"
wait_for "Kitchen plays again" playing kitchen
ctl --instance kitchen status

step "Done; stopping both devices"
