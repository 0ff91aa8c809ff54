#!/usr/bin/env bash
# Card faults during a recording on the running simulated board: the card
# fills up, a write fails, the card is pulled and pushed straight back in.
# Each time the files written so far stay on the card and play, the phone
# hears how the recording ended and what became of the card, and the next
# recording works.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
CARD=$ROOT/sim/card
VIDEO=$CARD/PLRMEDIA/VIDEO
CARD_MIB=2048
RESERVE_MIB=300
VBCTL="$BIN/vbctl --timeout 20"
OUT=$ROOT.out

start_board "$ROOT" --card-mib $CARD_MIB
check "board up" wait_for 60 eval '$VBCTL status >/dev/null 2>&1'
check "record mode at 1080p30" eval '$VBCTL mode record >/dev/null && $VBCTL set resolution 1080p30 >/dev/null'

since_mark() { tail -n +$((MARK + 1)) "$OUT"; }
logged() { since_mark | grep -q "$1"; }
acks() { grep -o 'command=250[01] result=[0-9]*' "$WORK/$1.watch" | tr '\n' ' '; }
sd_state() { $VBCTL status 2>/dev/null | sed -n 's/^sd card: .*(\([0-9]*\)),.*/\1/p'; }
sd_free() { $VBCTL status 2>/dev/null | sed -n 's/^sd card: .* \([0-9]*\) MiB free/\1/p'; }

# Starts a recording, then listens as the phone while the fault happens.
begin() {  # begin NAME
    MARK=$(wc -l <"$OUT")
    ls "$VIDEO" 2>/dev/null >"$WORK/before.txt"
    check "$1: recording starts" wait_for 20 $VBCTL record start
    $VBCTL watch --seconds 60 >"$WORK/$1.watch" 2>&1 &
    WATCH=$!
    sleep 2
}
# Waits for the end of the recording as the phone hears it.
ended() {  # ended NAME
    wait_for 30 grep -q 'command=2501' "$WORK/$1.watch"
    sleep 1  # the card report that follows
    kill "$WATCH" 2>/dev/null
    wait "$WATCH" 2>/dev/null
}

# Every file the recording left plays in ffprobe to its last picture, and the
# virtual camera's frame numbers in it rise with none unreadable.
files_play() {  # files_play NAME
    local f frames files
    files=$(ls "$VIDEO" | grep -E '_A[AB]\.MP4$' | grep -vxF -f "$WORK/before.txt")
    check "$1: the main file and its copy are kept ($(echo $files))" \
        eval "[ $(echo "$files" | grep -c .) -ge 2 ]"
    for f in $files; do
        frames=$(ffprobe -v error -count_frames -select_streams v:0 \
            -show_entries stream=nb_read_frames -of csv=p=0 "$VIDEO/$f" 2>/dev/null)
        check "$1: $f plays (${frames:-no} pictures)" eval "[ '${frames:-0}' -gt 0 ]"
        check "$1: $f frame numbers rise" eval "'$BIN/vcam-frames' '$VIDEO/$f' 2>/dev/null >'$WORK/frames.txt' &&
            sort -n -c -u '$WORK/frames.txt' 2>/dev/null && ! grep -qx -- -1 '$WORK/frames.txt'"
    done
}

next_recording_works() {  # next_recording_works NAME
    MARK=$(wc -l <"$OUT")
    ls "$VIDEO" >"$WORK/before.txt"
    check "$1: the next recording starts" wait_for 20 $VBCTL record start
    sleep 2
    check "$1: and stops" $VBCTL record stop
    check "$1: its files are closed" wait_for 20 logged 'PLR_VPS_4K_RecStHandle rec st 0'
    files_play "$1, next recording"
}

