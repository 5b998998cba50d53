# private-rspamd.sh - start and stop a private rspamd on a loopback port and a
# Unix socket; sourced by the tests and scripts that need the real rspamd.
#
# start_private_rspamd DIR [PORT]
#                         rspamd with its configuration, databases and log
#                         (DIR/rspamd.log) in DIR, one normal worker on
#                         127.0.0.1:PORT (a free port when not given) and on
#                         DIR/rspamd.sock, no controller or proxy, no network
#                         modules, no Redis, DNS answered NXDOMAIN by a
#                         loopback responder; waits until /ping answers pong,
#                         at most 90 seconds; sets RSPAMD_PORT and RSPAMD_SOCKET
#                         With RSPAMD_LEARN=1 also its controller worker on
#                         127.0.0.1:RSPAMD_CONTROLLER_PORT (a free port) with
#                         the password in DIR/controller.pass (mode 600;
#                         loopback clients are not let in without it), and a
#                         private Redis on DIR/redis.sock for its Bayes
#                         statistics (Debian's redis-server, its service not
#                         started); sets RSPAMD_CONTROLLER_PORT
# stop_private_rspamd     stops rspamd, its workers, Redis and the DNS responder
# restart_private_rspamd  stop, then start again in the same DIR on the same port
#
# The compiled Hyperscan databases are kept in ${VELMORA_RSPAMD_CACHE:-/var/tmp/velmora-rspamd-cache}
# between starts: the first start takes about 10 seconds to compile them, a
# later one less than a second.

RSPAMD_DIR=""
RSPAMD_PID=""
RSPAMD_PORT=""
RSPAMD_SOCKET=""
RSPAMD_DNS_PID=""
RSPAMD_CONTROLLER_PORT=""
RSPAMD_REDIS_PID=""

# A resolver that answers every query at once with NXDOMAIN: rspamd still
# looks up the client's PTR name with the network modules off, and a query
# the system resolver drops costs a message a one-second time-out.  It writes
# its port to the file named first and ends when the shell that started it
# has gone.
_RSPAMD_DNS_RESPONDER='
import os, socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
with open(sys.argv[1] + ".tmp", "w") as f:
    f.write(str(s.getsockname()[1]))
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
parent = os.getppid()
s.settimeout(1)
while os.getppid() == parent:
    try:
        q, peer = s.recvfrom(4096)
    except socket.timeout:
        continue
    if len(q) < 12 or q[2] & 0x80:
        continue
    end = 12
    while end < len(q) and q[end]:
        end += 1 + q[end]
    end = min(end + 5, len(q))
    one = 1 if end > 12 else 0
    s.sendto(q[:2] + bytes([0x80 | (q[2] & 0x79), 0x83, 0, one, 0, 0, 0, 0, 0, 0]) + q[12:end], peer)
'

_rspamd_free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# _rspamd_pong PORT - does rspamd answer /ping on the port.
_rspamd_pong() {
    local reply
    reply=$( (exec 3<>"/dev/tcp/127.0.0.1/$1" &&
              printf 'GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3 &&
              timeout 2 cat <&3) 2>/dev/null) || return 1
    [[ $reply == *$'\r\n\r\npong'* ]]
}

_rspamd_write_config() {
    local dir=$1 dns_port=$2 cache=$3 module
    mkdir -p "$dir/local.d" "$dir/db" "$dir/run" "$cache"
    cat >"$dir/local.d/worker-normal.inc" <<EOF
bind_socket = "127.0.0.1:$RSPAMD_PORT";
bind_socket = "$RSPAMD_SOCKET mode=0666";
EOF
    if [[ ${RSPAMD_LEARN:-} == 1 ]]; then
        # secure_ip on an address no test uses: loopback clients need the password too.
        cat >"$dir/local.d/worker-controller.inc" <<EOF
bind_socket = "127.0.0.1:$RSPAMD_CONTROLLER_PORT";
password = "$(cat "$dir/controller.pass")";
secure_ip = "192.0.2.254";
EOF
        cat >"$dir/local.d/classifier-bayes.conf" <<EOF
backend = "redis";
servers = "$dir/redis.sock";
autolearn = false;
EOF
    else
        echo 'count = -1;' >"$dir/local.d/worker-controller.inc"
    fi
    echo 'count = -1;' >"$dir/local.d/worker-proxy.inc"
    # The modules that would ask the network for every message.
    for module in rbl spf dkim dmarc asn arc fuzzy_check phishing hfilter mx_check url_redirector dkim_signing; do
        echo 'enabled = false;' >"$dir/local.d/$module.conf"
    done
    cat >"$dir/local.d/options.inc" <<EOF
dns {
    nameserver = ["127.0.0.1:$dns_port"];
    timeout = 1s;
    retransmits = 1;
}
hs_cache_dir = "$cache";
EOF
}

_rspamd_show_logs() {
    cat "$RSPAMD_DIR/rspamd-stderr.log" "$RSPAMD_DIR/rspamd.log" 2>/dev/null | tail -n 60 >&2
}

