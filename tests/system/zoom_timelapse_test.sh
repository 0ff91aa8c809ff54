#!/usr/bin/env bash
# Digital zoom, video time-lapse and photo time-lapse on the simulated board,
# driven with vbctl as the phone: a 2.0x photo shows the scene at twice the
# scale, the time-lapse file holds every second key frame and ends by itself,
# and timed photos follow their countdown.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT"
OUT=$ROOT.out
VBCTL="$BIN/vbctl --timeout 20"
PIC=$ROOT/sim/card/PLRMEDIA/PIC
VIDEO=$ROOT/sim/card/PLRMEDIA/VIDEO
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link up" wait_for 60 board_ready

jpgs() { find "$PIC" -name '*.JPG' 2>/dev/null | sort; }
count_jpgs() { jpgs | wc -l; }

# Width of the scene's coarse checkerboard cells along one row of a photo
# (pixels): the median distance between the strong luma edges along the row at
# TENTHS tenths of the height. Strong means at least half the 99th percentile
# of the row's luma steps, whatever the exposure. The scene has 24 cells
# across, so an unzoomed picture shows width / 24 and a 2.0x zoom twice that.
row_cell_width() {  # row_cell_width FILE TENTHS
    ffmpeg -v error -i "$1" -vf "format=gray,crop=iw:1:0:ih*$2/10" -f rawvideo - |
        od -An -tu1 -v | tr -s ' ' '\n' | grep -v '^$' |
        awk '{ v[n++] = $1 }
             END {
                 for (x = 2; x < n - 2; x++) {
                     d = v[x + 2] - v[x - 2]; if (d < 0) d = -d
                     a[x] = d; h[d]++
                 }
                 need = (n - 4) / 100; c = 0
                 for (t = 255; t >= 0 && c < need; t--) c += h[t]
                 limit = (t + 1) / 2
                 last = -1000; m = 0
                 for (x = 2; x < n - 2; x++) {
                     if (a[x] > limit) { if (x - last > 4) e[m++] = x; last = x }
                 }
                 for (i = 1; i < m; i++) s[i - 1] = e[i] - e[i - 1]
                 k = m - 1
                 for (i = 0; i < k; i++) for (j = i + 1; j < k; j++) if (s[j] < s[i]) { t = s[i]; s[i] = s[j]; s[j] = t }
                 print (k > 0 ? s[int(k / 2)] : 0)
             }'
}

# The cell width of a photo: the median over nine rows, so that the moving
# target or the landing pad crossing a row (their sharp edges raise its
# threshold above the cells' edges) does not decide it.
cell_width() {
    local tenths
    for tenths in 1 2 3 4 5 6 7 8 9; do row_cell_width "$1" "$tenths"; done | sort -n | sed -n 5p
}
ratio_near() {  # ratio_near A B LO HI: LO <= A / B <= HI
    awk -v a="$1" -v b="$2" -v lo="$3" -v hi="$4" 'BEGIN { exit !(b > 0 && a / b >= lo && a / b <= hi) }'
}

# ---- digital zoom (photo mode) ----
check "photo at 1.0x" $VBCTL snap
check "written" wait_for 20 eval '[ "$(count_jpgs)" -eq 1 ]'
ONE=$(jpgs | tail -1)
check "vbctl zoom set 20" $VBCTL zoom set 20
check "the status report carries 2.0x" eval "$VBCTL status | grep -q 'zoom: 2.0x'"
check "photo at 2.0x" $VBCTL snap
check "written" wait_for 20 eval '[ "$(count_jpgs)" -eq 2 ]'
TWO=$(jpgs | tail -1)
W1=$(cell_width "$ONE")
W2=$(cell_width "$TWO")
check "2.0x shows the scene at twice the scale (cells $W1 -> $W2 px)" ratio_near "$W2" "$W1" 1.8 2.2
check "1.0x cells are a 24th of the width ($W1 px)" ratio_near "$W1" 160 0.9 1.1
for t in 9 31; do
    $VBCTL zoom set $t >/dev/null 2>&1
    check "zoom set $t is refused (exit 2)" test $? -eq 2
done
check "vbctl zoom set 30" $VBCTL zoom set 30
check "zoom in beyond 3.0x changes nothing" eval "$VBCTL zoom in | grep -q 'zoom: 3.0x'"
check "zoom out one step" eval "$VBCTL zoom out | grep -q 'zoom: 2.9x'"
check "back to 1.0x" $VBCTL zoom set 10

