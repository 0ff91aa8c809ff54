#!/usr/bin/env bash
# Recordings survive a board killed (SIGKILL: a pulled battery, a crash) and a
# card pulled at random moments of a recording: after the restart or the
# re-insert every MP4 on the card plays, its frame numbers rise from the start
# to within a second of the cut, and files closed cleanly before are
# byte-identical. The phone hears that the card ended the recording, and the
# next recording works and is numbered from 1 again.
#
# The board splits recordings every SPLIT_MB MiB (a few seconds); every third
# kill and every second eject falls in a split window (the file being closed
# and the next one opened): the files on both sides play and their frame
# numbers run on from one file to the next.
#
# KILLS and EJECTS (environment) set how many of each (KILLS=20 for the long
# run; each takes about a minute with the sanitizers); SEED makes the moments
# repeatable. The defaults keep the run within a few minutes.
. "$(dirname "$0")/lib.sh"

KILLS=${KILLS:-3}
EJECTS=${EJECTS:-2}
SEED=${SEED:-$$}
SPLIT_MB=${SPLIT_MB:-8}
FPS=30
echo "seed $SEED, $KILLS kills, $EJECTS ejects, a split every $SPLIT_MB MiB"

ROOT=$WORK/board
VIDEO=$ROOT/sim/card/PLRMEDIA/VIDEO
VBCTL="$BIN/vbctl --timeout 20"
board_ready() { $VBCTL status >/dev/null 2>&1; }
boot() {  # the recording set-up is not kept across a power cut: set it again
    rm -f "$ROOT/tmp/pelora.pid"
    start_board "$ROOT" --card-mib 8192 --split-mb "$SPLIT_MB"
    wait_for 60 board_ready && $VBCTL mode record >/dev/null && $VBCTL set resolution 1080p30 >/dev/null
}
# A moment in [0.2, 4.2) s; the first cut of each kind falls in the first second.
moment() { awk -v s="$SEED" -v i="$1" 'BEGIN { srand(s * 100 + i); r = rand() * 4; if (i == 1) r = r / 5; printf "%.2f", 0.2 + r }'; }
# A moment in [0, 0.3) s after a split began: the file is being closed and the next opened.
split_moment() { awk -v s="$SEED" -v i="$1" 'BEGIN { srand(s * 100 + i + 50); printf "%.2f", rand() * 0.3 }'; }
# Every third kill and every second eject falls in a split window.
in_split_window() {
    case $1 in
        kill) [ $(($2 % 3)) -eq 0 ] ;;
        *) [ $(($2 % 2)) -eq 0 ] ;;
    esac
}
# Cuts the recording ($1: kill or eject, $2: its number) at its moment: in a
# split window, or after a random time.
cut_recording() {
    if in_split_window "$1" "$2"; then
        wait_for 30 eval "tail -n +$MARK '$OUT' | grep -q 'too large,split!'" ||
            check "$1 $2: the recording splits" false
        sleep "$(split_moment "$2")"
    else
        sleep "$(moment "$2")"
    fi
    if [ "$1" = kill ]; then
        kill -KILL "$(cat "$ROOT/tmp/pelora.pid")"
    else
        "$BIN/vboard-sim" card eject --root "$ROOT"
    fi
}
journals() { ls -A "$VIDEO/.journal" 2>/dev/null; }
# Files closed cleanly: every MP4 without a journal.
clean_files() {
    (cd "$VIDEO" 2>/dev/null && for f in *.MP4; do
        [ -e "$f" ] && [ ! -e ".journal/$f.jnl" ] && md5sum "$f"
    done) >"$WORK/clean.md5"
}

