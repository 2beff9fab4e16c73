#!/bin/sh
# Runs a command in a network namespace of its own, with loopback up and a
# veth pair (192.0.2.1 and 192.0.2.2, TEST-NET-1) that carries broadcasts and
# multicasts, so that discovery tests never reach the machine's own network.
# Exit status 77 (skipped) when no namespace can be made here.
if ! unshare -rn true 2>/dev/null; then
    echo "NOT RUN: cannot make a network namespace (unshare -rn failed)"
    exit 77
fi
exec unshare -rn sh -c '
    ip link set lo up &&
    ip link add velmar0 type veth peer name velmar1 &&
    ip addr add 192.0.2.1/24 dev velmar0 &&
    ip addr add 192.0.2.2/24 dev velmar1 &&
    ip link set velmar0 up && ip link set velmar1 up &&
    VELMAR_NETNS=1 exec "$@"' sh "$@"
