#!/usr/bin/env bash
# The suite runs where loopback is the only network (scripts/offline, which sets
# TCPRTU_TEST_NETNS=1): lo is the one interface and it is up, and a connection to a documentation
# address (TEST-NET-1) fails at once as unreachable, where it would leave the machine. Outside that
# namespace nothing is tried and the test is skipped (77).
set -uo pipefail
[ "${TCPRTU_TEST_NETNS:-}" = 1 ] || {
    echo "netns: skipped: not run by scripts/offline"
    exit 77
}
failed=0
# /proc/net follows the namespace of the process that reads it; /sys/class/net that of the mount.
interfaces=$(awk -F: 'NR > 2 { gsub(/ /, "", $1); printf "%s ", $1 }' /proc/net/dev)
[ "$interfaces" = "lo " ] || { echo "netns: interfaces: $interfaces(only lo expected)"; failed=1; }

# connect HOST PORT: what bash's connection says, within a second.
connect() {
    timeout 1 bash -c "exec 3<>/dev/tcp/$1/$2" 2>&1 && echo connected
}
said=$(connect 127.0.0.1 1)
[[ $said == *"Connection refused"* ]] || { echo "netns: loopback is not up: $said"; failed=1; }
# Only where lo is all there is: anywhere else the address could leave the machine.
if [ "$failed" = 0 ]; then
    said=$(connect 192.0.2.1 9)
    [[ $said == *"Network is unreachable"* ]] ||
        { echo "netns: 192.0.2.1 is not unreachable at once: ${said:-no answer within 1 s}"; failed=1; }
fi

[ "$failed" = 0 ] && echo "netns: loopback alone, up; 192.0.2.1 unreachable at once"
exit "$failed"
