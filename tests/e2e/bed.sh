# The multi-host test bed: hosts on this machine, each a network namespace
# with its own /etc/hosts, host name, registry and path root, joined to a
# bridge-less star by veth pairs. Addresses come from the documentation
# ranges only (192.0.2.0/24, 2001:db8::/64); nothing leaves the machine.
#
# Source it, then:
#   bed_up alpha beta          make hosts (the first is .1, the next .2, ...)
#   bed_run HOST CMD...        run a command on a host, wait for it
#   bed_spawn HOST LOG CMD...  start a command on a host in the background
#                              (its pid in $BED_PID, output in LOG)
#   bed_addr HOST [6]          a host's address
#   bed_stop HOST NAME         stop the host's processes of that command name
#   bed_down                   stop everything and remove the hosts (also on exit)
#
# Needs root (network namespaces, veth, private mounts). bed_check says why
# it cannot run and returns non-zero.

BED_DOMAIN=zt.test
BED_HOSTS=()
BED_PIDS=()
BED_DIR=""
BED_TAG="zb$$"

bed_check() {
    if [[ $(id -u) -ne 0 ]]; then
        echo "the multi-host bed needs root (network namespaces); skipped" >&2
        return 1
    fi
    if ! command -v ip >/dev/null || ! command -v unshare >/dev/null; then
        echo "the multi-host bed needs ip (iproute2) and unshare (util-linux); skipped" >&2
        return 1
    fi
    # Hosts left behind by a bed whose shell was killed.
    local ns pid
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}'); do
        [[ $ns =~ ^zb([0-9]+) ]] || continue
        pid=${BASH_REMATCH[1]}
        kill -0 "$pid" 2>/dev/null || ip netns del "$ns" 2>/dev/null
    done
    if ! ip netns add "${BED_TAG}probe" 2>/dev/null; then
        echo "this machine refuses network namespaces; skipped" >&2
        return 1
    fi
    ip netns del "${BED_TAG}probe"
}

bed_addr() { # HOST [6]
    local i
    for i in "${!BED_HOSTS[@]}"; do
        if [[ ${BED_HOSTS[$i]} == "$1" ]]; then
            if [[ ${2:-4} == 6 ]]; then echo "2001:db8::$((i + 1))"; else echo "192.0.2.$((i + 1))"; fi
            return 0
        fi
    done
    echo "bed_addr: no host $1" >&2
    return 1
}

bed_root() { echo "$BED_DIR/$1"; } # HOST

# The hosts file every host sees: each host by its short and qualified name,
# in both families.
_bed_hosts_file() {
    local h i
    echo "127.0.0.1 localhost"
    echo "::1 localhost ip6-localhost ip6-loopback"
    for i in "${!BED_HOSTS[@]}"; do
        h=${BED_HOSTS[$i]}
        echo "192.0.2.$((i + 1)) $h.$BED_DOMAIN $h"
        echo "2001:db8::$((i + 1)) $h.$BED_DOMAIN $h"
    done
}

bed_up() { # HOST...
    BED_DIR=$(mktemp -d /tmp/zt-bed.XXXXXX)
    BED_HOSTS=("$@")
    trap bed_down EXIT
    ip netns add "${BED_TAG}hub"
    ip -n "${BED_TAG}hub" link add br0 type bridge
    ip -n "${BED_TAG}hub" link set br0 up
    local i h ns
    for i in "${!BED_HOSTS[@]}"; do
        h=${BED_HOSTS[$i]}
        ns="${BED_TAG}$h"
        ip netns add "$ns"
        ip -n "$ns" link set lo up
        # One veth pair per host: its end "eth0" in the host, the other on the hub's bridge.
        ip link add "${BED_TAG}$i" type veth peer name "${BED_TAG}p$i"
        ip link set "${BED_TAG}$i" netns "$ns"
        ip -n "$ns" link set "${BED_TAG}$i" name eth0
        ip link set "${BED_TAG}p$i" netns "${BED_TAG}hub"
        ip -n "${BED_TAG}hub" link set "${BED_TAG}p$i" master br0 up
        ip -n "$ns" addr add "192.0.2.$((i + 1))/24" dev eth0
        ip -n "$ns" addr add "2001:db8::$((i + 1))/64" dev eth0 nodad
        ip -n "$ns" link set eth0 up
        mkdir -p "$BED_DIR/$h/etc" "$BED_DIR/$h/usr/quill/var/host_cache" "$BED_DIR/$h/tmp" "$BED_DIR/$h/home"
        echo "$h" >"$BED_DIR/$h/hostname"
    done
    for h in "${BED_HOSTS[@]}"; do
        _bed_hosts_file >"$BED_DIR/$h/hosts"
        # The path table of each host below its own root.
        _bed_env "$h" zt reg add 'HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths' _ql_fs REG_SZ "$BED_DIR/$h/usr" >/dev/null
        _bed_env "$h" zt reg add 'HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths' _tmp_fs REG_SZ "$BED_DIR/$h/tmp" >/dev/null
        _bed_env "$h" zt reg add 'HKLM\SOFTWARE\Halvane\Zentor\CurrentVersion\Paths' _etc_fs REG_SZ "$BED_DIR/$h/etc" >/dev/null
    done
}

