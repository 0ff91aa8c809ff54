#!/usr/bin/env bash
# Recordings survive a board killed (SIGKILL: a pulled battery, a crash) and a
# card pulled at random moments of a recording: after the restart or the
# re-insert every MP4 on the card plays, its frame numbers rise from the start
# to within a second of the cut, and files closed cleanly before are
# byte-identical. The phone hears that the card ended the recording, and the
# next recording works and is numbered from 1 again.
#
# KILLS and EJECTS (environment) set how many of each (KILLS=20 for the long
# run; each takes about a minute with the sanitizers); SEED makes the moments
# repeatable. The defaults keep the run within a few minutes.
. "$(dirname "$0")/lib.sh"

KILLS=${KILLS:-3}
EJECTS=${EJECTS:-2}
SEED=${SEED:-$$}
FPS=30
echo "seed $SEED, $KILLS kills, $EJECTS ejects"

ROOT=$WORK/board
VIDEO=$ROOT/sim/card/PLRMEDIA/VIDEO
VBCTL="$BIN/vbctl --timeout 20"
board_ready() { $VBCTL status >/dev/null 2>&1; }
boot() {  # the recording set-up is not kept across a power cut: set it again
    rm -f "$ROOT/tmp/pelora.pid"
    start_board "$ROOT" --card-mib 8192
    wait_for 60 board_ready && $VBCTL mode record >/dev/null && $VBCTL set resolution 1080p30 >/dev/null
}
# A moment in [0.2, 4.2) s; the first cut of each kind falls in the first second.
moment() { awk -v s="$SEED" -v i="$1" 'BEGIN { srand(s * 100 + i); r = rand() * 4; if (i == 1) r = r / 5; printf "%.2f", 0.2 + r }'; }
journals() { ls -A "$VIDEO/.journal" 2>/dev/null; }
clean_files() { (cd "$VIDEO" && ls ./*.MP4 2>/dev/null | xargs -r md5sum) >"$WORK/clean.md5"; }

# Every MP4 plays and its frame numbers rise from picture to picture with
# none unreadable; the newest main file spans the recording up to within a
# second of the cut. (Gaps are counted and shown: the simulated camera drops
# frames itself, visibly, when a shared machine cannot keep real time.)
check_card() {  # check_card WHAT SECONDS_RECORDED
    local what=$1 seconds=$2 f span newest
    check "$what: no file left to repair" wait_for 60 eval '[ -z "$(journals)" ]'
    check "$what: files closed before are unchanged" eval \
        "[ ! -s '$WORK/clean.md5' ] || (cd '$VIDEO' && md5sum --quiet -c '$WORK/clean.md5')"
    for f in "$VIDEO"/*.MP4; do
        if ! "$BIN/vcam-frames" "$f" >"$WORK/frames.txt" 2>"$WORK/summary.txt" ||
            ! sort -n -c -u "$WORK/frames.txt" 2>/dev/null || grep -qx -- -1 "$WORK/frames.txt"; then
            check "$what: $(basename "$f") plays, numbers rising ($(cat "$WORK/summary.txt"))" false
        fi
    done
    newest=$(ls -t "$VIDEO"/*_AA.MP4 | head -1)
    "$BIN/vcam-frames" "$newest" >"$WORK/frames.txt" 2>"$WORK/summary.txt"
    span=$(awk 'NR == 1 { first = $1 } { last = $1 } END { print last - first + 1 }' "$WORK/frames.txt")
    check "$what: $(basename "$newest") spans $span frames of ${seconds}s ($(cut -d: -f2 "$WORK/summary.txt"))" \
        awk -v n="$span" -v s="$seconds" -v fps=$FPS 'BEGIN { exit !(n >= (s - 1) * fps) }'
}

check "board up in record mode at 1080p30" boot
OUT=$ROOT.out

for ((n = 1; n <= KILLS; n++)); do
    clean_files
    wait_for 20 $VBCTL record start || check "kill $n: recording starts" false
    started=$(date +%s.%N)
    sleep "$(moment "$n")"
    kill -KILL "$(cat "$ROOT/tmp/pelora.pid")"
    seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
    stop_board
    boot
    check "kill $n after ${seconds}s: board back" board_ready
    check "kill $n: repair reported" wait_for 60 eval "grep -qE 'MP4 (repaired|without samples removed)' '$OUT'"
    check_card "kill $n" "$seconds"
done

for ((n = 1; n <= EJECTS; n++)); do
    clean_files
    MARK=$(wc -l <"$OUT")
    wait_for 20 $VBCTL record start || check "eject $n: recording starts" false
    started=$(date +%s.%N)
    $VBCTL watch --seconds 12 >"$WORK/watch.txt" 2>&1 &
    WATCH=$!
    sleep "$(moment "$n")"
    "$BIN/vboard-sim" card eject --root "$ROOT"
    seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
    check "eject $n after ${seconds}s: the recording ends at once" wait_for 20 eval \
        "tail -n +$MARK '$OUT' | grep -q 'recording ended by the card'"
    wait "$WATCH"
    check "eject $n: the phone is told the card ended it, never 'stopped normally' ($(grep -o 'command=2501 result=[0-9]*' "$WORK/watch.txt" | tr '\n' ' '))" eval \
        "grep -qE 'command=2501 result=[1-9]' '$WORK/watch.txt' && ! grep -q 'command=2501 result=0' '$WORK/watch.txt'"
    wait_for 20 eval "tail -n +$MARK '$OUT' | grep -q 'PLR_VPS_4K_RecStHandle rec st 0'"
    "$BIN/vboard-sim" card insert --root "$ROOT"
    check "eject $n: the card mounts again" wait_for 20 eval \
        "tail -n +$MARK '$OUT' | grep -q 'SD Card Mount Success'"
    check_card "eject $n" "$seconds"
done

# The next recording works, and is numbered from 1 again after the re-insert.
check "record start after all that" $VBCTL record start
sleep 2
check "record stop" $VBCTL record stop
check "numbered _0001 after the re-insert" wait_for 10 eval \
    "ls -t '$VIDEO' | grep _AA.MP4 | head -1 | grep -q '_0001_AA.MP4'"
check_card "last recording" 2

stop_board
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$ROOT.out'"
finish
