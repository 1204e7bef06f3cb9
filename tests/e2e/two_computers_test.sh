#!/usr/bin/env bash
# Two computers on one home network, as a new user meets them: run through
# tests/support/with-avahi-pair.sh, which makes hosts a and b (two network namespaces on a
# veth pair, each with its own system bus and avahi-daemon).
#   a: sets up its server for the home as the user service does (loopback for itself, HTTPS
#      on 8471 for the others, announced) and signs in to it through the first-run call;
#   b: starts with nothing configured, finds a's server on the network, signs in with the code
#      of a's invitation typed by hand, both confirm the verification code, and a song pushed
#      from a plays on b.
# Everything between the namespaces is captured: neither the pairing code nor b's token may
# cross in clear. Then another server, with a certificate of its own, answers on a's address:
# b refuses it with the certificate message.
# Usage: two_computers_test.sh SONAVERT SONAVERTCTL SONAVERT_CLOUD
set -euo pipefail

sonavert_bin=$1 ctl_bin=$2 cloud_bin=$3
[ -n "${SONAVERT_AVAHI_NETNS_A:-}" ] || { echo "SKIP: run through with-avahi-pair.sh"; exit 77; }
command -v tcpdump >/dev/null || { echo "SKIP: tcpdump is not installed"; exit 77; }

work=$(mktemp -d /tmp/sonavert-two.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log; do echo "--- $log" >&2; tail -n 25 "$log" >&2; done
  exit 1
}

# run_on HOST COMMAND...: becomes COMMAND in that host's namespace, with its system bus and its
# own session bus (started in the background, $! is the program itself); on: the same, waited
# for.
run_on() {
  local host=$1; shift
  local netns bus
  if [ "$host" = a ]; then netns=$SONAVERT_AVAHI_NETNS_A bus=$SONAVERT_AVAHI_BUS_A
  else netns=$SONAVERT_AVAHI_NETNS_B bus=$SONAVERT_AVAHI_BUS_B; fi
  exec ip netns exec "$netns" env DBUS_SYSTEM_BUS_ADDRESS="$bus" \
    DBUS_SESSION_BUS_ADDRESS="$(cat "$work/session-$host")" "$@"
}
on() { (run_on "$@"); }
ctl() { local host=$1; shift; on "$host" "$ctl_bin" "$@"; }

# Retries a check every 0.2 s until it holds, for up to 40 s: the devices' passes and
# avahi's announcements run on their own time; a check that never holds fails the test.
wait_for() {
  local what=$1; shift
  for _ in $(seq 1 200); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.2
  done
  fail "timed out waiting for: $what"
}
state() { ctl "$1" --json status; }
holds() { # HOST PYTHON-EXPRESSION over the state `s`
  state "$1" | python3 -c "import json, sys; s = json.load(sys.stdin); sys.exit(0 if ($2) else 1)"
}

for host in a b; do
  dbus-daemon --session --fork --print-address=1 --print-pid=3 \
    3>"$work/session-$host.pid" >"$work/session-$host"
  pids+=("$(cat "$work/session-$host.pid")")
done

mkdir -p "$work/Music"
sox -q -n -r 44100 -c 2 "$work/tone.wav" synth 600 sine 440 vol 0.1
flac -s -f "$work/tone.wav" -o "$work/Music/Blue in Green.flac" 2>/dev/null
metaflac --remove-all-tags --set-tag="TITLE=Blue in Green" --set-tag="ARTIST=Miles Davis" \
  --set-tag="ALBUM=Kind of Blue" "$work/Music/Blue in Green.flac"
rm -f "$work/tone.wav"

# Everything that crosses between the two computers, from before the first word.
ip netns exec "$SONAVERT_AVAHI_NETNS_B" tcpdump -i sv-veth -U -s 0 -w "$work/capture.pcap" \
  2>"$work/tcpdump.log" &
pids+=("$!")
wait_for "the capture to start" grep -q "listening on" "$work/tcpdump.log"

# --- a: its server for the home, as the user unit starts it, then its first account -------
home_server() { # DATA-DIR NAME
  run_on a "$cloud_bin" --listen 127.0.0.1:8470 --lan-listen 0.0.0.0:8471 --data-dir "$1" \
    --advertise-name "$2" >"$work/$2.out" 2>"$work/$2.log" &
  server_pid=$!
  pids+=("$server_pid")
  # Its address on standard output says it listens.
  wait_for "$2 listening" test -s "$work/$2.out"
}
home_server "$work/cloud" Den
run_on a "$sonavert_bin" --headless --profile "$work/kitchen" --name Kitchen \
  --cloud http://127.0.0.1:8470 --first-account home --player simulated \
  --library "$work/Music" --simulate-playing "Blue in Green" >"$work/kitchen.out" \
  2>"$work/kitchen.log" &
pids+=("$!")
wait_for "Kitchen signed in" holds a "s['account']['accountName'] == 'home'"

# --- b: nothing configured; the home's server is found on the network ---------------------
run_on b "$sonavert_bin" --headless --profile "$work/study" --name Study --player simulated \
  --library "$work/Music" >"$work/study.out" 2>"$work/study.log" &
