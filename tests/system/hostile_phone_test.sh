#!/usr/bin/env bash
# A hostile phone against the simulated board's MAVLink link: the cases are
# the table in hostile_phone.cpp; after each one a normal client must be
# answered at once, descriptors and memory must not grow, the clock and the
# card must be unharmed. Here: the board survives it, logs the phone's text
# as printable single lines and stops cleanly.
. "$(dirname "$0")/lib.sh"

# A small sanitizer quarantine, so that resident memory measures the board
# rather than freed blocks held back for use-after-free checks.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=16"

ROOT=$WORK/board
start_board "$ROOT"
OUT=$ROOT.out
board_ready() { "$BIN/vbctl" --timeout 20 status >/dev/null 2>&1; }
check "the board answers a phone" wait_for 60 board_ready

"$BIN/hostile_phone" "$ROOT" | tee "$WORK/hostile.txt"
check "every hostile case leaves the board answering, with no growth, clock and card unharmed" \
    test "${PIPESTATUS[0]}" -eq 0

check "forged log text stays on one line" eval \
    "grep -q 'FORGED-BY-PHONE' '$OUT' && ! grep -q '^\[[0-9:.]*\]\[E\] FORGED-BY-PHONE' '$OUT'"
check "no terminal escape from the phone reaches the log" bash -c "! grep -q \$'\x1b' '$OUT'"
check "the board is still the first process" kill -0 "$(cat "$ROOT/tmp/pelora.pid")"

stop_board
check "exit status 0" test "$STOP_STATUS" -eq 0
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$OUT'"
finish