# A host's environment: its registry, home and temporary directory.
_bed_env() { # HOST CMD...
    local h=$1
    shift
    env -u ZT_REGISTRY_USER HOME="$BED_DIR/$h/home" TMPDIR="$BED_DIR/$h/tmp" \
        ZT_REGISTRY="$BED_DIR/$h/etc/registry" ZT_REGISTRY_USER="$BED_DIR/$h/home/.quill/registry" "$@"
}

# Runs in the host's network namespace, with a private mount namespace that
# puts its hosts file over /etc/hosts and its own host name.
bed_run() { # HOST CMD...
    local h=$1
    shift
    _bed_env "$h" ip netns exec "${BED_TAG}$h" unshare --mount --uts --propagation private \
        sh -c 'mount --bind "$1" /etc/hosts && hostname "$2" && shift 2 && exec "$@"' bed \
        "$BED_DIR/$h/hosts" "$h" "$@"
}

bed_spawn() { # HOST LOG CMD...
    local h=$1 log=$2
    shift 2
    bed_run "$h" "$@" >"$log" 2>&1 &
    BED_PID=$!
    BED_PIDS+=("$BED_PID")
}

# The processes of HOST (any that run in its network namespace).
_bed_pids() { # HOST
    ip netns pids "${BED_TAG}$1" 2>/dev/null
}

bed_stop() { # HOST NAME
    local p comm
    for p in $(_bed_pids "$1"); do
        comm=$(cat "/proc/$p/comm" 2>/dev/null) || continue
        [[ $comm == "$2" ]] && kill -TERM "$p" 2>/dev/null
    done
    # Gone when nothing of that name is left (5 s at most).
    local i
    for ((i = 0; i < 50; i++)); do
        local left=0
        for p in $(_bed_pids "$1"); do
            [[ $(cat "/proc/$p/comm" 2>/dev/null) == "$2" ]] && left=1
        done
        [[ $left -eq 0 ]] && return 0
        sleep 0.1
    done
    return 1
}

bed_down() {
    local p h i
    # Signalling the shells bed_spawn started would leave their commands
    # running: the hosts' own processes are stopped, then their shells reaped.
    for h in "${BED_HOSTS[@]}"; do
        for p in $(_bed_pids "$h"); do kill -TERM "$p" 2>/dev/null; done
    done
    for ((i = 0; i < 50; i++)); do
        local left=0
        for p in "${BED_PIDS[@]}"; do kill -0 "$p" 2>/dev/null && left=1; done
        [[ $left -eq 0 ]] && break
        sleep 0.1
    done
    for h in "${BED_HOSTS[@]}"; do
        for p in $(_bed_pids "$h"); do kill -KILL "$p" 2>/dev/null; done
    done
    for p in "${BED_PIDS[@]}"; do kill -TERM "$p" 2>/dev/null; done
    for p in "${BED_PIDS[@]}"; do wait "$p" 2>/dev/null; done
    BED_PIDS=()
    for h in "${BED_HOSTS[@]}"; do ip netns del "${BED_TAG}$h" 2>/dev/null; done
    ip netns del "${BED_TAG}hub" 2>/dev/null
    BED_HOSTS=()
    [[ -n $BED_DIR && -d $BED_DIR ]] && rm -rf "$BED_DIR"
    BED_DIR=""
    return 0
}
