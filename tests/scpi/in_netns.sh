#!/bin/sh
# Runs a command in a network namespace of its own, with loopback up and a
# veth pair (192.0.2.1 and 192.0.2.2, TEST-NET-1) that carries broadcasts and
# multicasts, so that discovery tests never reach the machine's own network.
#
#   in_netns.sh [--avahi] COMMAND...
#
# --avahi also starts a D-Bus system bus and avahi-daemon for the pair, in a
# mount namespace with a /run of its own; it needs root, dbus-daemon and
# avahi-daemon, and sets VELMAR_AVAHI=1 for the command.
# Exit status 77 (skipped) when that cannot be made here.
if [ "$1" = "--avahi" ]; then
    shift
    for program in dbus-daemon avahi-daemon avahi-browse; do
        if ! command -v $program >/dev/null; then
            echo "NOT RUN: $program is not installed (Debian: dbus avahi-daemon avahi-utils)"
            exit 77
        fi
    done
    if [ "$(id -u)" != 0 ] || ! unshare -nm true 2>/dev/null; then
        echo "NOT RUN: avahi-daemon needs a network and mount namespace made as root"
        exit 77
    fi
    exec unshare -nm sh "$0" --inside-avahi "$@"
fi
if [ "$1" = "--inside-avahi" ]; then
    shift
    ip link set lo up &&
    ip link add velmar0 type veth peer name velmar1 &&
    ip addr add 192.0.2.1/24 dev velmar0 && ip addr add 192.0.2.2/24 dev velmar1 &&
    ip link set velmar0 up multicast on && ip link set velmar1 up multicast on || exit 1
    config=$(mktemp -d)
    mount -t tmpfs tmpfs /run && mkdir -p /run/dbus /run/avahi-daemon || exit 1
    cat >"$config/bus.conf" <<'BUS'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/> <allow own="*"/>
    <allow send_type="method_call"/> <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/> <allow receive_type="method_return"/>
    <allow receive_type="error"/> <allow receive_type="signal"/>
  </policy>
</busconfig>
BUS
    cat >"$config/avahi.conf" <<'AVAHI'
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=velmar0,velmar1
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
AVAHI
    dbus-daemon --config-file="$config/bus.conf" --fork --print-pid >"$config/bus.pid" || exit 1
    avahi-daemon -f "$config/avahi.conf" --no-drop-root --no-chroot --no-rlimits \
        >"$config/avahi.log" 2>&1 &
    avahi=$!
    for _ in $(seq 50); do
        avahi-browse -at >/dev/null 2>&1 && break
        sleep 0.1
    done
    VELMAR_NETNS=1 VELMAR_AVAHI=1 "$@"
    status=$?
    kill $avahi "$(cat "$config/bus.pid")" 2>/dev/null
    wait $avahi 2>/dev/null
    rm -rf "$config"
    exit $status
fi
# The machine's rpcbind and avahi-daemon, whose sockets are in /run, would
# take the server's registration and adverts.
if ! unshare -rnm true 2>/dev/null; then
    echo "NOT RUN: cannot make a network namespace (unshare -rnm failed)"
    exit 77
fi
exec unshare -rnm sh -c '
    mount -t tmpfs tmpfs /run &&
    ip link set lo up &&
    ip link add velmar0 type veth peer name velmar1 &&
    ip addr add 192.0.2.1/24 dev velmar0 &&
    ip addr add 192.0.2.2/24 dev velmar1 &&
    ip link set velmar0 up && ip link set velmar1 up &&
    VELMAR_NETNS=1 exec "$@"' sh "$@"