# Every MP4 plays and its frame numbers rise from picture to picture with
# none unreadable; the main files of the last recording (split or not) follow
# each other and together span it up to within a second of the cut. (Gaps are
# counted and shown: the simulated camera drops frames itself, visibly, when
# a shared machine cannot keep real time.)
check_card() {  # check_card WHAT SECONDS_RECORDED
    local what=$1 seconds=$2 f span files
    check "$what: no file left to repair" wait_for 60 eval '[ -z "$(journals)" ]'
    check "$what: files closed before are unchanged" eval \
        "[ ! -s '$WORK/clean.md5' ] || (cd '$VIDEO' && md5sum --quiet -c '$WORK/clean.md5')"
    for f in "$VIDEO"/*.MP4; do
        if ! "$BIN/vcam-frames" "$f" >"$WORK/frames.txt" 2>"$WORK/summary.txt" ||
            ! sort -n -c -u "$WORK/frames.txt" 2>/dev/null || grep -qx -- -1 "$WORK/frames.txt"; then
            check "$what: $(basename "$f") plays, numbers rising ($(cat "$WORK/summary.txt"))" false
        fi
    done
    # The recording's main files, in the order they were written.
    files=$(cd "$VIDEO" && ls ./*_AA.MP4 | sed 's|^\./||' | grep -vxF -f "$WORK/before.txt")
    : >"$WORK/frames.txt"
    : >"$WORK/joins.txt"
    for f in $files; do
        "$BIN/vcam-frames" "$VIDEO/$f" >"$WORK/one.txt" 2>/dev/null
        [ -s "$WORK/frames.txt" ] && [ -s "$WORK/one.txt" ] &&
            echo "$(tail -1 "$WORK/frames.txt") $(head -1 "$WORK/one.txt")" >>"$WORK/joins.txt"
        cat "$WORK/one.txt" >>"$WORK/frames.txt"
    done
    check "$what: the recording's $(echo $files | wc -w) main files follow each other (joins: $(tr '\n' ',' <"$WORK/joins.txt"))" \
        eval "sort -n -c -u '$WORK/frames.txt' 2>/dev/null && awk -v fps=$FPS '\$2 - \$1 > fps { exit 1 }' '$WORK/joins.txt'"
    span=$(awk 'NR == 1 { first = $1 } { last = $1 } END { print last - first + 1 }' "$WORK/frames.txt")
    check "$what: the recording spans $span frames of ${seconds}s" \
        awk -v n="$span" -v s="$seconds" -v fps=$FPS 'BEGIN { exit !(n >= (s - 1) * fps) }'
}

check "board up in record mode at 1080p30" boot
OUT=$ROOT.out

list_main_files() { (cd "$VIDEO" 2>/dev/null && ls ./*_AA.MP4 2>/dev/null | sed 's|^\./||') >"$WORK/before.txt"; }

for ((n = 1; n <= KILLS; n++)); do
    list_main_files
    MARK=$(wc -l <"$OUT")
    wait_for 20 $VBCTL record start || check "kill $n: recording starts" false
    started=$(date +%s.%N)
    cut_recording kill "$n"
    seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
    # What the cut left: files closed cleanly must stay as they are, the others get repaired.
    clean_files
    cut=$(journals)
    stop_board
    boot
    in_split_window kill "$n" && where="in a split window, " || where=
    check "kill $n ${where}after ${seconds}s: board back" board_ready
    [ -z "$cut" ] || check "kill $n: repair reported" wait_for 60 eval "grep -qE 'MP4 (repaired|without samples removed)' '$OUT'"
    check_card "kill $n" "$seconds"
done

for ((n = 1; n <= EJECTS; n++)); do
    list_main_files
    MARK=$(wc -l <"$OUT")
    wait_for 20 $VBCTL record start || check "eject $n: recording starts" false
    started=$(date +%s.%N)
    $VBCTL watch --seconds 12 >"$WORK/watch.txt" 2>&1 &
    WATCH=$!
    cut_recording eject "$n"
    seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
    clean_files
    in_split_window eject "$n" && where="in a split window, " || where=
    check "eject $n ${where}after ${seconds}s: the recording ends at once" wait_for 20 eval \
        "tail -n +$MARK '$OUT' | grep -qE 'recording ended by the card|Write Sample failed'"
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
list_main_files
clean_files
check "record start after all that" $VBCTL record start
sleep 2
check "record stop" $VBCTL record stop
check "numbered _0001 after the re-insert" wait_for 10 eval \
    "ls '$VIDEO' | grep _AA.MP4 | grep -vxF -f '$WORK/before.txt' | head -1 | grep -q '_0001_AA.MP4'"
check_card "last recording" 2

stop_board
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$ROOT.out'"
finish
