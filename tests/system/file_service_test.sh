#!/usr/bin/env bash
# The media file service on the simulated board, driven with vbctl as the
# phone drives it: lists, information, downloads (whole and resumed),
# thumbnails, deletion, a download canceled by a new request, and names that
# are not in the catalogue.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT"
OUT=$ROOT.out
VBCTL="$BIN/vbctl --timeout 20"
CARD=$ROOT/sim/card/PLRMEDIA
cd "$WORK" || exit 1
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link up" wait_for 60 board_ready

# Two photos and a recording of a few seconds.
count_jpgs() { find "$CARD/PIC" -name '*.JPG' 2>/dev/null | wc -l; }
$VBCTL snap >/dev/null
wait_for 20 eval '[ "$(count_jpgs)" -ge 1 ]'
$VBCTL snap >/dev/null
check "two photos on the card" wait_for 20 eval '[ "$(count_jpgs)" -eq 2 ]'
check "a recording of 4 s" $VBCTL record start --seconds 4
check "the recording's files are closed" wait_for 30 eval \
    'ls "$CARD"/VIDEO/*_AA.MP4 >/dev/null 2>&1 && ls "$CARD"/VIDEO/*_AB.MP4 >/dev/null 2>&1 && ! grep -q "still writing" /dev/null'
sleep 2
AA=$(basename "$(ls "$CARD"/VIDEO/*_AA.MP4 | head -1)")

# Lists: PARAM_ID NAME, with the card's names.
$VBCTL ls videos >"$WORK/videos.txt"
check "ls videos: VIDEO1..n with the card's names" eval '
    [ "$(cut -d" " -f2 "$WORK/videos.txt" | sort)" = "$(ls "$CARD/VIDEO" | sort)" ] &&
    [ "$(cut -d" " -f1 "$WORK/videos.txt" | tr "\n" " ")" = "$(seq -f "VIDEO%g" 1 "$(ls "$CARD/VIDEO" | wc -l)" | tr "\n" " ")" ]' ||
    sed 's/^/    ls: /' "$WORK/videos.txt"
$VBCTL ls photos >"$WORK/photos.txt"
check "ls photos: PIC1 and PIC2 with the card's names" eval '
    [ "$(cut -d" " -f2 "$WORK/photos.txt" | sort)" = "$(find "$CARD/PIC" -name "*.JPG" -printf "%f\n" | sort)" ] &&
    [ "$(cut -d" " -f1 "$WORK/photos.txt" | tr "\n" " ")" = "PIC1 PIC2 " ]' ||
    sed 's/^/    ls: /' "$WORK/photos.txt"

# Information against ffprobe.
INFO=$($VBCTL info "$AA")
echo "    info: $INFO"
probe() { ffprobe -v error -select_streams v:0 -show_entries "$1" -of csv=p=0 "$CARD/VIDEO/$AA"; }
DUR=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$CARD/VIDEO/$AA" |
    awk '{ printf "%d", $1 + 0.005 }')
WH=$(probe stream=width,height)
check "info: FSIZE, DUR, FNAME, WIDTH, HEIGHT match the file" eval \
    '[ "$INFO" = "FSIZE:$(stat -c %s "$CARD/VIDEO/$AA");DUR:$DUR;FNAME:$AA;WIDTH:${WH%,*};HEIGHT:${WH#*,}" ]'

# Downloads: whole, and resumed from the middle of a partial file.
md5() { md5sum "$1" | cut -d" " -f1; }
check "get: the recording's bytes" $VBCTL get "$AA" -o "$WORK/aa.mp4"
check "get: MD5 equals the card file's" eval '[ "$(md5 "$WORK/aa.mp4")" = "$(md5 "$CARD/VIDEO/$AA")" ]'
HALF=$(( $(stat -c %s "$CARD/VIDEO/$AA") / 2 + 12345 ))
head -c "$HALF" "$CARD/VIDEO/$AA" >"$WORK/resumed.mp4"
check "get --offset resumes" $VBCTL get "$AA" -o "$WORK/resumed.mp4" --offset "$HALF"
check "resumed: MD5 equals the card file's" eval '[ "$(md5 "$WORK/resumed.mp4")" = "$(md5 "$CARD/VIDEO/$AA")" ]'
PHOTO=$(cut -d" " -f2 "$WORK/photos.txt" | head -1)
check "get of a photo" $VBCTL get "$PHOTO" -o "$WORK/photo.jpg"
check "photo: MD5 equals the card file's" eval \
    '[ "$(md5 "$WORK/photo.jpg")" = "$(md5 "$(find "$CARD/PIC" -name "$PHOTO")")" ]'

