#!/usr/bin/env bash
# Soak test: accelerated everyday use of the simulated board for a long time,
# watching vboard's memory, descriptors and threads for growth.
#
#   soak.sh BIN_DIR OUT_DIR [MINUTES]    (run inside `unshare -rn`, as `make soak` does)
#
# One cycle of use, repeated until the time is up: a photo, a short recording,
# both lists, downloads of the recording and the photo (checked against the
# card), the recording's thumbnail, a whole playback, a phone that drops its
# link and a new one, a card eject and insert, and the files deleted again.
# Every operation that fails fails the soak.
#
# A sampler writes vboard's RSS, open descriptors and threads every 10 s to
# OUT_DIR/soak.csv, with the loop's phase at that moment. At the end the
# samples after the warm-up (the first 10 % of the run, at most 5 minutes, and
# at least three cycles) must show one vboard process all along (a restart is
# a failure), RSS within 2 MiB and no descriptor or thread growth (the rules
# are given at the check below).
# OUT_DIR also gets soak.png (gnuplot), summary.txt, operations.log and the
# board's trace log.
. "$(dirname "$0")/lib.sh"

OUT_DIR=${2:?usage: $0 BIN_DIR OUT_DIR [MINUTES]}
MINUTES=${3:-60}
CYCLE_SECONDS=${SOAK_CYCLE_SECONDS:-40}   # the loop's pace: a cycle starts every 40 s at most
SAMPLE_SECONDS=10
RSS_LIMIT_KB=2048

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
    echo "seconds,pid,rss_kb,rss_anon_kb,rss_shmem_kb,fds,threads,cycle,phase" >"$CSV"
    while :; do
        t=$(($(date +%s) - start))
        pid=$(cat "$ROOT/tmp/pelora.pid" 2>/dev/null)
        rss=,, fds= threads=
        if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = vboard ]; then
            rss=$(awk '/^(VmRSS|RssAnon|RssShmem):/ { v = v s $2; s = "," } END { print v }' \
                "/proc/$pid/status" 2>/dev/null)
            fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
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
    op "record 5 s" $VBCTL record start --seconds 5
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

# What the samples must show after the warm-up: the first 10 % of the run (at
# most 5 minutes) and at least the first WARMUP_CYCLES cycles, in which the
# camera's photo and record paths fill their buffer rings on first use:
# - every sample names the same vboard process (a restart or a missing board
#   is a failure);
# - RSS: the samples taken while the loop was idle between cycles (a sample
#   in the middle of a recording or a download also holds that operation's
#   working buffers, which come and go) are split into thirds of the run, and
#   the three medians must lie within 2 MiB (max - min). Idle samples still
#   differ by a picture buffer of the camera's pool now and then (12 MiB at
#   3840 x 2160) and by a few MiB of heap; the median of a third sees through
#   those swings, while a leak of 2 MiB over the run moves it. The plain
#   max - min of the idle samples is reported beside it;
# - descriptors and threads: no growth of the baseline, i.e. the lowest count
#   in the last third of the samples is not above the lowest count in the
#   first third. Counts also move for a moment without any leak (a timer
#   expiry runs on a thread of its own, the phone link renews its listening
#   socket while nobody is connected); a leaked descriptor or thread stays and
#   lifts every later sample, the lowest ones too. The highest counts are
#   reported beside them.
WARMUP=$((MINUTES * 6))
[ "$WARMUP" -gt 300 ] && WARMUP=300
WARMUP_CYCLES=3
awk -F, -v warm="$WARMUP" -v cycles="$WARMUP_CYCLES" -v limit="$RSS_LIMIT_KB" -v minutes="$MINUTES" '
    NR == 1 { next }
    {
        n++
        if ($2 == "") { gone = gone " " $1 "s"; next }
        if (pid == "") pid = $2
        if ($2 != pid) { restarts = restarts " " $1 "s(pid " $2 ")"; pid = $2 }
        if ($1 < warm || $8 <= cycles) next
        m++; fd[m] = $6; th[m] = $7
        if ($9 == "idle") {
            idle[++k] = $3
            if (k == 1 || $3 < rmin) rmin = $3
            if (k == 1 || $3 > rmax) rmax = $3
        }
        if (m == 1 || $3 < amin) amin = $3
        if (m == 1 || $3 > amax) amax = $3
    }
    function lo(a, from, to,   i, x) { x = a[from]; for (i = from; i <= to; i++) if (a[i] < x) x = a[i]; return x }
    function hi(a, from, to,   i, x) { x = a[from]; for (i = from; i <= to; i++) if (a[i] > x) x = a[i]; return x }
    function median(a, from, to,   i, j, v, n, b) {
        n = 0
        for (i = from; i <= to; i++) {
            v = a[i]
            for (j = ++n; j > 1 && b[j - 1] > v; j--) b[j] = b[j - 1]
            b[j] = v
        }
        return n % 2 ? b[(n + 1) / 2] : int((b[n / 2] + b[n / 2 + 1]) / 2)
    }
    END {
        bad = 0
        printf "samples: %d over %d min, %d after the warm-up (%d s and %d cycles), %d of them idle\n", n, minutes, m, warm, cycles, k
        if (gone != "") { print "FAILED: no vboard process at" gone; bad = 1 }
        if (restarts != "") { print "FAILED: vboard restarted at" restarts; bad = 1 }
        if (m < 3 || k < 3) { print "FAILED: too few samples after the warm-up"; exit 1 }
        q = int(k / 3)
        m1 = median(idle, 1, q); m2 = median(idle, q + 1, k - q); m3 = median(idle, k - q + 1, k)
        mlo = m1 < m2 ? m1 : m2; mlo = m3 < mlo ? m3 : mlo
        mhi = m1 > m2 ? m1 : m2; mhi = m3 > mhi ? m3 : mhi
        printf "RSS, medians of the idle samples in each third: %d, %d, %d kB, spread %d kB (limit %d kB)\n", m1, m2, m3, mhi - mlo, limit
        printf "RSS, idle samples: %d..%d kB (spread %d kB); all samples: %d..%d kB\n", rmin, rmax, rmax - rmin, amin, amax
        if (mhi - mlo > limit) { print "FAILED: RSS moves by more than the limit"; bad = 1 }
        t = int(m / 3); last = m - t + 1
        printf "descriptors, lowest (highest) in the first and last third: %d (%d), %d (%d)\n", lo(fd, 1, t), hi(fd, 1, t), lo(fd, last, m), hi(fd, last, m)
        printf "threads, lowest (highest) in the first and last third: %d (%d), %d (%d)\n", lo(th, 1, t), hi(th, 1, t), lo(th, last, m), hi(th, last, m)
        if (lo(fd, last, m) > lo(fd, 1, t)) { print "FAILED: descriptors grow"; bad = 1 }
        if (lo(th, last, m) > lo(th, 1, t)) { print "FAILED: threads grow"; bad = 1 }
        exit bad
    }' "$CSV" | tee -a "$SUMMARY"