start_private_rspamd() {
    # The directory is made when it does not exist yet, and taken absolute:
    # rspamd resolves its paths from a working directory of its own.
    mkdir -p "$1" || return 1
    RSPAMD_DIR=$(cd "$1" && pwd)
    RSPAMD_PORT=${2:-$(_rspamd_free_port)}
    RSPAMD_SOCKET="$RSPAMD_DIR/rspamd.sock"
    export RSPAMD_PORT RSPAMD_SOCKET
    local cache=${VELMORA_RSPAMD_CACHE:-/var/tmp/velmora-rspamd-cache} _

    rm -f "$RSPAMD_DIR/dns.port"
    python3 -c "$_RSPAMD_DNS_RESPONDER" "$RSPAMD_DIR/dns.port" </dev/null &
    RSPAMD_DNS_PID=$!
    for _ in $(seq 50); do
        [[ -s "$RSPAMD_DIR/dns.port" ]] && break
        sleep 0.1
    done
    if [[ ! -s "$RSPAMD_DIR/dns.port" ]]; then
        echo "the DNS responder for rspamd did not start" >&2
        stop_private_rspamd
        return 1
    fi
    if [[ ${RSPAMD_LEARN:-} == 1 ]]; then
        RSPAMD_CONTROLLER_PORT=$(_rspamd_free_port)
        export RSPAMD_CONTROLLER_PORT
        (umask 077 && echo "learn-$RANDOM$RANDOM" >"$RSPAMD_DIR/controller.pass")
        rm -f "$RSPAMD_DIR/redis.sock"
        redis-server --port 0 --unixsocket "$RSPAMD_DIR/redis.sock" --unixsocketperm 777 --save "" \
            --appendonly no --dir "$RSPAMD_DIR" </dev/null >"$RSPAMD_DIR/redis.log" 2>&1 &
        RSPAMD_REDIS_PID=$!
        for _ in $(seq 100); do
            [[ -S "$RSPAMD_DIR/redis.sock" ]] && break
            sleep 0.1
        done
        if [[ ! -S "$RSPAMD_DIR/redis.sock" ]]; then
            echo "redis-server did not start:" >&2
            cat "$RSPAMD_DIR/redis.log" >&2
            stop_private_rspamd
            return 1
        fi
    fi
    _rspamd_write_config "$RSPAMD_DIR" "$(cat "$RSPAMD_DIR/dns.port")" "$cache"

    local args=(-f -c /etc/rspamd/rspamd.conf)
    # rspamd refuses to run its workers as root unless told to.
    if [[ $(id -u) -eq 0 ]]; then
        args+=(-u root -g root)
    fi
    rspamd "${args[@]}" LOCAL_CONFDIR="$RSPAMD_DIR" DBDIR="$RSPAMD_DIR/db" RUNDIR="$RSPAMD_DIR/run" \
        LOGDIR="$RSPAMD_DIR" </dev/null >/dev/null 2>"$RSPAMD_DIR/rspamd-stderr.log" &
    RSPAMD_PID=$!
    for _ in $(seq 900); do
        if [[ -S "$RSPAMD_SOCKET" ]] && _rspamd_pong "$RSPAMD_PORT"; then
            return 0
        fi
        if ! kill -0 "$RSPAMD_PID" 2>/dev/null; then
            echo "rspamd did not start:" >&2
            _rspamd_show_logs
            stop_private_rspamd
            return 1
        fi
        sleep 0.1
    done
    echo "rspamd did not answer /ping on port $RSPAMD_PORT within 90 seconds:" >&2
    _rspamd_show_logs
    stop_private_rspamd
    return 1
}

# _rspamd_any_alive PID... - is one of the pids still an rspamd process.
_rspamd_any_alive() {
    local pid
    for pid in "$@"; do
        [[ $(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") == rspamd* ]] && return 0
    done
    return 1
}

# _rspamd_kill_workers PID... - SIGKILL each pid that is still an rspamd process.
_rspamd_kill_workers() {
    local pid
    for pid in "$@"; do
        [[ $(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") == rspamd* ]] && kill -9 "$pid" 2>/dev/null
    done
    return 0
}

stop_private_rspamd() {
    local pid=$RSPAMD_PID workers=() _
    if [[ -n "$pid" ]]; then
        # Collected now: once the main process is gone they have another parent.
        mapfile -t workers < <(pgrep -P "$pid")
        kill "$pid" 2>/dev/null || true
        # rspamd ends its workers itself; wait for that, bounded, then insist.
        # The workers outlive a SIGKILL of the main process and keep answering.
        for _ in $(seq 50); do
            _rspamd_any_alive "$pid" "${workers[@]}" || break
            sleep 0.1
        done
        if _rspamd_any_alive "$pid"; then
            mapfile -t -O "${#workers[@]}" workers < <(pgrep -P "$pid")
            kill -9 "$pid" 2>/dev/null || true
        fi
        _rspamd_kill_workers "${workers[@]}"
        wait "$pid" 2>/dev/null || true
        RSPAMD_PID=""
    fi
    if [[ -n "$RSPAMD_REDIS_PID" ]]; then
        kill "$RSPAMD_REDIS_PID" 2>/dev/null || true
        wait "$RSPAMD_REDIS_PID" 2>/dev/null || true
        RSPAMD_REDIS_PID=""
    fi
    if [[ -n "$RSPAMD_DNS_PID" ]]; then
        kill "$RSPAMD_DNS_PID" 2>/dev/null || true
        wait "$RSPAMD_DNS_PID" 2>/dev/null || true
        RSPAMD_DNS_PID=""
    fi
}

restart_private_rspamd() {
    local dir=$RSPAMD_DIR port=$RSPAMD_PORT
    stop_private_rspamd
    start_private_rspamd "$dir" "$port"
}