# ---- video time-lapse: interval 2, one second of finished video ----
check "record mode" $VBCTL mode record
check "720p30 keeps the minute of recording cheap" $VBCTL set resolution 720p30
check "vbctl timelapse start --interval 2 --duration 1" \
    $VBCTL timelapse start --interval 2 --duration 1
check "a _TL file is being written" wait_for 20 eval 'ls "$VIDEO" | grep -q "_TL.MP4$"'
sleep 5
check "vbctl timelapse pause" $VBCTL timelapse pause
PAUSED=$(date +%s.%N)
sleep 8
check "vbctl timelapse resume" $VBCTL timelapse resume
RESUMED=$(date +%s.%N)
# The phone hears the end by itself: PELORA_ACK item 22 with value 2 (stopped)
# and the recording's stop acknowledgement.
$VBCTL watch --seconds 90 >"$WORK/watch.txt" 2>&1 &
WATCH=$!
ended() { grep -q 'data=0,22,76,180,0,2,' "$WORK/watch.txt" && grep -q 'COMMAND_ACK.*command=2501 result=0' "$WORK/watch.txt"; }
check "the time-lapse ends by itself and the phone is told" wait_for 90 ended
kill "$WATCH" 2>/dev/null; wait "$WATCH" 2>/dev/null
check "progress notifications: frames so far of 25 (COMMAND_LONG 2003)" \
    grep -qE 'command=2003 target_system=0 target_component=22 confirmation=0 params=[0-9]+,25,' "$WORK/watch.txt"
TL=$(ls "$VIDEO"/*_TL.MP4 | head -1)
"$BIN/vcam-frames" "$TL" >"$WORK/tl.txt" 2>"$WORK/tl.err"
cat "$WORK/tl.err"
check "25 pictures: one second at 25 frames/s" test "$(wc -l <"$WORK/tl.txt")" -eq 25
# Key frames come once a second (every 30 sensor frames); every second one is
# kept, so neighbours are at least 60 frames apart, and a multiple of 60 where
# the camera lost nothing. The pause (at least 8 s, 240 frames) shows as one
# larger gap, and no picture from inside it.
gaps_ok() {
    awk 'NR > 1 { g = $1 - p; if (g < 60) bad = 1; if (g >= 240) big++ } { p = $1 }
         END { exit !(bad == 0 && big >= 1) }' "$WORK/tl.txt"
}
check "every second key frame, one gap for the pause" gaps_ok
check "playable" eval "ffprobe -v error -show_entries format=duration -of csv=p=0 '$TL' | grep -qE '^[0-9]'"
check "the muxer says complete" grep -q 'Timelapse: Complete with 25 frames' "$OUT"
check "no live-view copy left running" wait_for 20 eval "! $VBCTL status | grep -q 'recording: yes'"

# ---- photo time-lapse: countdown 3, 2, 1, 0, then a photo ----
check "photo mode" $VBCTL mode photo
check "picture mode timelapse" $VBCTL set picture-mode timelapse
BEFORE=$(count_jpgs)
# The first photo comes after the countdown 3, 2, 1, 0 and is acknowledged.
check "vbctl snap starts the timed photos" $VBCTL snap
$VBCTL watch --seconds 9 >"$WORK/snapwatch.txt" 2>&1
countdown=$(grep -o 'command=2000 target_system=0 target_component=22 confirmation=0 params=[0-9-]*' \
    "$WORK/snapwatch.txt" | sed 's/.*params=//' | tr '\n' ' ')
check "countdown notifications 3 2 1 0 ($countdown)" eval "echo ' $countdown' | grep -q ' 3 2 1 0 '"
check "a photo every four seconds" eval '[ "$(count_jpgs)" -ge $((BEFORE + 2)) ]'
NEW=$(jpgs | tail -1)
DAY=$(basename "$(dirname "$NEW")")
check "timed photos in PIC/<date>/<prefix>_<n>.JPG ($NEW)" eval \
    '[[ "$DAY" =~ ^[0-9]{8}$ ]] && [[ "$(basename "$NEW")" =~ ^${DAY}_[0-9]{6}_[0-9]{4}\.JPG$ ]]'

stop_board
check "exit status 0" test "$STOP_STATUS" -eq 0
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$OUT'"
finish
