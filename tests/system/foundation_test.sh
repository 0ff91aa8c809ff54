#!/usr/bin/env bash
# Start-up, trace log, PID lock file, LED, ordered shutdown, and ledblink.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
# A stale PID file from a killed run must not stop the next start.
mkdir -p "$ROOT/tmp"
echo -n 999999 >"$ROOT/tmp/pelora.pid"
pid_file_is() { [ "$(cat "$ROOT/tmp/pelora.pid" 2>/dev/null)" = "$1" ]; }
start_board "$ROOT"
check "board starts and replaces a stale PID file" wait_for 30 eval '! pid_file_is 999999' 
VBOARD=$(cat "$ROOT/tmp/pelora.pid")
check "PID file names the running vboard" grep -q vboard "/proc/$VBOARD/cmdline"
check "trace lines read [HH:MM:SS.mmm][D] text" \
    wait_for 10 grep -qE '^\[[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\]\[D\] PLR_SYS_LED_Init OK!$' "$ROOT.out"
check "LED is on in mode 0" wait_for 15 grep -qx 1 "$ROOT/sys/class/gpio/gpio18/value"

stop_board
check "vboard-sim exits 0 on SIGTERM" test "$STOP_STATUS" -eq 0
check "vboard stopped" bash -c "! kill -0 $VBOARD 2>/dev/null"
check "PID file removed" test ! -e "$ROOT/tmp/pelora.pid"
check "stop order ran" grep -q 'shutdown: PLR_MAIN_PidDeinit' "$ROOT.out"
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$ROOT.out'"

# A second SIGTERM while stopping is ignored: one shutdown, exit 0.
start_board "$ROOT"
VBOARD=$(cat "$ROOT/tmp/pelora.pid")
kill -TERM "$VBOARD"; kill -TERM "$VBOARD" 2>/dev/null
wait "$BOARD_PID"
STATUS=$?
BOARD_PID=
check "double SIGTERM: exit 0" test "$STATUS" -eq 0
check "double SIGTERM: one shutdown" test "$(grep -c 'shutdown: PLR_MAIN_PidDeinit' "$ROOT.out")" -eq 1

# ledblink: its own PID in the file, the LED toggling once a second, the file
# removed on SIGTERM.
VBOARD_ROOT=$ROOT "$BIN/ledblink" &
BLINK=$!
check "ledblink writes its PID" wait_for 10 pid_file_is "$BLINK"
led_changes() {
    # Counted against the wall time really spent polling, so a loaded machine
    # (slow polls) neither fails a correct blinker nor hides a fast one.
    local last seen=0 start end
    start=$(date +%s%N)
    last=$(cat "$ROOT/sys/class/gpio/gpio18/value")
    for ((i = 0; i < 30; i++)); do
        sleep 0.1
        local now
        now=$(cat "$ROOT/sys/class/gpio/gpio18/value")
        [ "$now" != "$last" ] && seen=$((seen + 1))
        last=$now
    done
    end=$(date +%s%N)
    local ms=$(((end - start) / 1000000))
    # One change a second: at least one per 2 s (a late poll may see two
    # changes as none), never more than one per elapsed second plus the edges.
    [ "$seen" -ge 1 ] && [ "$seen" -ge $((ms / 2000)) ] && [ "$seen" -le $((ms / 1000 + 1)) ]
}
check "ledblink toggles the LED once a second" led_changes
kill -TERM "$BLINK"
wait "$BLINK"
check "ledblink exits 0" test $? -eq 0
check "ledblink removes the PID file" test ! -e "$ROOT/tmp/pelora.pid"
check "LED mode changes are recorded" grep -q ' led mode=1$' "$ROOT/sim/events.log"

finish
