#!/usr/bin/env bash
# The factory test clip recorded at start-up: one marker changes nothing,
# both leave exactly "test.mp4" and its live copy, and start-up finishes in
# bounded time without a card.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
CARD=$ROOT/sim/card
VBCTL="$BIN/vbctl --timeout 20"
board_ready() { $VBCTL status >/dev/null 2>&1; }
clean_run() {  # after each run: a clean stop, no sanitizer report
    check "exit status 0" test "$STOP_STATUS" -eq 0
    check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$ROOT.out'"
}

VIDEO=$CARD/PLRMEDIA/VIDEO
mkdir -p "$VIDEO"
: >"$CARD/PLRMEDIA/testmode.conf"
start_board "$ROOT"
check "one marker: start-up goes on, nothing recorded" wait_for 60 board_ready
check "no video" eval '[ -z "$(ls "$VIDEO")" ]'
stop_board
clean_run
: >"$CARD/PLRMEDIA/autorec.conf"
printf 'old' >"$VIDEO/20200101_000000_0001_AA.MP4"
start_board "$ROOT"
check "both markers: the phone link comes up after the test clip" wait_for 120 board_ready
check "exactly test.mp4 and its live copy" eval \
    "[ \"\$(ls '$VIDEO' | sed 's/^.*_AB.MP4$/AB/' | sort | tr '\n' ' ')\" = 'AB test.mp4 ' ]"
DUR=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$VIDEO/test.mp4")
check "test.mp4 holds more than 4 s ($DUR)" awk -v d="$DUR" 'BEGIN { exit !(d > 4) }'
check "logged" grep -q 'Testmode Auto Record complete..' "$ROOT.out"
stop_board
clean_run
ROOT=$WORK/nocard
START=$(date +%s)
start_board "$ROOT" --no-card
check "no card: start-up finishes" wait_for 60 board_ready
check "in bounded time" test $(($(date +%s) - START)) -lt 60
stop_board
clean_run
finish
