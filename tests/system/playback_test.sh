#!/usr/bin/env bash
# Playback of a recording on the simulated board, driven with vbctl as the
# phone drives it: play from 3 s answers TIME:3000 and streams from the key
# frame at or before 3 s with consecutive frame numbers; a whole play ends with
# TRANSCOMPLETE and every frame of the file; on a terminal, pause holds the
# data, play resumes it and a seek restarts with a new TIME answer.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT"
OUT=$ROOT.out
VBCTL="$BIN/vbctl --timeout 20"
CARD=$ROOT/sim/card/PLRMEDIA
cd "$WORK" || exit 1
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link up" wait_for 60 board_ready
check "card mounted" wait_for 60 grep -q 'SD Card Mount Success' "$OUT"

check "a recording of 10 s" $VBCTL record start --seconds 10
closed() { ls "$CARD"/VIDEO/*_AA.MP4 >/dev/null 2>&1 &&
    ffprobe -v error -show_entries format=duration "$(ls "$CARD"/VIDEO/*_AA.MP4 | head -1)" >/dev/null 2>&1; }
check "the recording is closed" wait_for 60 closed
sleep 1
AA=$(basename "$(ls "$CARD"/VIDEO/*_AA.MP4 | head -1)")
check "listed" eval "$VBCTL ls videos | grep -q ' $AA\$'"

# The card file: frame numbers of its pictures, and its samples (pts, flags).
"$BIN/vcam-frames" "$CARD/VIDEO/$AA" >"$WORK/card.frames" 2>/dev/null
ffprobe -v error -select_streams v:0 -show_entries packet=pts,flags -of csv=p=0 \
    "$CARD/VIDEO/$AA" >"$WORK/card.packets"
N=$(wc -l <"$WORK/card.frames")
echo "    $AA: $N pictures, $(wc -l <"$WORK/card.packets") samples"
check "one picture per sample" test "$N" -eq "$(wc -l <"$WORK/card.packets")"

# Play from 3 s to the end.
$VBCTL play "$AA" --seek 3000 -o "$WORK/seek.h264" >"$WORK/seek.txt" 2>"$WORK/seek.err"
check "play --seek 3000 ends at TRANSCOMPLETE" grep -qx "TRANSCOMPLETE:$AA" "$WORK/seek.txt" ||
    sed 's/^/    play: /' "$WORK/seek.txt" "$WORK/seek.err"
TIME=$(grep '^TIME:' "$WORK/seek.txt" | head -1)
echo "    $TIME"
check "the TIME answer is TIME:3000 with the track's time scale" eval \
    '[[ "$TIME" =~ ^TIME:3000\;SCALE:([0-9]+)$ ]] && [ "${BASH_REMATCH[1]}" -gt 0 ]'
SCALE=${TIME##*SCALE:}
# The sync sample at or before 3 s: the last key sample with pts <= 3 * scale.
KEY=$(awk -F, -v lim=$((3 * SCALE)) '$1 <= lim && $2 ~ /K/ { k = NR - 1 } END { print k }' \
    "$WORK/card.packets")
"$BIN/vcam-frames" "$WORK/seek.h264" >"$WORK/seek.frames" 2>"$WORK/seek.summary"
cat "$WORK/seek.summary"
FIRST=$(head -1 "$WORK/seek.frames")
WANT=$(sed -n "$((KEY + 1))p" "$WORK/card.frames")
check "the stream decodes; first frame $FIRST is that of key sample $KEY ($WANT)" eval \
    '[ -n "$FIRST" ] && [ "$FIRST" -ge 0 ] && [ "$FIRST" = "$WANT" ]'
# The simulated camera drops pictures when the machine is busy, so the card
# file's own numbers may jump; the stream must hold the file's pictures from
# the key sample on, in order, none missing.
check "frame numbers consecutive after it: the file's from key sample $KEY on ($((N - KEY)))" \
    eval 'tail -n +$((KEY + 1)) "$WORK/card.frames" | cmp -s - "$WORK/seek.frames"'
check "no unreadable pictures" grep -q ' 0 unreadable' "$WORK/seek.summary"

# Play the whole file.
$VBCTL play "$AA" -o "$WORK/all.h264" >"$WORK/all.txt" 2>&1
check "a whole play: TIME:0, then TRANSCOMPLETE" eval \
    'grep -q "^TIME:0;SCALE:$SCALE\$" "$WORK/all.txt" && grep -qx "TRANSCOMPLETE:$AA" "$WORK/all.txt"'
"$BIN/vcam-frames" "$WORK/all.h264" >"$WORK/all.frames" 2>/dev/null
check "as many frames as the file has ($N), the same numbers" cmp -s "$WORK/all.frames" "$WORK/card.frames"

# --seconds: the play is canceled.
check "play --seconds 0 stops at once (cancel)" eval \
    '$VBCTL play "$AA" --seconds 0 -o "$WORK/none.h264" | grep -q "(stopped)"'

# Pause, play and seek on a terminal, over a longer file (the recording
# repeated) so that the stream lasts.
ffmpeg -v error -stream_loop 30 -i "$CARD/VIDEO/$AA" -c copy -y "$CARD/VIDEO/LONG.MP4"
check "a long file listed" eval "$VBCTL ls videos | grep -q ' LONG.MP4\$'"
size() { stat -c %s "$WORK/long.h264" 2>/dev/null || echo 0; }
mkfifo "$WORK/keys"
script -qfec "$BIN/vbctl --timeout 20 play LONG.MP4 --seconds 60 -o $WORK/long.h264" /dev/null \
    <"$WORK/keys" >"$WORK/long.txt" 2>&1 &
PLAY=$!
exec 7>"$WORK/keys"
check "long play: data flows" wait_for 20 eval '[ "$(size)" -gt 1000000 ]'
printf ' ' >&7
sleep 1
S1=$(size)
sleep 2
S2=$(size)
check "pause: no data after a second ($S1 -> $S2 bytes)" test "$S1" -eq "$S2"
printf ' ' >&7
check "play again: data flows" wait_for 10 eval '[ "$(size)" -gt "$S2" ]'
printf '\033[C' >&7
check "a seek while playing: a second TIME answer" wait_for 10 eval \
    '[ "$(grep -c "^TIME:" "$WORK/long.txt")" -ge 2 ]'
sed 's/^/    play: /' "$WORK/long.txt" | tr -d '\r' | head -8
exec 7>&-
kill -INT "$PLAY" 2>/dev/null
wait "$PLAY" 2>/dev/null
check "the board logged pause, play and seek" eval \
    'grep -q "handle file pause" "$OUT" && grep -q "handle file play:" "$OUT" && grep -q "handle file seek" "$OUT"'

stop_board
check "clean shutdown (exit 0)" test "$STOP_STATUS" -eq 0
finish
