#!/usr/bin/env bash
# Recording at 100 Mbit/s (3840 x 2160, 30 fps) on the simulated board: the
# file holds the configured bitrate within 5 %. On a card that writes only
# 8 MB/s (64 Mbit/s, less than the recording needs) the adaptive bitrate
# lowers the encoder's rate and the recorder loses no frame: nothing is
# dropped on its way to the card, the file's frame numbers rise with none
# unreadable, and the frames queued at the stop are all written.
#
# REC_SECONDS (environment, default 60) sets the length of each recording.
# (The simulated camera drops pictures itself, visibly, when a shared machine
# cannot keep real time at 4K; those gaps are counted and shown, not failed.)
. "$(dirname "$0")/lib.sh"

REC_SECONDS=${REC_SECONDS:-60}
RATE=100000000
ROOT=$WORK/board
VIDEO=$ROOT/sim/card/PLRMEDIA/VIDEO
VBCTL="$BIN/vbctl --timeout 20"
OUT=$ROOT.out
echo "recordings of $REC_SECONDS s"

since_mark() { tail -n +$((MARK + 1)) "$OUT"; }
logged() { since_mark | grep -q "$1"; }

# record NAME [vboard-sim options]: boots the board, records REC_SECONDS of
# 2160p30 and stops; MAIN is the main file's path afterwards.
record() {
    local name=$1
    shift
    rm -f "$ROOT/tmp/pelora.pid"
    start_board "$ROOT" "$@"
    OUT=$ROOT.out
    MARK=0
    check "$name: board up in record mode at 2160p30" eval \
        'wait_for 60 eval "$VBCTL status >/dev/null 2>&1" && $VBCTL mode record >/dev/null &&
         $VBCTL set resolution 2160p30 >/dev/null'
    ls "$VIDEO" 2>/dev/null >"$WORK/before.txt"
    check "$name: recording starts" $VBCTL record start
    sleep "$REC_SECONDS"
    check "$name: recording stops" $VBCTL record stop
    check "$name: files closed" wait_for 60 logged 'PLR_VPS_4K_RecStHandle rec st 0'
    MAIN=$VIDEO/$(ls "$VIDEO" | grep '_AA\.MP4$' | grep -vxF -f "$WORK/before.txt" | head -1)
    # What the camera and the recorder dropped, for the record.
    grep -E 'venc chn [0-9]+: dropping frames' "$OUT" | tail -2
    # The main file's frame numbers (decoded once: a 4K file takes a while).
    "$BIN/vcam-frames" "$MAIN" >"$WORK/frames.txt" 2>"$WORK/summary.txt"
    stop_board
}

# The stream's bitrate as ffprobe computes it (sample bytes over duration).
stream_rate() {
    ffprobe -v error -select_streams v:0 -show_entries stream=bit_rate -of csv=p=0 "$1" 2>/dev/null
}

no_frame_lost() {  # no_frame_lost NAME
    check "$1: the recorder dropped no frame" bash -c \
        "! grep -qE 'MOV frame queue full|isn.t I frame|Alloc buffer failed|frames left unwritten' '$OUT'"
    check "$1: frame numbers rise, none unreadable ($(cut -d: -f2 "$WORK/summary.txt"))" eval \
        "[ -s '$WORK/frames.txt' ] && sort -n -c -u '$WORK/frames.txt' 2>/dev/null && ! grep -qx -- -1 '$WORK/frames.txt'"
}

# ---- 100 Mbit/s on a card that keeps up ---------------------------------------
record "fast card"
rate=$(stream_rate "$MAIN")
check "fast card: $(basename "$MAIN") at ${rate:-?} bit/s, within 5 % of $RATE" \
    awk -v r="${rate:-0}" -v want=$RATE 'BEGIN { d = r - want; if (d < 0) d = -d; exit !(d <= want * 0.05) }'
no_frame_lost "fast card"

# ---- the same on a card that writes 8 MB/s ----------------------------------
cp "$OUT" "$WORK/fast.out"
record "8 MB/s card" --card-speed 8
# Only a camera that delivers more than the card takes can show the adaptation.
pictures=$(wc -l <"$WORK/frames.txt")
check "8 MB/s card: the camera delivered $pictures pictures in $REC_SECONDS s, more than the card takes at 100 Mbit/s" \
    awk -v n="$pictures" -v s="$REC_SECONDS" -v want=$RATE 'BEGIN { exit !(n / s * want / 8 / 30 > 8000000) }'
lowest=$(grep -o 'Bitrate set OK, chan:[0-9]* val:[0-9]*' "$OUT" | sed 's/.*val://' | sort -n | head -1)
check "8 MB/s card: the recorder lowers the bitrate (lowest set ${lowest:-none})" \
    awk -v r="${lowest:-$RATE}" -v want=$RATE 'BEGIN { exit !(r < want) }'
check "8 MB/s card: lowered because the queue grew" grep -q -- '-Mov queue deep' "$OUT"
rate=$(stream_rate "$MAIN")
check "8 MB/s card: the file's rate ${rate:-?} bit/s is below $RATE" \
    awk -v r="${rate:-$RATE}" -v want=$RATE 'BEGIN { exit !(r < want * 0.95) }'
no_frame_lost "8 MB/s card"

check "no sanitizer report" bash -c \
    "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$WORK/fast.out' '$OUT'"
finish
