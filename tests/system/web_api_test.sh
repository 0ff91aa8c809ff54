#!/usr/bin/env bash
# The board's web server from outside with curl (and a WebSocket reader of
# the live view): the page, the status, commands and their refusals,
# downloads with ranges byte for byte, thumbnails, deletion, names outside
# the catalogue, foreign origins, the client limit, a stalled live-view
# reader beside a live one, and the configuration switch.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT"
URL=http://127.0.0.1:8080
NODE_DIR=$(dirname "$0")/web
CURL="curl -s -m 30"
CARD=$ROOT/sim/card/PLRMEDIA

code() { $CURL -o /dev/null -w '%{http_code}' "$@"; }
json() { $CURL "$URL$1"; }
served() { [ "$(code "$URL/api/status")" = 200 ]; }
check "the web server answers" wait_for 60 served
check "the page is served" eval '$CURL $URL/ | grep -q "<title>Drone camera</title>"'
check "the page's script is served" eval '$CURL $URL/app.js | grep -q "MediaSource"'
check "status: mode, card, GPS, versions" eval \
    'json /api/status | grep -q "\"mode\":\"photo\".*\"card\":{\"state\":.*\"gps\":.*\"versions\":{\"total\":\"1.0.0\""'
card_ok() { json /api/status | grep -q '"state":"ok"'; }
check "the card is mounted" wait_for 60 card_ok

# Refusals come with the board's reason and never as 200.
check "stopping without a recording: 409 with a reason" eval \
    '[ "$(code -X POST --data stop $URL/api/record)" = 409 ] && $CURL -X POST --data stop $URL/api/record | grep -q "not recording"'
check "a bad record body: 400" eval '[ "$(code -X POST --data jump $URL/api/record)" = 400 ]'
check "a setting out of range: 400 with the range" eval \
    '[ "$(code -X PUT --data "name=iso&value=99" $URL/api/settings)" = 400 ] && $CURL -X PUT --data "name=iso&value=99" $URL/api/settings | grep -q "out of range 0-12"'
check "an unknown setting: 400" eval '[ "$(code -X PUT --data "name=colour&value=1" $URL/api/settings)" = 400 ]'
check "a setting in range is handed to the camera" eval '[ "$(code -X PUT --data "name=iso&value=3" $URL/api/settings)" = 202 ]'
check "the settings list every item with its range" eval \
    'json /api/settings | grep -q "\"name\":\"shutter\",\"item\":6,.*\"min\":0,\"max\":52"'
head -c 10000 /dev/zero | tr '\0' a >"$WORK/big.txt"
check "a body beyond 4 KiB: 413" eval '[ "$(code -X POST --data-binary @$WORK/big.txt $URL/api/record)" = 413 ]'

# A foreign web site's page cannot drive the drone.
EVIL="Origin: http://evil.example"
check "a foreign Origin on POST: 403" eval '[ "$(code -X POST -H "$EVIL" --data start $URL/api/record)" = 403 ]'
check "a foreign Origin on PUT: 403" eval '[ "$(code -X PUT -H "$EVIL" --data "name=iso&value=1" $URL/api/settings)" = 403 ]'
check "a foreign Origin on DELETE: 403" eval '[ "$(code -X DELETE -H "$EVIL" $URL/media/x.MP4)" = 403 ]'
UPGRADE=(-H "Connection: Upgrade" -H "Upgrade: websocket" -H "Sec-WebSocket-Version: 13"
         -H "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==")
status_line() { $CURL -m 3 -i "${UPGRADE[@]}" "$@" 2>/dev/null | head -1 | tr -d '\r'; }
check "a foreign Origin on the WebSocket upgrade: 403" eval \
    '[[ "$(status_line -H "$EVIL" $URL/live)" == *" 403"* ]]'
check "the board's own Origin upgrades" eval \
    '[[ "$(status_line -H "Origin: $URL" $URL/api/events)" == *" 101"* ]]'

# A recording and a photo from the API.
check "record start: 200" eval '[ "$(code -X POST -H "Origin: $URL" --data start $URL/api/record)" = 200 ]'
check "the status shows the recording" eval 'json /api/status | grep -q "\"recording\":true"'
sleep 5  # the clip's length
check "record stop: 200" eval '[ "$(code -X POST --data stop $URL/api/record)" = 200 ]'
video_name() { json "/api/media?type=video" | grep -o '"name":"[^"]*_AA.MP4"' | head -1 | cut -d'"' -f4; }
listed() { [ -n "$(video_name)" ]; }
check "the recording is listed with size, date, duration and picture size" wait_for 30 listed
NAME=$(video_name)
check "its entry has duration and resolution" eval \
    'json "/api/media?type=video" | grep -q "\"name\":\"$NAME\",\"size\":[0-9]*,\"date\":[0-9]*,\"duration\":[0-9]*,\"width\":[1-9][0-9]*,\"height\":[1-9]"'
FILE=$(find "$CARD/VIDEO" -name "$NAME" | head -1)
check "the card holds it" test -s "$FILE"
SIZE=$(stat -c %s "$FILE")

$CURL -D "$WORK/full.h" -o "$WORK/full.mp4" "$URL/media/$NAME"
check "a download is byte-identical" cmp -s "$FILE" "$WORK/full.mp4"
check "with Content-Length, ETag and Accept-Ranges" eval \
    'grep -qi "^content-length: $SIZE" $WORK/full.h && grep -qi "^etag: \"" $WORK/full.h && grep -qi "^accept-ranges: bytes" $WORK/full.h'
