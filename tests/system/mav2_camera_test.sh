#!/usr/bin/env bash
# The MAVLink 2 camera endpoint driven by a third-party ground station
# (node-mavlink): discovery, information, a photo and a recording, the one
# camera state shared with the phone, the RTP live view decoded by ffmpeg from
# an SDP file, photo indices across a restart, modes, format and a refusal.
. "$(dirname "$0")/lib.sh"

STATION="node $(dirname "$0")/mav2/station.js"
ROOT=$WORK/board
VBCTL="$BIN/vbctl --timeout 20"
board_ready() { $VBCTL status >/dev/null 2>&1; }
tally() {  # tally LOG: the station's lines shown and counted
    cat "$1"
    PASSED=$((PASSED + $(grep -c '^ok: ' "$1")))
    FAILED=$((FAILED + $(grep -c '^FAILED: ' "$1")))
}
station() {  # station LOG STEP...
    local log=$1
    shift
    $STATION "$@" >"$log" 2>&1
    tally "$log"
}
recording() {  # the newest recording (not its live-view copy _AB)
    find "$ROOT/sim/card/PLRMEDIA" -name '*.MP4' ! -name '*_AB.MP4' -printf '%T@ %p\n' 2>/dev/null |
        sort -n | tail -1 | cut -d' ' -f2-
}

start_board "$ROOT"
check "phone link up" wait_for 60 board_ready

# Discovery, a photo (index 0) and 5 s of video. The phone sees the
# station's recording: one camera.
$STATION discover storage=ready photo=0 record=5 >"$WORK/station1.txt" 2>&1 &
STATION_PID=$!
check "the phone sees the station's recording" wait_for 30 eval \
    "$VBCTL status 2>/dev/null | grep -q 'recording: yes'"
wait "$STATION_PID"
tally "$WORK/station1.txt"
URL=$(sed -n 's/^file: //p' "$WORK/station1.txt")
check "the photo is on the card ($URL)" test -s "$ROOT$URL"
MP4=$(recording)
duration() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1" 2>/dev/null; }
# The 4K recording plays; on a loaded host its encoder keeps fewer pictures
# than real time, so the length is checked on its live-view copy.
DURATION=$([ -n "$MP4" ] && duration "$MP4")
check "the recording plays ($(basename "${MP4:-none}"), ${DURATION:-no} s)" \
    awk -v d="${DURATION:-0}" 'BEGIN { exit !(d > 0) }'
COPY_DURATION=$([ -n "$MP4" ] && duration "${MP4%_*}_AB.MP4")
check "its live-view copy lasts the recording (${COPY_DURATION:-no} s)" \
    awk -v d="${COPY_DURATION:-0}" 'BEGIN { exit !(d >= 4) }'

# A photo from the phone is announced to the station too (index 1); the
# vehicle's position while the flight controller has a fix.
$STATION captured=1 position >"$WORK/station-phone.txt" 2>&1 &
STATION_PID=$!
sleep 3
$VBCTL snap >/dev/null
wait "$STATION_PID"
tally "$WORK/station-phone.txt"

# The live view by RTP: the station asks for the stream information; ffmpeg
# decodes the advertised stream from an SDP file.
cat >"$WORK/live.sdp" <<SDP
v=0
o=- 0 0 IN IP4 127.0.0.1
s=live view
c=IN IP4 127.0.0.1
t=0 0
m=video 5600 RTP/AVP 96
a=rtpmap:96 H264/90000
a=fmtp:96 packetization-mode=1
SDP
timeout 60 ffmpeg -v error -protocol_whitelist file,udp,rtp -i "$WORK/live.sdp" -t 6 \
    -c copy -f h264 "$WORK/rtp.h264" 2>"$WORK/ffmpeg.txt" &
FFMPEG_PID=$!
sleep 1
# The phone's live view at the same time: the pictures the encoder gave.
$VBCTL live -o "$WORK/phone.h264" --seconds 5 >/dev/null 2>&1 &
PHONE_PID=$!
station "$WORK/station2.txt" stream=10
wait "$FFMPEG_PID" "$PHONE_PID"
"$BIN/vcam-frames" "$WORK/rtp.h264" | grep -vx -- -1 >"$WORK/rtp-frames.txt" 2>/dev/null
"$BIN/vcam-frames" "$WORK/phone.h264" | grep -vx -- -1 >"$WORK/phone-frames.txt" 2>/dev/null
PICTURES=$(wc -l <"$WORK/rtp-frames.txt")
check "ffmpeg decodes the RTP live view ($PICTURES pictures)" test "$PICTURES" -ge 60
check "frame numbers increase" sort -n -c -u "$WORK/rtp-frames.txt"
# A gap of the camera itself shows in the phone's copy too; every picture the
# phone got while ffmpeg listened came by RTP as well.
FIRST=$(head -1 "$WORK/rtp-frames.txt")
LAST=$(tail -1 "$WORK/rtp-frames.txt")
awk -v a="$FIRST" -v b="$LAST" '$1 > a && $1 < b' "$WORK/phone-frames.txt" >"$WORK/overlap.txt"
MISSING=$(comm -23 <(sort "$WORK/overlap.txt") <(sort "$WORK/rtp-frames.txt") | wc -l)
check "no gaps: $(wc -l <"$WORK/overlap.txt") pictures of the phone's live view meanwhile, $MISSING missing by RTP" \
    eval '[ "$(wc -l <"$WORK/overlap.txt")" -ge 30 ] && [ "$MISSING" -eq 0 ]'

# After a restart the next photo gets index 2; modes; a format empties the log.
stop_board
start_board "$ROOT"
check "phone link up after the restart" wait_for 60 board_ready
station "$WORK/station3.txt" photo=2 mode=video mode=image format

# Hostile input from a table: both links keep answering, and the clock, the
# configuration and the card stay as they were.
# The media on the card (the flight logs beside them grow all the time).
card_listing() { find "$ROOT/sim/card/PLRMEDIA" -printf '%P %s\n' | sort; }
wait_for 20 test -d "$ROOT/sim/card/PLRMEDIA/VIDEO"
card_listing >"$WORK/card-before.txt"
md5sum "$ROOT/etc/pelora.conf" >"$WORK/conf.md5"
CLOCK_SETS=$(grep -c ' clock-set ' "$ROOT/sim/events.log" 2>/dev/null)
node "$(dirname "$0")/mav2/hostile.js" 10 >"$WORK/hostile.txt" 2>&1
tally "$WORK/hostile.txt"
check "the phone link still answers" $VBCTL status
check "the configuration is unchanged" md5sum -c --quiet "$WORK/conf.md5"
card_listing >"$WORK/card-after.txt"
check "the card is unchanged" cmp -s "$WORK/card-before.txt" "$WORK/card-after.txt"
check "the clock was not set" test "$(grep -c ' clock-set ' "$ROOT/sim/events.log" 2>/dev/null)" = "$CLOCK_SETS"

# No card: the photo is refused.
"$BIN/vboard-sim" card eject --root "$ROOT"
check "card ejected" wait_for 10 grep -q 'SD Card Ejected.' "$ROOT.out"
station "$WORK/station4.txt" storage=empty refuse=photo

stop_board
check "exit status 0" test "$STOP_STATUS" -eq 0
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$ROOT.out'"
finish
