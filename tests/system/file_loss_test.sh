#!/usr/bin/env bash
# A download through a relay that drops 5 % of the datagrams in both
# directions, acknowledgements included: the file arrives whole, with no byte
# repeated or missing.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT"
CARD=$ROOT/sim/card/PLRMEDIA
cd "$WORK" || exit 1
check "card mounted" wait_for 60 test -d "$ROOT/tmp/SD0/PLRMEDIA/VIDEO"

SIZE=$((50 * 1024 * 1024 + 12345))
head -c "$SIZE" /dev/urandom >"$CARD/VIDEO/LOSS.MP4"

"$BIN/udp-relay" --file-listen 9857 --ack-listen 9866 --loss 0.05 --seed 7 >"$WORK/relay.out" 2>&1 &
RELAY=$!
VBCTL="$BIN/vbctl --timeout 30 --file-port 9857 --ack-port 9866"
check "listed through the relay" eval "$VBCTL ls videos | grep -q ' LOSS.MP4\$'"
check "a download of 50 MB through 5 % loss completes" $VBCTL get LOSS.MP4 -o "$WORK/loss.mp4"
check "same size: nothing repeated or missing" test "$(stat -c %s "$WORK/loss.mp4")" -eq "$SIZE"
check "MD5 equals the card file's" eval \
    '[ "$(md5sum <"$WORK/loss.mp4")" = "$(md5sum <"$CARD/VIDEO/LOSS.MP4")" ]'
kill -TERM "$RELAY"
wait "$RELAY"
cat "$WORK/relay.out"
counts=$(tail -1 "$WORK/relay.out")
check "the relay dropped frames and acknowledgements" eval \
    '[[ "$counts" =~ frames\ [0-9]+\ forwarded\ ([0-9]+)\ dropped.*acks\ [0-9]+\ forwarded\ ([0-9]+)\ dropped ]] &&
     [ "${BASH_REMATCH[1]}" -gt 10 ] && [ "${BASH_REMATCH[2]}" -gt 10 ]'

stop_board
check "clean shutdown (exit 0)" test "$STOP_STATUS" -eq 0
finish
