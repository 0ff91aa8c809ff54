#!/usr/bin/env bash
# Soak test: accelerated everyday use of the simulated board for a long time,
# watching vboard's memory, descriptors and threads for growth.
#
#   soak.sh BIN_DIR OUT_DIR [MINUTES]    (run inside `unshare -rn`, as `make soak` does)
#
# One cycle of use, repeated until the time is up: a photo, an 8 s recording,
# both lists, downloads of the recording and the photo (checked against the
# card), the recording's thumbnail, a whole playback, a phone that drops its
# link and a new one, a card eject and insert, and the files deleted again.
# Every operation that fails fails the soak.
#
# A sampler writes vboard's RSS, open descriptors (and how many of them are
# the camera's media buffers) and threads every 10 s to OUT_DIR/soak.csv,
# with the loop's phase at that moment. At the end the
# samples after the warm-up (the first 10 % of the run, at most 5 minutes, and
# at least three cycles) must show one vboard process all along (a restart is
# a failure), RSS within 2 MiB and no growth of media buffers, descriptors or
# threads (the rules are given in soak_report.sh, which also plots them).
# OUT_DIR also gets soak.png (gnuplot), summary.txt, operations.log and the
# board's trace log.
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/lib.sh"

OUT_DIR=${2:?usage: $0 BIN_DIR OUT_DIR [MINUTES]}
MINUTES=${3:-60}
CYCLE_SECONDS=${SOAK_CYCLE_SECONDS:-40}   # the loop's pace: a cycle starts every 40 s at most
SAMPLE_SECONDS=10

mkdir -p "$OUT_DIR"
OUT_DIR=$(cd "$OUT_DIR" && pwd)
CSV=$OUT_DIR/soak.csv
OPLOG=$OUT_DIR/operations.log
SUMMARY=$OUT_DIR/summary.txt
rm -f "$CSV" "$OPLOG" "$SUMMARY" "$OUT_DIR/soak.png" "$OUT_DIR/board.log"

ROOT=$WORK/board
CARD=$ROOT/sim/card/PLRMEDIA
VBCTL="$BIN/vbctl --timeout 20"
PHASE_FILE=$WORK/phase
SAMPLER_PID=

soak_cleanup() {
    [ -n "$SAMPLER_PID" ] && kill "$SAMPLER_PID" 2>/dev/null && wait "$SAMPLER_PID" 2>/dev/null
    [ -f "$ROOT.out" ] && cp "$ROOT.out" "$OUT_DIR/board.log"
    cleanup
}
trap soak_cleanup EXIT
cd "$WORK" || exit 1

CYCLE=0
set_phase() { echo "$CYCLE $1" >"$PHASE_FILE.new" && mv "$PHASE_FILE.new" "$PHASE_FILE"; }

# op WHAT command...: one operation of the loop, logged; a failure is counted
# and printed at once.
op() {
    local what="cycle $CYCLE: $1"
    shift
    check "$what" "$@" >>"$OPLOG" 2>&1 || echo "FAILED: $what"
}

# sampler: every SAMPLE_SECONDS one CSV line with the vboard process named in
# the PID file; empty values when there is none.
sampler() {
    local start=$1 pid rss fds threads t
    echo "seconds,pid,rss_kb,rss_anon_kb,rss_shmem_kb,fds,media_fds,threads,cycle,phase" >"$CSV"
    while :; do
        t=$(($(date +%s) - start))
        pid=$(cat "$ROOT/tmp/pelora.pid" 2>/dev/null)
        rss=,, fds=, threads=
        if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = vboard ]; then
            rss=$(awk '/^(VmRSS|RssAnon|RssShmem):/ { v = v s $2; s = "," } END { print v }' \
                "/proc/$pid/status" 2>/dev/null)
            fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
            fds=$fds,$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 -lname '/memfd:vboard-mb*' 2>/dev/null | wc -l)
            threads=$(find "/proc/$pid/task" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
        else
            pid=
        fi
        echo "$t,$pid,$rss,$fds,$threads,$(tr ' ' ',' <"$PHASE_FILE" 2>/dev/null)" >>"$CSV"
        sleep $((SAMPLE_SECONDS - ($(date +%s) - start) % SAMPLE_SECONDS))
    done
}

newest() { ls -t "$CARD/$1" 2>/dev/null | grep -E "$2" | head -1; }
count() { find "$CARD/$1" -name "$2" 2>/dev/null | wc -l; }
closed() { ffprobe -v error -show_entries format=duration "$CARD/VIDEO/$1" >/dev/null 2>&1; }
md5() { md5sum "$1" | cut -d" " -f1; }
sd_state() { $VBCTL status 2>/dev/null | grep -i 'sd card:'; }
mounts() { grep -c 'SD Card Mount Success' "$ROOT.out"; }

# A phone that connects, says nothing and drops its link at once.
phone_drops() { exec 3<>/dev/tcp/127.0.0.1/8866 && sleep 1 && exec 3<&-; }