check "samples: one vboard all along, RSS within 2 MiB, descriptors and threads flat" \
    test "${PIPESTATUS[0]}" -eq 0

# The plot: RSS, descriptors and threads over the run, the warm-up shaded.
WARM_END=$(awk -F, -v w="$WARMUP" -v c="$WARMUP_CYCLES" 'NR > 1 && $1 >= w && $8 > c { print $1; exit }' "$CSV")
if command -v gnuplot >/dev/null; then
    gnuplot <<PLOT
set terminal pngcairo size 1000,900 font ",10"
set output "$OUT_DIR/soak.png"
set datafile separator ","
set key autotitle columnhead
set multiplot layout 3,1 title "vboard soak test, $MINUTES min: cycles of record, photo, list, download, playback, reconnect, card eject and insert"
set xlabel "minutes"
set grid
set object 1 rectangle from 0, graph 0 to ${WARM_END:-$WARMUP} / 60.0, graph 1 behind fillcolor rgb "#e8e8e8" fillstyle solid 1.0 noborder
set ylabel "RSS (MiB)"
plot "$CSV" using (\$1/60):(\$3/1024) with linespoints pointtype 7 pointsize 0.4 title "RSS", \
     "$CSV" using (\$1/60):(stringcolumn(9) eq "idle" ? \$3/1024 : 1/0) with points pointtype 7 pointsize 0.8 title "RSS, loop idle", \
     "$CSV" using (\$1/60):(\$4/1024) with lines title "anonymous", \
     "$CSV" using (\$1/60):(\$5/1024) with lines title "shared (media buffers)"
set ylabel "open descriptors"
plot "$CSV" using (\$1/60):6 with linespoints pointtype 7 pointsize 0.4 title "descriptors"
set ylabel "threads"
plot "$CSV" using (\$1/60):7 with linespoints pointtype 7 pointsize 0.4 title "threads"
unset multiplot
PLOT
    check "plot written" test -s "$OUT_DIR/soak.png"
else
    check "gnuplot installed (scripts/install-deps.sh soak)" false
fi

{
    echo "operations: $(grep -c '^ok: ' "$OPLOG") ok, $(grep -c '^FAILED: ' "$OPLOG") failed, $CYCLE cycles"
    grep '^FAILED: ' "$OPLOG"
} | tee -a "$SUMMARY"
finish | tee -a "$SUMMARY"
exit "${PIPESTATUS[0]}"