# ---- the card fills up --------------------------------------------------------
# A file as large as all but a few MiB above the reserve (sparse on the host)
# fills the card while the recording runs.
begin "card full"
used=$(du -s --apparent-size -B1M "$CARD" | cut -f1)
truncate -s $((CARD_MIB - used - RESERVE_MIB - 12))M "$CARD/filler.bin"
ended "card full"
check "card full: the muxer ends the file" logged 'No enough SD Spaces'
check "card full: the phone hears the recording end ($(acks "card full"))" \
    grep -q 'command=2501' "$WORK/card full.watch"
check "card full: files closed, nothing left to repair" eval '[ -z "$(ls -A "$VIDEO/.journal" 2>/dev/null)" ]'
files_play "card full"
free=$(sd_free)
check "card full: the card reports ${free:-?} MiB free, the reserve or less" eval "[ '${free:-9999}' -le $RESERVE_MIB ]"
$VBCTL record start >"$WORK/full.start" 2>&1
check "card full: a start is refused ($(cat "$WORK/full.start"))" \
    grep -q 'refused record start' "$WORK/full.start"
rm -f "$CARD/filler.bin"
$VBCTL status >/dev/null 2>&1  # the phone asks for the card again
next_recording_works "card full"

# ---- a write fails --------------------------------------------------------------
begin "write error"
touch "$ROOT/sim/card-write-fail"
ended "write error"
check "write error: the muxer reports the failed write" logged 'Write Sample failed'
check "write error: the phone hears the card ended it, not 'stopped normally' ($(acks "write error"))" eval \
    "grep -qE 'command=2501 result=[1-9]' '$WORK/write error.watch' && ! grep -q 'command=2501 result=0' '$WORK/write error.watch'"
check "write error: the card is reported not writable (2)" eval '[ "$(sd_state)" = 2 ]'
$VBCTL record start >"$WORK/rw.start" 2>&1
check "write error: a start is refused ($(cat "$WORK/rw.start"))" \
    grep -q 'refused record start' "$WORK/rw.start"
# The card is taken out and put back (it works again): it mounts, and what
# the failed card kept is repaired.
rm -f "$ROOT/sim/card-write-fail"
"$BIN/vboard-sim" card eject --root "$ROOT"
"$BIN/vboard-sim" card insert --root "$ROOT"
check "write error: the card mounts again" wait_for 20 logged 'SD Card Mount Success'
check "write error: the cut files are repaired" wait_for 60 eval '[ -z "$(ls -A "$VIDEO/.journal" 2>/dev/null)" ]'
check "write error: repair reported" logged 'MP4 repaired'
files_play "write error"
check "write error: the card is ready again (0)" wait_for 10 eval '[ "$(sd_state)" = 0 ]'
next_recording_works "write error"

# ---- the card is pulled and pushed back in during the recording -------------
begin "eject"
"$BIN/vboard-sim" card eject --root "$ROOT"
"$BIN/vboard-sim" card insert --root "$ROOT"
ended "eject"
check "eject: the recording ends at once" eval "since_mark | grep -qE 'recording ended by the card|Write Sample failed'"
check "eject: the phone hears the card ended it, not 'stopped normally' ($(acks eject))" eval \
    "grep -qE 'command=2501 result=[1-9]' '$WORK/eject.watch' && ! grep -q 'command=2501 result=0' '$WORK/eject.watch'"
check "eject: the card inserted while the recording closed mounts" wait_for 20 logged 'SD Card Mount Success'
check "eject: the cut files are repaired" wait_for 60 eval '[ -z "$(ls -A "$VIDEO/.journal" 2>/dev/null)" ]'
files_play "eject"
check "eject: the card is ready (0)" wait_for 10 eval '[ "$(sd_state)" = 0 ]'
next_recording_works "eject"
check "eject: numbering starts again at 0001" eval \
    "ls '$VIDEO' | grep -vxF -f '$WORK/before.txt' | grep -q '_0001_AA.MP4'"

stop_board
check "clean stop" [ "$STOP_STATUS" -eq 0 ]
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$OUT'"
finish
