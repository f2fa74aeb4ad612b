#!/usr/bin/env bash
# Runs a command inside a private network namespace: lo up, and a veth pair whose one end carries
# 127.0.0.2/32 so that ICE finds a candidate. IPv6 is off; nothing can leave the namespace.
# A normal user gets it inside a user namespace of its own (root there owns only that namespace);
# no root is needed.
set -euo pipefail
if [ "${KELVANO_NETNS:-}" = 1 ]; then
    exec "$@"
fi
ns=(--net)
if [ "$(id -u)" -ne 0 ]; then
    ns=(--user --map-root-user --net)
    if ! error="$(unshare "${ns[@]}" true 2>&1)"; then
        setting=""
        if [ "$(cat /proc/sys/kernel/unprivileged_userns_clone 2>/dev/null)" = 0 ]; then
            setting="kernel.unprivileged_userns_clone=1"
        elif [ "$(cat /proc/sys/kernel/apparmor_restrict_unprivileged_userns 2>/dev/null)" = 1 ]
        then
            setting="kernel.apparmor_restrict_unprivileged_userns=0"
        elif [ "$(cat /proc/sys/user/max_user_namespaces 2>/dev/null)" = 0 ]; then
            setting="user.max_user_namespaces=10000"
        fi
        if [ -n "$setting" ]; then
            echo "netns-run: user namespaces are off for normal users; as root:" \
                "sysctl -w $setting" >&2
        else
            echo "netns-run: cannot make a user namespace: $error" >&2
        fi
        exit 1
    fi
fi
exec unshare "${ns[@]}" -- bash -c '
    set -e
    # ip, sysctl and nft (the kit shapes the path with it): PATH may lack them for normal users.
    export PATH="$PATH:/usr/sbin:/sbin"
    ip link set lo up
    ip link add kv0 type veth peer name kv1
    ip addr add 127.0.0.2/32 dev kv0
    ip link set kv0 up
    ip link set kv1 up
    sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 || true
    export KELVANO_NETNS=1
    exec "$@"
' netns-run "$@"
