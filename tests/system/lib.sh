# Helpers for the system tests: each test script starts the simulated board in
# a fresh board root, drives it from outside and checks what comes out.
# Scripts are run by CTest inside `unshare -rn` (loopback only).

set -u
BIN=${1:?usage: $0 BIN_DIR}
BIN=$(cd "$BIN" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vboard-system-XXXXXX")
PASSED=0
FAILED=0
BOARD_PID=

ip link set lo up 2>/dev/null || true

# Under ThreadSanitizer (TSAN_OPTIONS set by the test registration) every
# program of the test writes its race reports to files here; any such file
# fails the test, whichever program it came from.
TSAN_REPORTS=
if [ -n "${TSAN_OPTIONS:-}" ]; then
    TSAN_REPORTS=$WORK/tsan-report
    export TSAN_OPTIONS="$TSAN_OPTIONS:log_path=$TSAN_REPORTS"
fi

cleanup() {
    local status=$?
    [ -n "$BOARD_PID" ] && kill -TERM "$BOARD_PID" 2>/dev/null && wait "$BOARD_PID" 2>/dev/null
    if [ -n "$TSAN_REPORTS" ] && compgen -G "$TSAN_REPORTS.*" >/dev/null; then
        cat "$TSAN_REPORTS".* >&2
        echo "FAILED: ThreadSanitizer reported races (above)"
        status=1
    fi
    # VBOARD_TEST_LOGS=DIR keeps the programs' output (*.out, *.txt of the
    # work directory) in DIR/<test script>/ for a look after the run.
    if [ -n "${VBOARD_TEST_LOGS:-}" ]; then
        local keep
        keep=$VBOARD_TEST_LOGS/$(basename "$0" .sh)
        mkdir -p "$keep" && find "$WORK" -maxdepth 1 -type f \( -name '*.out' -o -name '*.txt' \) \
            -exec cp {} "$keep/" \;
        [ -n "$TSAN_REPORTS" ] && compgen -G "$TSAN_REPORTS.*" >/dev/null && cp "$TSAN_REPORTS".* "$keep/"
    fi
    rm -rf "$WORK"
    exit "$status"
}
trap cleanup EXIT

check() {  # check "what" command...
    local what=$1
    shift
    if "$@"; then
        PASSED=$((PASSED + 1))
        echo "ok: $what"
    else
        FAILED=$((FAILED + 1))
        echo "FAILED: $what"
        return 1
    fi
}

# wait_for SECONDS command...: polls until the command succeeds or time is up.
wait_for() {
    local limit=$(( $1 * 10 )) tick
    shift
    for ((tick = 0; tick < limit; tick++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# start_board ROOT [vboard-sim options]: starts the launcher in the background,
# its output in ROOT.out; waits for the PID file.
start_board() {
    local root=$1
    shift
    mkdir -p "$root"
    "$BIN/vboard-sim" --root "$root" "$@" >"$root.out" 2>&1 &
    BOARD_PID=$!
    wait_for 30 test -s "$root/tmp/pelora.pid"
}

# stop_board: SIGTERM to the launcher; sets STOP_STATUS to its exit status.
stop_board() {
    kill -TERM "$BOARD_PID"
    wait "$BOARD_PID"
    STOP_STATUS=$?
    BOARD_PID=
}

finish() {
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ]
}
