#!/usr/bin/env bash
# Loopback comparison: lumesk_relay against socat, rinetd, haproxy (tcp) and nginx (stream),
# plus a direct baseline. Every process it starts talks to 127.0.0.1 only.
# All forwarders run side by side; each round measures every metric on every
# forwarder in turn (the order rotating), and the table shows the median over
# the rounds, so a slow spell of this shared machine does not land on one
# forwarder alone.
# Proxy modes are measured the same way against tinyproxy (HTTP CONNECT) and dante (SOCKS5).
# Usage: bench/compare.sh   (BENCH_SECONDS=4 per measurement, BENCH_ROUNDS=5, KEEP=1 keeps the logs,
#        BENCH_PEERS="haproxy nginx", BENCH_METRICS="rr50 conn", BENCH_PROXY=0 skips the proxies,
#        BENCH_PIN=1 runs every forwarder on CPU 0 alone and the load and targets on CPU 1)
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build-bench
SECS=${BENCH_SECONDS:-4}
ROUNDS=${BENCH_ROUNDS:-5}
LOAD=$BUILD/lumesk_load
RELAY=$BUILD/lumesk_relay
TICK=$(getconf CLK_TCK)

# Ports below the ephemeral range, so no client's TIME_WAIT can sit on a listener's port.
SINK_PORT=21000
CTRL_PORT=21001
ECHO_BASE=21010  # one echo port per forwarder: their TIME_WAITs to the target do not mix
SINK_FWD_BASE=21100
ECHO_FWD_BASE=21200
# BENCH_PEERS and BENCH_METRICS narrow a run down while working on one figure.
read -ra PEERS <<<"${BENCH_PEERS:-socat rinetd haproxy nginx}"
FORWARDERS=(direct lumesk "${PEERS[@]}")
PROXIES=()
[ "${BENCH_PROXY:-1}" = 1 ] && PROXIES=(lumesk-http tinyproxy lumesk-socks dante)
PROXY_BASE=10  # the proxies' index: their ports follow the forwarders'
# Pinned: the forwarder under test has CPU 0 to itself (its own threads aside) and the
# generator and the targets share CPU 1, so per-core efficiency is what is compared.
PIN=${BENCH_PIN:-0}
ON_FWD=()
ON_LOAD=()
if [ "$PIN" = 1 ]; then
    ON_FWD=(taskset -c 0)
    ON_LOAD=(taskset -c 1)
fi

log() { echo "[compare] $*" >&2; }
die() {
    log "error: $*"
    exit 1
}

# ---- packages and build ---------------------------------------------------------

