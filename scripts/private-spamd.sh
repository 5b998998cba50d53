# private-spamd.sh - start and stop a private spamd on a Unix socket; sourced
# by demo.sh and bench.sh.
#
# start_private_spamd DIR [learn]
#                           spamd on DIR/spamd.sock (local tests only, no
#                           Bayes, 2 children); waits for the socket, at most
#                           30 seconds; sets SPAMD_SOCKET.  With "learn": it
#                           takes TELL (--allow-tell) into a Bayes database of
#                           its own in DIR/bayes (sa-learn --dbpath DIR/bayes
#                           --dump magic shows what it learned)
# stop_private_spamd        stops it by its pid and makes sure its children are gone

SPAMD_DIR=""
SPAMD_PID=""
SPAMD_SOCKET=""

start_private_spamd() {
    SPAMD_DIR=$1
    mkdir -p "$SPAMD_DIR" || return 1
    SPAMD_SOCKET="$SPAMD_DIR/spamd.sock"
    chmod 755 "$SPAMD_DIR"
    local args=(-L --socketpath="$SPAMD_SOCKET" -m 2 --min-spare=1 --max-spare=2
                --pidfile="$SPAMD_DIR/spamd.pid" -s stderr -x --cf='bayes_auto_learn 0')
    if [[ ${2:-} == learn ]]; then
        # -x: no per-user files, so this path serves whatever user a request names;
        # the children run as nobody and must write it.
        mkdir -p "$SPAMD_DIR/bayes"
        chmod 777 "$SPAMD_DIR/bayes"
        args+=(--allow-tell --cf='use_bayes 1' --cf="bayes_path $SPAMD_DIR/bayes/bayes" --cf='bayes_file_mode 0777')
    else
        args+=(--cf='use_bayes 0')
    fi
    # As root spamd would keep root for its children; give them nobody.
    if [[ $(id -u) -eq 0 ]]; then
        args+=(-u nobody)
    fi
    spamd "${args[@]}" 2>"$SPAMD_DIR/spamd.log" &
    SPAMD_PID=$!
    local _
    for _ in $(seq 300); do
        [[ -S "$SPAMD_SOCKET" ]] && return 0
        if ! kill -0 "$SPAMD_PID" 2>/dev/null; then
            echo "spamd did not start:" >&2
            cat "$SPAMD_DIR/spamd.log" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "spamd's socket did not appear within 30 seconds" >&2
    return 1
}

stop_private_spamd() {
    [[ -n "$SPAMD_PID" ]] || return 0
    local pid=$SPAMD_PID children _
    if [[ -s "$SPAMD_DIR/spamd.pid" ]]; then
        pid=$(cat "$SPAMD_DIR/spamd.pid")
    fi
    children=$(pgrep -P "$pid" || true)
    kill "$pid" 2>/dev/null || true
    # spamd ends its children itself; wait for that, bounded, then insist.
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    for child in $children; do
        kill -9 "$child" 2>/dev/null || true
    done
    wait "$SPAMD_PID" 2>/dev/null || true
    SPAMD_PID=""
}
