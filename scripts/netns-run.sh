#!/usr/bin/env bash
# Runs a command inside a private network namespace: lo up, and a veth pair whose one end carries
# 127.0.0.2/32 so that ICE finds a candidate. IPv6 is off; nothing can leave the namespace.
set -euo pipefail
if [ "${KELVANO_NETNS:-}" = 1 ]; then
    exec "$@"
fi
exec unshare --net -- bash -c '
    set -e
    ip link set lo up
    ip link add kv0 type veth peer name kv1
    ip addr add 127.0.0.2/32 dev kv0
    ip link set kv0 up
    ip link set kv1 up
    sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 || true
    export KELVANO_NETNS=1
    exec "$@"
' netns-run "$@"