HALF=$((SIZE / 2))
$CURL -D "$WORK/part.h" -r "0-$((HALF - 1))" -o "$WORK/part1" "$URL/media/$NAME"
$CURL -r "$HALF-" -o "$WORK/part2" "$URL/media/$NAME"
cat "$WORK/part1" "$WORK/part2" >"$WORK/resumed.mp4"
check "a download resumed with Range is byte-identical" cmp -s "$FILE" "$WORK/resumed.mp4"
check "a range answers 206 with Content-Range" eval \
    'head -1 $WORK/part.h | grep -q " 206" && grep -qi "^content-range: bytes 0-$((HALF - 1))/$SIZE" $WORK/part.h'
dd if="$FILE" of="$WORK/mid.expected" bs=1 skip=1000 count=5000 status=none
$CURL -r 1000-5999 -o "$WORK/mid.got" "$URL/media/$NAME"
check "a range in the middle (a seek) is byte-identical" cmp -s "$WORK/mid.expected" "$WORK/mid.got"
check "a range past the end: 416" eval '[ "$(code -r "$SIZE-" $URL/media/$NAME)" = 416 ]'
ETAG=$(grep -i '^etag:' "$WORK/full.h" | cut -d' ' -f2 | tr -d '\r')
check "the same ETag again: 304" eval '[ "$(code -H "If-None-Match: $ETAG" $URL/media/$NAME)" = 304 ]'

$CURL -o "$WORK/thumb.jpg" "$URL/media/$NAME/thumb"
check "the thumbnail is a 160x90 JPEG" eval \
    "ffprobe -v error -show_entries stream=width,height -of csv=p=0 '$WORK/thumb.jpg' | grep -qx '160,90'"

# Names are looked up in the catalogue only.
check "../ in the path: 404" eval '[ "$(code --path-as-is $URL/media/../../etc/pelora.conf)" = 404 ]'
check "an escaped ../: 404" eval '[ "$(code $URL/media/..%2F..%2Fetc%2Fpelora.conf)" = 404 ]'
check "a name not in the catalogue: 404" eval '[ "$(code $URL/media/20990101_000000_0001_AA.MP4)" = 404 ]'
check "a thumbnail of an unknown name: 404" eval '[ "$(code $URL/media/nothing.JPG/thumb)" = 404 ]'
check "deleting an unknown name: 404" eval '[ "$(code -X DELETE $URL/media/nothing.MP4)" = 404 ]'

check "photo: 200" eval '[ "$(code -X POST $URL/api/photo)" = 200 ]'
photo_name() { json "/api/media?type=photo" | grep -o '"name":"[^"]*.JPG"' | head -1 | cut -d'"' -f4; }
photo_listed() { [ -n "$(photo_name)" ]; }
check "the photo is listed" wait_for 30 photo_listed
PHOTO=$(photo_name)
check "the photo downloads as a JPEG" eval \
    '$CURL $URL/media/$PHOTO | head -c 2 | od -A n -t x1 | grep -q "ff d8"'
check "delete: 200" eval '[ "$(code -X DELETE $URL/media/$PHOTO)" = 200 ]'
check "the photo is gone from the card and the list" eval \
    '[ -z "$(find $CARD/PIC -name $PHOTO)" ] && ! json "/api/media?type=photo" | grep -q "$PHOTO"'
check "deleting it again: 404" eval '[ "$(code -X DELETE $URL/media/$PHOTO)" = 404 ]'

# A live-view reader that stops reading holds back no other reader.
if [ -d "$NODE_DIR/node_modules/ws" ]; then
    node "$NODE_DIR/live_reader.mjs" "ws://127.0.0.1:8080/live" 15 --stalled 2 >"$WORK/live.txt" 2>&1
    cat "$WORK/live.txt"
    check "beside two stalled readers the live view starts with its init segment" \
        grep -q '"init":true' "$WORK/live.txt"
    check "and keeps coming to the end" eval \
        '[ "$(sed -n "s/.*\"lastFourSeconds\":\([0-9]*\).*/\1/p" $WORK/live.txt)" -ge 10 ]'
else
    check "the test clients are installed (scripts/install-deps.sh)" false
fi

# At most 8 clients: the 9th is closed at once, and served again once one left.
FDS=()
open_client() {
    exec {fd}<>/dev/tcp/127.0.0.1/8080
    FDS+=("$fd")
}
for i in 1 2 3 4 5 6 7; do open_client; done
check "beside 7 idle clients an 8th is served" served
open_client
check "a 9th client is refused" eval '! $CURL -m 10 -o /dev/null $URL/api/status'
for fd in "${FDS[@]}"; do exec {fd}>&-; done
check "once they left a client is served again" wait_for 30 served

stop_board
check "vboard stops cleanly" [ "$STOP_STATUS" -eq 0 ]
check "the web server stopped with it" grep -q "shutdown: PLR_WEB_Deinit" "$ROOT.out"

# The configuration switches the server off; the phone link is unaffected.
echo "http_server=off" >>"$ROOT/etc/pelora.conf"
start_board "$ROOT"
board_ready() { "$BIN/vbctl" --timeout 20 status >/dev/null 2>&1; }
check "switched off: the phone link comes up" wait_for 60 board_ready
check "switched off: nothing listens on the web port" eval '! $CURL -m 5 -o /dev/null $URL/api/status'
check "switched off: the log says so" grep -q "web server switched off" "$ROOT.out"
stop_board
finish
