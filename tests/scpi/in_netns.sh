#!/bin/sh
# Runs a command in a network namespace of its own, with loopback up and a
# veth pair (192.0.2.1 and 192.0.2.2, TEST-NET-1) that carries broadcasts and
# multicasts, so that discovery tests never reach the machine's own network,
# and with a /run of its own, without the machine's daemons' sockets.
#
#   in_netns.sh [--avahi | --rpcbind] COMMAND...
#
# --avahi also starts a D-Bus system bus and avahi-daemon for the pair, in a
# mount namespace with a /run of its own; it needs root, dbus-daemon and
# avahi-daemon, and sets VELMAR_AVAHI=1 for the command.
# --rpcbind starts the system's portmapper, rpcbind, in the same way (its
# socket in that /run, its port 111 in the namespace); it needs root and
# rpcbind, and sets VELMAR_RPCBIND=1 for the command instead of VELMAR_NETNS.
# Exit status 77 (skipped) when that cannot be made here.
daemon=
case $1 in
--avahi)
    programs="dbus-daemon avahi-daemon avahi-browse" packages="dbus avahi-daemon avahi-utils" ;;
--rpcbind) programs="rpcbind rpcinfo" packages=rpcbind ;;
*) programs= ;;
esac
if [ -n "$programs" ]; then
    daemon=${1#--}
    shift
    for program in $programs; do
        if ! command -v $program >/dev/null; then
            echo "NOT RUN: $program is not installed (Debian: $packages)"
            exit 77
        fi
    done
    if [ "$(id -u)" != 0 ] || ! unshare -nm true 2>/dev/null; then
        echo "NOT RUN: $daemon needs a network and mount namespace made as root"
        exit 77
    fi
    exec unshare -nm sh "$0" --inside-$daemon "$@"
fi
if [ "$1" = "--inside-avahi" ] || [ "$1" = "--inside-rpcbind" ]; then
    daemon=${1#--inside-}
    shift
    ip link set lo up &&
    ip link add velmar0 type veth peer name velmar1 &&
    ip addr add 192.0.2.1/24 dev velmar0 && ip addr add 192.0.2.2/24 dev velmar1 &&
    ip link set velmar0 up multicast on && ip link set velmar1 up multicast on &&
    mount -t tmpfs tmpfs /run || exit 1
fi
if [ "$daemon" = rpcbind ]; then
    # In the foreground, so that it is this script's to stop; it takes its
    # lock and socket in the new /run.
    rpcbind -f &
    rpcbind=$!
    for _ in $(seq 50); do
        rpcinfo -p 127.0.0.1 >/dev/null 2>&1 && break
        sleep 0.1
    done
    if ! rpcinfo -p 127.0.0.1 >/dev/null 2>&1; then
        echo "rpcbind does not answer on 127.0.0.1:111"
        kill $rpcbind 2>/dev/null
        exit 1
    fi
    VELMAR_RPCBIND=1 "$@"
    status=$?
    kill $rpcbind
    wait $rpcbind
    exit $status
fi
if [ "$daemon" = avahi ]; then
    config=$(mktemp -d)
    mkdir -p /run/dbus /run/avahi-daemon || exit 1
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
    # The command may restart avahi-daemon with the same configuration.
    VELMAR_NETNS=1 VELMAR_AVAHI=1 VELMAR_AVAHI_CONFIG="$config/avahi.conf" "$@"
    status=$?
    avahi-daemon -k 2>/dev/null
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
# 192.0.2.11 and 192.0.2.12, on velmar0 too, are for instruments that stand
# alone at an address of their own (--instrument-address).
exec unshare -rnm sh -c '
    mount -t tmpfs tmpfs /run &&
    ip link set lo up &&
    ip link add velmar0 type veth peer name velmar1 &&
    ip addr add 192.0.2.1/24 brd + dev velmar0 &&
    ip addr add 192.0.2.2/24 brd + dev velmar1 &&
    ip addr add 192.0.2.11/24 brd + dev velmar0 &&
    ip addr add 192.0.2.12/24 brd + dev velmar0 &&
    ip link set velmar0 up && ip link set velmar1 up &&
    VELMAR_NETNS=1 exec "$@"' sh "$@"