install_peers() {
    local missing=()
    command -v socat >/dev/null || missing+=(socat)
    command -v rinetd >/dev/null || missing+=(rinetd)
    command -v haproxy >/dev/null || missing+=(haproxy)
    command -v nginx >/dev/null || missing+=(nginx)
    command -v tinyproxy >/dev/null || missing+=(tinyproxy)
    command -v danted >/dev/null || missing+=(dante-server)
    command -v taskset >/dev/null || missing+=(util-linux)
    # Debian 12 builds the stream module as a dynamic module in its own package.
    [ -f /usr/lib/nginx/modules/ngx_stream_module.so ] || missing+=(libnginx-mod-stream)
    command -v cmake >/dev/null || missing+=(cmake)
    command -v ninja >/dev/null || missing+=(ninja-build)
    command -v g++ >/dev/null || missing+=(g++)
    command -v ss >/dev/null || missing+=(iproute2)
    [ ${#missing[@]} -eq 0 ] && return 0
    [ "$(id -u)" -eq 0 ] || die "missing ${missing[*]}; install them as root"
    log "installing ${missing[*]}"
    apt-get update -qq >/dev/null
    # No services from the install: we start our own copies with our own config files.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
        >/dev/null || die "apt-get install failed"
}

stop_system_services() {
    local s
    for s in rinetd haproxy nginx tinyproxy danted; do
        service "$s" stop >/dev/null 2>&1 || true
    done
    # Anything of theirs still around (a service the init system does not know of).
    for s in rinetd haproxy nginx tinyproxy danted; do
        pkill -x "$s" 2>/dev/null && log "stopped a running $s"
    done
    true
}

build() {
    log "building lumesk_relay and lumesk_load (Release) in build-bench/"
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMESK_TESTS=OFF -DLUMESK_GUI=OFF \
        >"$T/cmake.log" 2>&1 || die "cmake failed, see $T/cmake.log"
    ninja -C "$BUILD" lumesk_relay lumesk_load >"$T/ninja.log" 2>&1 ||
        die "build failed, see $T/ninja.log"
}

# ---- processes -------------------------------------------------------------------

PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    if [ "${KEEP:-0}" = 1 ]; then log "logs kept in $T"; else rm -rf "$T"; fi
}

port_busy() { ss -Hltn "sport = :$1" | grep -q .; }

wait_listen() {
    local port=$1 pid=$2 i
    for i in $(seq 100); do
        port_busy "$port" && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# One ps call: sampling must be quick next to a 5 s window, even with 50 socat children.
# $1: the roots, separated by spaces.
tree_pids() {
    ps -e -o pid=,ppid= | awk -v roots="$1" '
        BEGIN { n = split(roots, r, " "); for (i = 1; i <= n; i++) root[r[i]] = 1 }
        { parent[$1] = $2 }
        END {
            for (p in parent) {
                q = p
                while (!(q in root) && q > 1 && (q in parent)) q = parent[q]
                if (q in root) print p
            }
        }'
}

tree_files() {
    local p
    for p in $(tree_pids "$1"); do printf '/proc/%s/%s\n' "$p" "$2"; done
}

# Sum over the process tree: nginx has workers, socat a child per connection.
tree_rss_kib() {
    tree_files "$1" status | xargs cat 2>/dev/null | awk '/^VmRSS:/ { t += $2 } END { print t + 0 }'
}

# utime+stime+cutime+cstime in ticks; reaped children land in the parent's cutime.
tree_cpu_ticks() {
    tree_files "$1" stat | xargs cat 2>/dev/null | sed 's/^.*) //' |
        awk '{ t += $12 + $13 + $14 + $15 } END { print t + 0 }'
}

# Voluntary and forced switches of every thread: a handoff between threads costs one each.
tree_ctxsw() {
    local p
    for p in $(tree_pids "$1"); do cat /proc/"$p"/task/*/status 2>/dev/null; done |
        awk '/ctxt_switches/ { t += $2 } END { print t + 0 }'
}

declare -A FWD  # FWD[name]: the roots of the forwarder's process trees
RELAY_FD=''
PROXY_FDS=()
# Starts a forwarder with two listeners: sinkp -> the sink, echop -> its echo port.
start_forwarder() {
    local name=$1 sinkp=$2 echop=$3 echotarget=$4
    local dir=$T/$name pid
    mkdir -p "$dir"
    port_busy "$sinkp" && die "port $sinkp is already in use"
    [ -n "$echop" ] && port_busy "$echop" && die "port $echop is already in use"
    case $name in
    lumesk)
        # One mapping per process, as the idle RSS is read for one mapping.
        mkfifo "$dir/stdin"
        "${ON_FWD[@]}" "$RELAY" "$sinkp" "$SINK_PORT" 127.0.0.1 <"$dir/stdin" >"$dir/sink.log" 2>&1 &
        pid=$!
        "${ON_FWD[@]}" "$RELAY" "$echop" "$echotarget" 127.0.0.1 <"$dir/stdin" >"$dir/echo.log" 2>&1 &
        pid+=" $!"
        exec {RELAY_FD}>"$dir/stdin"  # the relays run until this closes
        ;;
    lumesk-http | lumesk-socks)
        # A proxy mapping has no fixed target: the client names it.
        mkfifo "$dir/stdin"
        "${ON_FWD[@]}" "$RELAY" "$sinkp" 0 127.0.0.1 "${name#lumesk-}" <"$dir/stdin" \
            >"$dir/proxy.log" 2>&1 &
        pid=$!
        exec {fd}>"$dir/stdin"
        PROXY_FDS+=("$fd")
        ;;
    tinyproxy)
        # No ConnectPort line: CONNECT may reach any port, as the other proxies allow.
        cat >"$dir/tinyproxy.conf" <<EOF
User nobody
Group nogroup
Port $sinkp
Listen 127.0.0.1
Timeout 600
MaxClients 4000
LogLevel Error
EOF
        "${ON_FWD[@]}" tinyproxy -d -c "$dir/tinyproxy.conf" >"$dir/out.log" 2>&1 &
        pid=$!
        ;;
    dante)
        cat >"$dir/danted.conf" <<EOF
logoutput: stderr
internal: 127.0.0.1 port = $sinkp
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }
EOF
        "${ON_FWD[@]}" danted -f "$dir/danted.conf" -p "$dir/danted.pid" >"$dir/out.log" 2>&1 &
        pid=$!
        ;;
    socat)
        "${ON_FWD[@]}" socat "TCP-LISTEN:$sinkp,bind=127.0.0.1,fork,reuseaddr" \
            "TCP:127.0.0.1:$SINK_PORT" >"$dir/out.log" 2>&1 &
        pid=$!
        "${ON_FWD[@]}" socat "TCP-LISTEN:$echop,bind=127.0.0.1,fork,reuseaddr" \
            "TCP:127.0.0.1:$echotarget" \
            >>"$dir/out.log" 2>&1 &
        pid+=" $!"
        ;;
    rinetd)
        printf '127.0.0.1 %s 127.0.0.1 %s\n127.0.0.1 %s 127.0.0.1 %s\n' \
            "$sinkp" "$SINK_PORT" "$echop" "$echotarget" >"$dir/rinetd.conf"
        "${ON_FWD[@]}" rinetd -f -c "$dir/rinetd.conf" >"$dir/out.log" 2>&1 &
        pid=$!
        ;;
    haproxy)
        cat >"$dir/haproxy.cfg" <<EOF
global
    maxconn 8000
$([ "$PIN" = 1 ] && echo '    nbthread 1')
defaults
    mode tcp
    timeout connect 5s
    timeout client 60s
    timeout server 60s
frontend fs
    bind 127.0.0.1:$sinkp
    default_backend bs
backend bs
    server s 127.0.0.1:$SINK_PORT
frontend fe
    bind 127.0.0.1:$echop
    default_backend be
backend be
    server e 127.0.0.1:$echotarget
EOF
        "${ON_FWD[@]}" haproxy -f "$dir/haproxy.cfg" -db >"$dir/out.log" 2>&1 &
        pid=$!
        ;;
    nginx)
        cat >"$dir/nginx.conf" <<EOF
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
worker_processes $([ "$PIN" = 1 ] && echo 1 || echo auto);
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 8192; }
stream {
    server {
        listen 127.0.0.1:$sinkp;
        proxy_pass 127.0.0.1:$SINK_PORT;
    }
    server {
        listen 127.0.0.1:$echop;
        proxy_pass 127.0.0.1:$echotarget;
    }
}
EOF
        "${ON_FWD[@]}" nginx -p "$dir" -c "$dir/nginx.conf" -g 'daemon off;' >"$dir/out.log" 2>&1 &
        pid=$!
        ;;
    *) die "unknown forwarder $name" ;;
    esac
    PIDS+=($pid)
    FWD[$name]=$pid
    if ! wait_listen "$sinkp" "${pid%% *}" ||
        { [ -n "$echop" ] && ! wait_listen "$echop" "${pid##* }"; }; then
        cat "$dir"/*.log >&2
        die "$name did not listen on $sinkp $echop"
    fi
}

stop_forwarders() {
    local name pid i
    [ -n "$RELAY_FD" ] && exec {RELAY_FD}>&-
    for fd in "${PROXY_FDS[@]}"; do exec {fd}>&-; done
    for name in "${!FWD[@]}"; do
        [ "$name" != lumesk ] && kill ${FWD[$name]} 2>/dev/null
    done
    for name in "${!FWD[@]}"; do
        for pid in ${FWD[$name]}; do
            for i in $(seq 50); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
            if kill -0 "$pid" 2>/dev/null; then
                log "$name did not stop by itself; killing it"
                kill -9 "$pid" 2>/dev/null
            fi
            wait "$pid" 2>/dev/null
        done
    done
    true
}

# ---- measurements ------------------------------------------------------------------

declare -A R  # R[name,metric]
RAW=''

kv() { grep -o "$2=[^ ]*" <<<"$1" | head -1 | cut -d= -f2; }

now() { date +%s.%N; }

# Runs one load line. CPU is read before and after the run, with the forwarder idle: on this
# kind of VM a task that never sleeps has its CPU time brought up to date only when it stops
# running, so a sample in the middle of the run can miss most of it.
measure() {
    local name=$1 key=$2 pid=$3 warm=$4
    shift 4
    local c0=0 c1=0 s0=0 s1=0 t0 t1 w0=0 w1=1 lp rss i half
    [ -n "$pid" ] && c0=$(tree_cpu_ticks "$pid")
    t0=$(now)
    "${ON_LOAD[@]}" "$LOAD" "$@" >"$T/load.out" 2>&1 &
    lp=$!
    if [ -n "$pid" ]; then
        half=$(awk -v s="$SECS" 'BEGIN { print s / 2 - 0.1 }')
        sleep "$warm"
        w0=$(now) && s0=$(tree_ctxsw "$pid")
        sleep "$half"
        rss=$(tree_rss_kib "$pid")
        [ "$rss" -gt "${R[$name,rss_load]:-0}" ] && R[$name,rss_load]=$rss
        sleep "$half"
        s1=$(tree_ctxsw "$pid") && w1=$(now)
    fi
    wait "$lp"
    t1=$(now)
    if [ -n "$pid" ]; then
        # socat's children count once reaped, in the parent's cutime.
        for i in $(seq 30); do
            if [ "$name" != socat ] || [ -z "$(pgrep -P "${pid// /,}")" ]; then break; fi
            sleep 0.1
        done
        sleep 0.2
        c1=$(tree_cpu_ticks "$pid")
    fi
    LAST=$(tail -1 "$T/load.out")
    RAW+="$name $key: $LAST"$'\n'
    log "$name $key: $LAST"
    # Per second: CPU in ms over the whole run, context switches over the timed window.
    R[$name,$key.cpu]=$(awk -v c="$((c1 - c0))" -v k="$TICK" -v a="$t0" -v b="$t1" \
        'BEGIN { printf "%.1f", c * 1000 / k / (b - a) }')
    R[$name,$key.ctxsw]=$(awk -v c="$((s1 - s0))" -v a="$w0" -v b="$w1" \
        'BEGIN { printf "%.0f", c / (b - a) }')
}

# Forwarder cost per unit of work: (per-second cost) * SCALE / (units per second).
per_unit() {
    awk -v c="$1" -v r="$2" -v m="$3" -v f="$4" \
        'BEGIN { if (r > 0 && c >= 0) printf f, c * m / r; else print "" }'
}

problems() {
    local name=$1 key=$2 line=$3 f v
    for f in connect_errors send_errors timeouts closes mismatches; do
        v=$(kv "$line" "$f")
        [ -n "$v" ] && [ "$v" != 0 ] && PROBLEMS+="  $name $key: $f=$v"$'\n'
    done
    true
}
PROBLEMS=''

declare -A V  # V[name,metric]: one value per round

add() { V[$1,$2]+="${3:-} "; }

median() {
    tr ' ' '\n' <<<"$1" | grep -v '^$' | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) exit; print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

measure_one() {
    local name=$1 metric=$2 idx=$3 pid='' sinkp echop
    unset LUMESK_LOAD_PROXY
    if [ "$name" = direct ]; then
        sinkp=$SINK_PORT
        echop=$ECHO_BASE
    elif [ "$idx" -ge "$PROXY_BASE" ]; then
        # One listener: the load names the sink or its own echo port in the handshake.
        pid=${FWD[$name]}
        sinkp=$((SINK_FWD_BASE + idx))
        echop=$sinkp
        local kind=socks5 target=$SINK_PORT
        [[ $name == *http || $name == tinyproxy ]] && kind=http
        [[ $metric == thr* ]] || target=$((ECHO_BASE + idx))
        export LUMESK_LOAD_PROXY=$kind:$target
    else
        pid=${FWD[$name]}
        sinkp=$((SINK_FWD_BASE + idx))
        echop=$((ECHO_FWD_BASE + idx))
    fi
    case $metric in
    thr1 | thr50)
        measure "$name" "$metric" "$pid" 0.6 throughput "$sinkp" "${metric#thr}" "$SECS" "$CTRL_PORT"
        add "$name" "$metric" "$(kv "$LAST" mibps)"
        ;;
    dup1 | dup50)
        # Both directions at once through the echo target, every byte checked.
        measure "$name" "$metric" "$pid" 0.6 duplex "$echop" "${metric#dup}" "$SECS"
        add "$name" "$metric" "$(kv "$LAST" mibps)"
        ;;
    rr1 | rr50)
        measure "$name" "$metric" "$pid" 0.4 rr "$echop" "${metric#rr}" "$SECS"
        add "$name" "$metric" "$(kv "$LAST" rps)"
        add "$name" "${metric}p50" "$(kv "$LAST" p50_us)"
        add "$name" "${metric}p99" "$(kv "$LAST" p99_us)"
        ;;
    conn)
        # RST on close: the client leaves no TIME_WAIT to slow the next run down.
        measure "$name" conn "$pid" 0.1 connrate "$echop" "$SECS" 4 rst
        add "$name" conn "$(kv "$LAST" cps)"
        add "$name" connp99 "$(kv "$LAST" p99_us)"
        ;;
    esac
    problems "$name" "$metric" "$LAST"
    [ -z "$pid" ] && return 0
    # Forwarder cost per unit of work: lower is leaner.
    case $metric in
    thr50) add "$name" cpu_thr50 "$(per_unit "${R[$name,thr50.cpu]}" "$(kv "$LAST" mibps)" 1000 "%.0f")" ;;
    rr50)
        add "$name" cpu_rr50 "$(per_unit "${R[$name,rr50.cpu]}" "$(kv "$LAST" rps)" 1000 "%.1f")"
        # socat's per-connection children take their switch counts with them.
        if [ "$name" != socat ]; then
            add "$name" ctx_rr50 "$(per_unit "${R[$name,rr50.ctxsw]}" "$(kv "$LAST" rps)" 1 "%.2f")"
        fi
        ;;
    conn) add "$name" cpu_conn "$(per_unit "${R[$name,conn.cpu]}" "$(kv "$LAST" cps)" 1000 "%.0f")" ;;
    esac
    return 0
}

# ---- table ---------------------------------------------------------------------------

ROWS=(
    # metric key | label | direction (h: higher is better, l: lower)
    "thr1|throughput 1 conn (MiB/s)|h"
    "thr50|throughput 50 conns (MiB/s)|h"
    "dup1|bulk both ways 1 conn (MiB/s each way)|h"
    "dup50|bulk both ways 50 conns (MiB/s each way)|h"
    "rr1|rr 1 conn (req/s)|h"
    "rr1p50|rr 1 conn p50 (us)|l"
    "rr1p99|rr 1 conn p99 (us)|l"
    "rr50|rr 50 conns (req/s)|h"
    "rr50p50|rr 50 conns p50 (us)|l"
    "rr50p99|rr 50 conns p99 (us)|l"
    "conn|connections/s (4 threads)|h"
    "connp99|connect+echo+close p99 (us)|l"
    "rss_idle|RSS idle, 1 mapping (KiB)|l"
    "rss_load|RSS under load, peak sample (KiB)|l"
    "cpu_thr50|fwd CPU us per MiB (thr 50)|l"
    "cpu_rr50|fwd CPU us per request (rr 50)|l"
    "cpu_conn|fwd CPU us per connection|l"
    "ctx_rr50|fwd context switches per request (rr 50)|l"
)

# print_table LUMESK_COLUMN COLUMN...: one row per metric measured, lumesk against the best
# of the other columns (direct aside), with the lowest and highest round of both.
print_table() {
    local me=$1 row key label dir f any
    shift
    local cols=("$me" "$@")
    {
        printf 'metric'
        for f in "${cols[@]}"; do printf '\t%s' "$f"; done
        printf '\tbest peer\tlumesk/best\trounds: lumesk; best\n'
        for row in "${ROWS[@]}"; do
            IFS='|' read -r key label dir <<<"$row"
            any=''
            for f in "${cols[@]}"; do [ -n "${R[$f,$key]:-}" ] && any=1; done
            [ -z "$any" ] && continue
            printf '%s' "$label"
            for f in "${cols[@]}"; do printf '\t%s~%s' "${R[$f,$key]:--}" "${S[$f,$key]:-}"; done
            printf '\t%s\n' "$dir"
        done
    } | awk -F'\t' -v OFS='\t' '
        NR == 1 { for (i = 1; i <= NF; i++) h[i] = $i; print; next }
        {
            dir = $NF; best = ""; bestv = ""
            for (i = 2; i <= NF - 1; i++) {
                split($i, c, "~"); val[i] = c[1]; spread[i] = c[2]
            }
            for (i = 3; i <= NF - 1; i++) {
                if (h[i] == "direct" || val[i] == "-" || val[i] == "") continue
                v = val[i] + 0
                if (bestv == "" || (dir == "h" && v > bestv) || (dir == "l" && v < bestv)) {
                    bestv = v; best = i
                }
            }
            ratio = "-"
            if (best != "" && val[2] != "-" && bestv > 0) {
                ratio = sprintf("%.2fx %s", (val[2] + 0) / bestv, dir == "h" ? "(>1 better)" : "(<1 better)")
            }
            rounds = (best == "" || spread[2] == "") ? "" : spread[2] "; " spread[best]
            for (i = 2; i <= NF - 1; i++) $i = val[i]
            $NF = (best == "" ? "-" : h[best])
            print $0, ratio, rounds
        }
    ' | if command -v column >/dev/null; then column -t -s $'\t'; else cat; fi
}

# ---- main ----------------------------------------------------------------------------

T=$(mktemp -d /tmp/lumesk-bench.XXXXXX)
trap cleanup EXIT
trap 'exit 130' INT TERM

install_peers
stop_system_services
build
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

[ "$PIN" = 1 ] && [ "$(nproc)" -lt 2 ] && die "BENCH_PIN=1 needs two CPUs"
echo_ports=$ECHO_BASE
for i in $(seq 1 $((${#FORWARDERS[@]} - 1))); do echo_ports+=",$((ECHO_BASE + i))"; done
for i in "${!PROXIES[@]}"; do echo_ports+=",$((ECHO_BASE + PROXY_BASE + i))"; done
for p in $SINK_PORT $CTRL_PORT ${echo_ports//,/ }; do port_busy "$p" && die "port $p is in use"; done
# The targets outlive the run only by their own time limit: a whole run with room to spare.
"${ON_LOAD[@]}" "$LOAD" sink-server "$SINK_PORT" "$CTRL_PORT" 3600 >"$T/sink.log" 2>&1 &
PIDS+=($!)
"${ON_LOAD[@]}" "$LOAD" echo-server "$echo_ports" 3600 >"$T/echo.log" 2>&1 &
PIDS+=($!)
wait_listen "$SINK_PORT" "${PIDS[0]}" || die "sink server did not start"
wait_listen "$ECHO_BASE" "${PIDS[1]}" || die "echo server did not start"

log "versions: $(socat -V 2>/dev/null | sed -n 's/^socat version \([^ ]*\).*/socat \1/p' | head -1)," \
    "$(haproxy -v 2>/dev/null | head -1 | cut -d' ' -f1-3), $(nginx -v 2>&1 | cut -d' ' -f3)," \
    "rinetd $(dpkg-query -W -f '${Version}' rinetd 2>/dev/null)," \
    "tinyproxy $(dpkg-query -W -f '${Version}' tinyproxy 2>/dev/null)," \
    "dante $(dpkg-query -W -f '${Version}' dante-server 2>/dev/null)"
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
log "$SECS s per measurement; $(nproc) cores; loopback only; load average $LOAD_BEFORE;" \
    "$([ "$PIN" = 1 ] && echo 'pinned: forwarders on CPU 0, load and targets on CPU 1' || echo 'not pinned')"

started=$(date +%s)
for i in "${!FORWARDERS[@]}"; do
    name=${FORWARDERS[$i]}
    [ "$name" = direct ] && continue
    start_forwarder "$name" $((SINK_FWD_BASE + i)) $((ECHO_FWD_BASE + i)) $((ECHO_BASE + i))
done
for i in "${!PROXIES[@]}"; do
    start_forwarder "${PROXIES[$i]}" $((SINK_FWD_BASE + PROXY_BASE + i)) '' ''
done
sleep 1  # let workers settle before the idle RSS
for name in "${!FWD[@]}"; do
    if [ "$name" = lumesk ]; then
        # One mapping: the relay process of the sink mapping alone.
        R[$name,rss_idle]=$(tree_rss_kib "${FWD[$name]%% *}")
    elif [[ $name == lumesk-* ]]; then
        R[$name,rss_idle]=$(tree_rss_kib "${FWD[$name]}")
    else
        R[$name,rss_idle]=$(tree_rss_kib "${FWD[$name]}")
    fi
done
read -ra METRICS <<<"${BENCH_METRICS:-thr1 thr50 dup1 dup50 rr1 rr50 conn}"
read -ra PROXY_METRICS <<<"${BENCH_PROXY_METRICS:-thr1 thr50 rr50 conn}"
n=${#FORWARDERS[@]}
for round in $(seq "$ROUNDS"); do
    log "round $round of $ROUNDS: load average $(cut -d' ' -f1-3 /proc/loadavg)"
    # A round without its targets measures nothing: stop rather than take it into a median.
    kill -0 "${PIDS[0]}" 2>/dev/null && kill -0 "${PIDS[1]}" 2>/dev/null ||
        die "the sink or echo server has gone"
    for metric in "${METRICS[@]}"; do
        for k in $(seq 0 $((n - 1))); do
            i=$(((k + round - 1) % n))  # each round starts with another forwarder
            measure_one "${FORWARDERS[$i]}" "$metric" "$i"
        done
    done
    for metric in "${PROXY_METRICS[@]}"; do
        for k in "${!PROXIES[@]}"; do
            i=$(((k + round - 1) % ${#PROXIES[@]}))
            measure_one "${PROXIES[$i]}" "$metric" $((PROXY_BASE + i))
        done
    done
done
unset LUMESK_LOAD_PROXY
stop_forwarders
declare -A S  # S[name,metric]: the lowest and the highest round
for key in "${!V[@]}"; do
    R[$key]=$(median "${V[$key]}")
    S[$key]=$(tr ' ' '\n' <<<"${V[$key]}" | grep -v '^$' | sort -g | sed -n '1p;$p' | paste -sd-)
done

echo
echo "== Forwarder comparison on 127.0.0.1 (median of $ROUNDS rounds, $SECS s per measurement," \
    "$(nproc) cores, $(($(date +%s) - started)) s in all; lumesk at $(git -C "$ROOT" describe --always --dirty 2>/dev/null);" \
    "$([ "$PIN" = 1 ] && echo 'pinned: each forwarder on CPU 0, load and targets on CPU 1' || echo 'not pinned')) =="
print_table lumesk direct "${PEERS[@]}"
if [ ${#PROXIES[@]} -gt 0 ]; then
    echo
    echo "== HTTP proxy (CONNECT): lumesk's HTTP proxy mode against tinyproxy =="
    print_table lumesk-http tinyproxy
    echo
    echo "== SOCKS5 proxy: lumesk's SOCKS mode against dante =="
    print_table lumesk-socks dante
fi
echo
echo "load average before: $LOAD_BEFORE, after: $(cut -d' ' -f1-3 /proc/loadavg)" \
    "(anything else running on these $(nproc) cores makes every figure noisy)"
echo "direct = load generator straight to the target (no forwarder): the ceiling."
echo "RSS and CPU are summed over each forwarder's process tree (nginx master+workers, socat children)."
echo "RSS idle: lumesk's process with its one mapping; each peer's processes, with two listeners."
echo "connections/s: 4 client threads; connect, 1 byte, its echo, close with RST (no client TIME_WAIT)."
echo "rr: 64-byte request, 64-byte echo, one outstanding per connection; latency over all requests."
echo "bulk both ways: each connection sends while it reads its bytes back through the echo target."
echo "the load generator drives 50 connections from one epoll thread (rr, bulk both ways)."
echo "lumesk/best: lumesk divided by the best of socat, rinetd, haproxy, nginx for that row;" \
    "rounds: the lowest and highest round of lumesk and of that peer."
echo "proxies: every connection starts with the handshake (HTTP CONNECT, SOCKS5 without"
echo "authentication) to the sink or an echo target; the rows count from the connect on."
if [ -n "$PROBLEMS" ]; then
    echo
    echo "Errors seen by the load generator:"
    printf '%s' "$PROBLEMS"
fi
echo
echo "Raw lines:"
printf '%s' "$RAW"