one_cycle() {
    local aa aa_before photo photo_path name jpgs mounted
    set_phase photo
    jpgs=$(count PIC '*.JPG')
    op "photo" $VBCTL photo
    op "a new photo on the card" wait_for 30 eval '[ "$(count PIC "*.JPG")" -gt "$jpgs" ]'
    photo_path=$(find "$CARD/PIC" -name '*.JPG' -printf '%T@ %p\n' | sort -n | tail -1 | cut -d' ' -f2)
    photo=$(basename "$photo_path")

    set_phase record
    aa_before=$(newest VIDEO '_AA\.MP4$')
    # 8 s: the live-view copy then stays above the 500 kB under which the
    # catalogue takes a video for a broken one and removes it.
    op "record 8 s" $VBCTL record start --seconds 8
    op "a new recording" wait_for 30 eval '[ "$(newest VIDEO "_AA\.MP4$")" != "$aa_before" ]'
    aa=$(newest VIDEO '_AA\.MP4$')
    op "recording $aa closed" wait_for 60 closed "$aa"

    set_phase list
    $VBCTL ls videos >"$WORK/videos.txt" 2>&1
    op "ls videos lists $aa" grep -q " $aa\$" "$WORK/videos.txt"
    $VBCTL ls photos >"$WORK/photos.txt" 2>&1
    op "ls photos lists $photo" grep -q " $photo\$" "$WORK/photos.txt"

    set_phase download
    rm -f "$WORK/dl.mp4" "$WORK/dl.jpg"
    op "get $aa" $VBCTL get "$aa" -o "$WORK/dl.mp4"
    op "download of $aa equals the card file" eval '[ "$(md5 "$WORK/dl.mp4")" = "$(md5 "$CARD/VIDEO/$aa")" ]'
    op "get $photo" $VBCTL get "$photo" -o "$WORK/dl.jpg"
    op "download of $photo equals the card file" eval '[ "$(md5 "$WORK/dl.jpg")" = "$(md5 "$photo_path")" ]'
    op "thumb $aa" $VBCTL thumb "$aa" -o "$WORK/thumb.jpg"

    set_phase playback
    $VBCTL play "$aa" -o "$WORK/play.h264" >"$WORK/play.txt" 2>&1
    op "play $aa to TRANSCOMPLETE" grep -qx "TRANSCOMPLETE:$aa" "$WORK/play.txt"

    set_phase reconnect
    op "a phone drops its link" phone_drops
    op "the next phone gets in" wait_for 30 eval '$VBCTL status >/dev/null 2>&1'

    set_phase card
    mounted=$(mounts)
    op "card eject" "$BIN/vboard-sim" card eject --root "$ROOT"
    op "the board sees no card" wait_for 30 eval '! sd_state | grep -qi ready'
    op "card insert" "$BIN/vboard-sim" card insert --root "$ROOT"
    op "the card mounts again" wait_for 30 eval '[ "$(mounts)" -gt "$mounted" ]'
    op "the board sees the card ready" wait_for 30 eval 'sd_state | grep -qi ready'

    set_phase delete
    $VBCTL ls videos >"$WORK/videos.txt" 2>&1
    $VBCTL ls photos >"$WORK/photos.txt" 2>&1
    for name in $(cut -d' ' -f2 "$WORK/videos.txt" "$WORK/photos.txt"); do
        op "rm $name" eval '[ "$($VBCTL rm "$name")" = "FREMOVED:$name" ]'
    done
    op "the card holds no media" eval '[ "$(count VIDEO "*.MP4")" -eq 0 ] && [ "$(count PIC "*.JPG")" -eq 0 ]'
    set_phase idle
}

start_board "$ROOT" --card-mib 4096 || { echo "FAILED: the board did not start"; exit 1; }
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link up" wait_for 60 board_ready || exit 1
# Full HD keeps the encoders' share of the shared CPU modest: accelerated use,
# not a load test.
check "record resolution 1080p30" $VBCTL set resolution 1080p30

START=$(date +%s)
END=$((START + MINUTES * 60))
set_phase idle
sampler "$START" &
SAMPLER_PID=$!
echo "soak: $MINUTES min from $(date -u +%H:%M:%S) UTC, one cycle every ${CYCLE_SECONDS} s or slower"
# A cycle starts only when it can end before the time is up (a cycle takes
# about 20 s on an idle machine, longer on a busy one).
while [ $(($(date +%s) + 90)) -le "$END" ] || [ "$CYCLE" -eq 0 ]; do
    CYCLE=$((CYCLE + 1))
    began=$(date +%s)
    one_cycle
    took=$(($(date +%s) - began))
    echo "cycle $CYCLE: ${took} s, $FAILED failed so far"
    rest=$((began + CYCLE_SECONDS - $(date +%s)))
    [ "$rest" -lt "$SAMPLE_SECONDS" ] && rest=$SAMPLE_SECONDS   # the board idles a while every cycle
    [ $(($(date +%s) + rest)) -gt "$END" ] && rest=$((END - $(date +%s)))
    [ "$rest" -gt 0 ] && sleep "$rest"
done
while [ "$(date +%s)" -lt "$END" ]; do sleep 1; done
sleep 1
kill "$SAMPLER_PID" 2>/dev/null
wait "$SAMPLER_PID" 2>/dev/null
SAMPLER_PID=

stop_board
check "clean shutdown (exit 0)" test "$STOP_STATUS" -eq 0

# The samples: checked and plotted (the rules are given in soak_report.sh).
bash "$HERE/soak_report.sh" "$CSV" "$OUT_DIR" "$MINUTES" | tee -a "$SUMMARY"
check "samples: one vboard all along, RSS within 2 MiB, no growth of buffers, descriptors or threads; plot" \
    test "${PIPESTATUS[0]}" -eq 0

{
    echo "operations: $(grep -c '^ok: ' "$OPLOG") ok, $(grep -c '^FAILED: ' "$OPLOG") failed, $CYCLE cycles"
    grep '^FAILED: ' "$OPLOG"
} | tee -a "$SUMMARY"
finish | tee -a "$SUMMARY"
exit "${PIPESTATUS[0]}"