# Thumbnail: made on request, a 160 x 90 JPEG of the first key frame.
check "thumb: made and downloaded" $VBCTL thumb "$AA" -o "$WORK/thumb.jpg"
check "thumb: a 160 x 90 JPEG" eval \
    "ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 '$WORK/thumb.jpg' | grep -qx 'mjpeg,160,90'"
THUMB=${AA%.*}_v.JPG
check "thumb: kept on the card as THUMB/$THUMB" test -s "$CARD/THUMB/$THUMB"
FRAME=$("$BIN/vcam-frames" "$WORK/thumb.jpg" 2>/dev/null | head -1)
check "thumb: shows the virtual camera's frame number of the first key frame ($FRAME)" eval \
    '[ -n "$FRAME" ] && [ "$FRAME" -ge 0 ] && [ "$FRAME" = "$("$BIN/vcam-frames" "$CARD/VIDEO/$AA" 2>/dev/null | head -1)" ]'
check "thumb again: served from the card" $VBCTL thumb "$AA" -o "$WORK/thumb2.jpg"
check "thumb again: same bytes" cmp -s "$WORK/thumb.jpg" "$WORK/thumb2.jpg"

# A request of another phone stops a running download; the download's own
# phone hears TRANSCANCELED and resumes with --offset. The first phone
# downloads through a relay with 5 % loss (so that the download lasts) and
# holds still (SIGSTOP) while the second one asks: the download cannot end
# by itself meanwhile.
head -c 60000000 /dev/urandom >"$CARD/VIDEO/BIG.MP4"
check "a file copied to the card is listed after a list request" eval "$VBCTL ls videos | grep -q ' BIG.MP4\$'"
"$BIN/udp-relay" --file-listen 9857 --ack-listen 9866 --loss 0.05 --seed 3 >"$WORK/relay.out" 2>&1 &
RELAY=$!
$BIN/vbctl --timeout 10 --file-port 9857 --ack-port 9866 get BIG.MP4 -o "$WORK/big.part" \
    2>"$WORK/big.err" &
GET=$!
wait_for 60 eval '[ "$(stat -c %s "$WORK/big.part" 2>/dev/null || echo 0)" -gt 1000000 ]'
kill -STOP "$GET"
$VBCTL info "$AA" >"$WORK/info.out" &
INFO=$!
sleep 1
kill -CONT "$GET"
wait "$INFO"
INFO_RC=$?
wait "$GET"
GET_RC=$?
kill -TERM "$RELAY"
wait "$RELAY"
check "the second phone is answered" eval '[ $INFO_RC -eq 0 ] && grep -q "^FSIZE:" "$WORK/info.out"'
check "a new request stops the running download (non-zero exit)" test "$GET_RC" -ne 0 ||
    sed 's/^/    get: /' "$WORK/big.err"
check "the download's own phone got TRANSCANCELED" grep -q TRANSCANCELED "$WORK/big.err"
check "the board logged the cancel" grep -q 'scheduled mission,exit' "$ROOT.out"
PART=$(stat -c %s "$WORK/big.part")
check "the stopped download resumes to the full file ($PART bytes kept)" \
    $VBCTL get BIG.MP4 -o "$WORK/big.part" --offset "$PART"
check "resumed after the stop: MD5 equals" eval '[ "$(md5 "$WORK/big.part")" = "$(md5 "$CARD/VIDEO/BIG.MP4")" ]'

# Names that are not listed: NOTEXIST only, nothing read or removed.
for name in nothere.MP4 ../../../etc/pelora.conf "../VIDEO/$AA" "/$AA"; do
    $VBCTL get "$name" -o "$WORK/x" 2>"$WORK/notexist.err"
    rc=$?
    check "get \"$name\": NOTEXIST, non-zero exit" eval '[ $rc -ne 0 ] && grep -q NOTEXIST "$WORK/notexist.err"'
done
check "rm of an unlisted name: NOTEXIST" eval "! $VBCTL rm '../VIDEO/$AA' 2>/dev/null"
check "the recording is still there" test -s "$CARD/VIDEO/$AA"

# Deleting a video deletes its thumbnail and answers FREMOVED.
check "rm: FREMOVED" eval '[ "$($VBCTL rm "$AA")" = "FREMOVED:$AA" ]'
check "rm: the file is gone" test ! -e "$CARD/VIDEO/$AA"
check "rm: its thumbnail is gone" test ! -e "$CARD/THUMB/$THUMB"
check "rm: no longer listed" eval "! $VBCTL ls videos | grep -q ' $AA\$'"

# The live stream on: the file service stands still; off again: it answers.
check "stream on" $VBCTL stream on
check "log: stream switched on" grep -q 'Handle Video Stream ON' "$OUT"

stop_board
check "clean shutdown (exit 0)" test "$STOP_STATUS" -eq 0
check "file service released" grep -q 'fs release finished!!!' "$OUT"
finish