pids+=("$!")
wait_for "Study on its bus" ctl b account
found=""
for _ in $(seq 1 200); do
  found=$(ctl b servers 2>/dev/null | awk -F '\t' '$1 == "Den" { print $2 }' || true)
  [ -n "$found" ] && break
  sleep 0.2
done
[ "$found" = "https://10.213.0.1:8471" ] || fail "b found the server as '$found'"

# --- the invitation, its code typed on b; sonavertctl invite waits for b and verifies it ----
mkfifo "$work/answer"
ctl a invite <"$work/answer" >"$work/invite.txt" 2>&1 &
inviting=$!
exec 7>"$work/answer" # held open until the code is typed
wait_for "the invitation" grep -q "^Server:" "$work/invite.txt"
code=$(awk '$1 == "Code:" { print $2; exit }' "$work/invite.txt")
server=$(awk '$1 == "Server:" { print $2; exit }' "$work/invite.txt")
[ "$server" = "https://10.213.0.1:8471" ] || fail "the invitation names '$server'"
[[ "$code" =~ ^[2-9A-Z]{3}-[2-9A-Z]{3}-[2-9A-Z]{3}-[2-9A-Z]{3}$ ]] ||
  fail "the code '$code' carries no check of the server's key"
ctl b sign-in --server "$found" --code "$code" >"$work/sign-in.txt" ||
  fail "sign-in refused: $(cat "$work/sign-in.txt")"
wait_for "Kitchen lists Study" holds a "any(d['name'] == 'Study' for d in s['devices'])"
study_id=$(state b | python3 -c "import json, sys; print(json.load(sys.stdin)['thisDevice']['id'])")

# Until both confirm, Study cannot read playback: listed so, and a push to it is refused.
holds a "any(d['name'] == 'Study' and not d['isVerified'] for d in s['devices'])" ||
  fail "Study is not shown as not verified"
ctl a devices | grep -q "Not verified yet" || fail "sonavertctl devices does not say so"
if ctl a push "$study_id" >"$work/refused.txt" 2>&1; then fail "a push to Study was sent"; fi
grep -q "verify" "$work/refused.txt" || fail "the refusal says nothing of what to do"

# --- both confirm the verification code; the song then plays on b ------------------------
wait_for "Kitchen's code" grep -q "signed in with the code" "$work/invite.txt"
shown=$(awk '$1 == "Code:" { code = $2 } END { print code }' "$work/invite.txt")
[[ "$shown" =~ ^[0-9]{6}$ ]] || fail "sonavertctl invite shows '$shown' as the verification code"
wait_for "Study shows the code" holds b "(s['keys']['incoming'] or {}).get('code') == '$shown'"
echo "$shown" >&7
exec 7>&-
wait "$inviting" || fail "sonavertctl invite failed: $(cat "$work/invite.txt")"
ctl b verify Kitchen --code "$shown" >/dev/null
wait_for "Study holds the key" holds b "s['keys']['state'] == 'verified'"
wait_for "Kitchen plays" holds a "s['thisDevice']['isPlaying']"
wait_for "Study online for Kitchen" \
  holds a "any(d['name'] == 'Study' and d['presence'] == 'online' for d in s['devices'])"
ctl a push "$study_id" >/dev/null || fail "the push was refused"
wait_for "Study plays what Kitchen played" \
  holds b "s['thisDevice']['isPlaying'] and s['thisDevice']['nowPlaying']['title'] == 'Blue in Green'"

# --- nothing of the sign-in in clear between the computers --------------------------------
# b's token, as its profile keeps it (base64 items of a JSON object); the account's key is
# in there too, and must not cross in clear either.
secrets=$(python3 -c "
import base64, json, sys
for value in json.load(open(sys.argv[1])).values():
    print(base64.b64decode(value).decode('latin-1'))" "$work/study/account-token.json")
[ -n "$secrets" ] || fail "b keeps no token"
[ -s "$work/capture.pcap" ] || fail "nothing was captured"
bare=${code//-/}
while IFS= read -r secret; do
  [ ${#secret} -ge 8 ] || continue
  if grep -aqF -- "$secret" "$work/capture.pcap"; then fail "a secret of b crossed in clear"; fi
done <<<"$secrets"
for secret in "$code" "$bare" "${bare:0:9}" "${code:0:11}"; do
  if grep -aqF -- "$secret" "$work/capture.pcap"; then fail "the code '$secret' crossed in clear"; fi
done
packets=$(tcpdump -r "$work/capture.pcap" 2>/dev/null | grep -c "8471" || true)
[ "$packets" -gt 0 ] || fail "the capture holds no traffic to the server"

# --- another server on a's address, with a certificate of its own --------------------------
kill "$server_pid" || fail "Den was not running any more"
wait "$server_pid" || true
home_server "$work/impostor" Impostor
wait_for "Study refuses the other certificate" \
  grep -q "is not the one the invitation named" "$work/study.log"
grep -q "its own certificate" "$work/Impostor.log" || fail "the impostor made no certificate"
echo "PASS: $packets packets to the server captured, none with the code or the token"
