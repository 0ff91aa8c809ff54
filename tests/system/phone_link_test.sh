#!/usr/bin/env bash
# The phone link on the simulated board, driven with vbctl as the phone:
# heartbeats, recording commands and their acknowledgements, the recording
# time report, the status report, the configuration list, heartbeat loss.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT"
OUT=$ROOT.out
VBCTL="$BIN/vbctl --timeout 20"
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link accepts the phone" wait_for 60 board_ready

$VBCTL watch --seconds 3 >"$WORK/watch1.txt"
beats=$(grep -c '^[0-9:.]* HEARTBEAT sys=33(' "$WORK/watch1.txt")
check "heartbeats every 300 ms with system id 33 ($beats in 3 s)" eval '[ "$beats" -ge 8 ] && [ "$beats" -le 12 ]'
check "status report every 200 ms" eval '[ "$(grep -c "COMMAND_LONG sys=36(2>4).*command=2 .*status" "$WORK/watch1.txt")" -ge 12 ]'

$VBCTL status >"$WORK/status1.txt"
check "status decodes photo mode and a ready card" eval "grep -qi 'mode: photo' '$WORK/status1.txt' && grep -qi 'sd card: ready' '$WORK/status1.txt'"

check "record start from photo mode is acknowledged (2500, result 0)" $VBCTL record start
$VBCTL watch --seconds 3 >"$WORK/watch2.txt"
ts1s=$(grep -o 'TIMESYNC .*ts1=[0-9]*' "$WORK/watch2.txt" | grep -o 'ts1=[0-9]*' | cut -d= -f2 | tr '\n' ' ')
check "recording time report every second, counting ($ts1s)" eval '
    set -- $ts1s; [ $# -ge 2 ] && [ $# -le 4 ] && [ $(( $2 - $1 )) -eq 1 ]'
$VBCTL status >"$WORK/status2.txt"
check "status decodes record mode while recording" eval "grep -qi 'mode: record' '$WORK/status2.txt' && grep -qi 'recording: yes' '$WORK/status2.txt'" ||
    sed 's/^/    status: /' "$WORK/status2.txt"
check "record stop is acknowledged (2501)" $VBCTL record stop
check "main file and live-view copy on the card" wait_for 20 eval \
    'ls "$ROOT"/sim/card/PLRMEDIA/VIDEO/*_0001_AA.MP4 >/dev/null 2>&1 && ls "$ROOT"/sim/card/PLRMEDIA/VIDEO/*_0001_AB.MP4 >/dev/null 2>&1'
AA=$(ls "$ROOT"/sim/card/PLRMEDIA/VIDEO/*_0001_AA.MP4 | head -1)
check "the main file is 3840 x 2160 H.264" eval \
    "ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height -of csv=p=0 '$AA' | grep -qx 'h264,3840,2160'"

$VBCTL params >"$WORK/params.txt"
check "configuration list in key order" eval "LC_ALL=C sort -c '$WORK/params.txt' && grep -qx 'ModelName = Kavo Sparrow' '$WORK/params.txt'"
check "clock set by the phone" $VBCTL timesync
check "clock setting recorded, host clock untouched" grep -q ' clock-set ' "$ROOT/sim/events.log"

# A client that sends no heartbeat is dropped after 4 s and the next one gets in.
silent_client_dropped() {
    exec 3<>/dev/tcp/127.0.0.1/8866 || return 1
    local start=$SECONDS
    while IFS= read -r -t 8 -u 3 _; do :; done   # reads until the board closes
    local held=$((SECONDS - start))
    exec 3<&-
    [ "$held" -ge 3 ] && [ "$held" -le 7 ]
}
check "a silent client is dropped after about 4 s" silent_client_dropped
check "a new client connects after the drop" $VBCTL status

stop_board
check "exit status 0" test "$STOP_STATUS" -eq 0
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$OUT'"
finish
