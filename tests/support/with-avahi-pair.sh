#!/usr/bin/env bash
# Runs a command beside two throwaway DNS-SD hosts, "a" and "b": two network namespaces joined
# by a veth pair (10.213.0.1/30, 10.213.0.2/30), each with a private system bus and its own
# avahi-daemon over a tmpfs /run. Nothing runs in the machine's own network namespace or on
# its buses. The command gets, in its environment:
#   SONAVERT_AVAHI_BUS_A, SONAVERT_AVAHI_BUS_B   D-Bus addresses of the two private buses
#   SONAVERT_AVAHI_NETNS_A, SONAVERT_AVAHI_NETNS_B  the network namespaces (10.213.0.1 is a,
#                                                10.213.0.2 is b), for `ip netns exec`
#   SONAVERT_AVAHI_CTL                           "$SONAVERT_AVAHI_CTL stop a" stops host a's
#                                                daemon, "... start a" starts it again
# Exits 77, which CTest reports as skipped, with the reason printed, where namespaces cannot
# be made (not root, no netns support) or a tool is missing.
set -u

skip() { echo "SKIP: $*"; exit 77; }

# --- control commands, run by the test through SONAVERT_AVAHI_CTL ---------------------------
start_daemon() { # host
  local host=$1 dir=$SCRATCH/$1
  ip netns exec "$(cat "$dir/netns")" unshare --mount --propagation private sh -c '
    mount -t tmpfs tmpfs /run || exit 1
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$1/bus" exec avahi-daemon --no-drop-root --no-chroot \
      --no-rlimits --no-proc-title -f "$1/avahi.conf"' sh "$dir" >>"$dir/avahi.log" 2>&1 &
  echo $! >"$dir/avahi.pid"
}

stop_daemon() { # host
  local pid
  pid=$(cat "$SCRATCH/$1/avahi.pid" 2>/dev/null) || return 0
  kill "$pid" 2>/dev/null
  # avahi-daemon sends its goodbye packets on SIGTERM and then leaves the bus.
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  rm -f "$SCRATCH/$1/avahi.pid"
}

if [ "${1:-}" = "--ctl" ]; then
  SCRATCH=$2
  case "$3" in
    start) start_daemon "$4" ;;
    stop) stop_daemon "$4" ;;
    *) echo "usage: $0 --ctl DIR start|stop a|b" >&2; exit 2 ;;
  esac
  exit 0
fi

# --- set-up -------------------------------------------------------------------------------
for tool in ip unshare dbus-daemon dbus-send avahi-daemon; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
[ "$(id -u)" -eq 0 ] || skip "making network namespaces needs root"

SCRATCH=$(mktemp -d /tmp/sonavert-avahi.XXXXXX)
tag=$$
ns_a="sonavert-$tag-a"
ns_b="sonavert-$tag-b"
dbus_pids=()

cleanup() {
  stop_daemon a
  stop_daemon b
  for pid in "${dbus_pids[@]}"; do kill "$pid" 2>/dev/null; done
  ip netns del "$ns_a" 2>/dev/null
  ip netns del "$ns_b" 2>/dev/null
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

ip netns add "$ns_a" 2>/dev/null || skip "cannot create a network namespace"
ip netns add "$ns_b" 2>/dev/null || skip "cannot create a second network namespace"
# The veth pair is born inside namespace a, so not even its ends appear in the root one.
ip -n "$ns_a" link add sv-veth type veth peer name sv-veth netns "$ns_b" 2>/dev/null ||
  skip "cannot create a veth pair"
configure_host() { # host netns address
  local dir=$SCRATCH/$1
  mkdir -p "$dir"
  echo "$2" >"$dir/netns"
  ip -n "$2" link set lo up
  ip -n "$2" addr add "$3/30" dev sv-veth
  ip -n "$2" link set sv-veth up
  cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
CONF
  cat >"$dir/avahi.conf" <<CONF
[server]
host-name=sonavert-$1
use-ipv4=yes
use-ipv6=no
allow-interfaces=sv-veth
enable-dbus=yes
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
CONF
  dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile >"$dir/bus.log" 2>&1 &
  dbus_pids+=($!)
}
configure_host a "$ns_a" 10.213.0.1
configure_host b "$ns_b" 10.213.0.2

bus_of() { echo "unix:path=$SCRATCH/$1/bus"; }
avahi_running() { # host: the daemon owns its name and its server state is "running" (2)
  dbus-send --bus="$(bus_of "$1")" --print-reply --dest=org.freedesktop.Avahi / \
    org.freedesktop.Avahi.Server.GetState 2>/dev/null | grep -q 'int32 2'
}

# Readiness probe of the daemons we just started (up to 10 s), not a wait on the code under test.
for host in a b; do
  for _ in $(seq 1 100); do [ -S "$SCRATCH/$host/bus" ] && break; sleep 0.05; done
  [ -S "$SCRATCH/$host/bus" ] || skip "the private bus of host $host did not start"
  start_daemon "$host"
done
for host in a b; do
  for _ in $(seq 1 200); do avahi_running "$host" && break; sleep 0.05; done
  avahi_running "$host" || skip "avahi-daemon of host $host did not start: $(tail -n 3 "$SCRATCH/$host/avahi.log" | tr '\n' ' ')"
done

SONAVERT_AVAHI_BUS_A=$(bus_of a) SONAVERT_AVAHI_BUS_B=$(bus_of b) \
  SONAVERT_AVAHI_NETNS_A=$ns_a SONAVERT_AVAHI_NETNS_B=$ns_b \
  SONAVERT_AVAHI_CTL="$0 --ctl $SCRATCH" "$@"
