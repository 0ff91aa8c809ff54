#!/usr/bin/env bash
# Photos and the live view on the simulated board, with fcsim flying: JPEG
# files with EXIF and XMP carrying fcsim's position, picture modes, refusals,
# and the live view received with vbctl.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT"
OUT=$ROOT.out
VBCTL="$BIN/vbctl --timeout 20"
PIC=$ROOT/sim/card/PLRMEDIA/PIC
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link up" wait_for 60 board_ready

jpgs() { find "$PIC" -name '*.JPG' 2>/dev/null | sort; }
count_jpgs() { jpgs | wc -l; }
tag() { exiftool -s3 -n "-$1" "$2"; }

# The first photo needs the flight controller's position on the board: on a
# loaded host fcsim's first fix can come after the phone link is up.
gps_reached() { $VBCTL watch --seconds 2 2>/dev/null | grep -q GPS_RAW_INT; }
check "the flight controller's position reaches the phone" wait_for 30 gps_reached

# A single photo: name, metadata, size.
check "vbctl snap is acknowledged" $VBCTL snap
check "the photo is written" wait_for 20 eval '[ "$(count_jpgs)" -eq 1 ]'
JPG=$(jpgs | head -1)
DAY=$(basename "$(dirname "$JPG")")
check "named PIC/<date>/<prefix>_0001.JPG ($(basename "$JPG"))" eval \
    '[[ "$DAY" =~ ^[0-9]{8}$ ]] && [[ "$(basename "$JPG")" =~ ^${DAY}_[0-9]{6}_0001\.JPG$ ]]'
check "Make and Model" eval '[ "$(tag Make "$JPG")" = Pelora ] && [ "$(tag Model "$JPG")" = "Kavo Sparrow" ]'
check "ExposureTime and ISO from the settings" eval '[ -n "$(tag ExposureTime "$JPG")" ] && [ "$(tag ISO "$JPG")" -ge 100 ]'
check "GPS from the flight controller (north, east)" eval \
    '[ "$(tag GPSLatitudeRef "$JPG")" = N ] && [ "$(tag GPSLongitudeRef "$JPG")" = E ] && awk "BEGIN{exit !($(tag EXIF:GPSLatitude "$JPG") > 40)}"'
second_app1() {  # the segment after the EXIF APP1: marker FF E1, length 75
    local len1
    len1=$(od -A n -t u1 -j 4 -N 2 "$1" | awk '{print $1 * 256 + $2}')
    [ "$(od -A n -t x1 -j $((4 + len1)) -N 4 "$1" | tr -d ' \n')" = ffe1004b ]
}
check "second APP1 segment of length 75 (XMP)" second_app1 "$JPG"
check "decodes at 3840 x 2160" eval \
    "ffprobe -v error -show_entries stream=width,height -of csv=p=0 '$JPG' | grep -qx '3840,2160'"

# A southern position gives "S" and positive degrees.
echo "gps -33.8688,151.2093,58" >"$ROOT/sim/fc-control"
sleep 3
$VBCTL snap >/dev/null
check "a second photo" wait_for 20 eval '[ "$(count_jpgs)" -eq 2 ]'
JPG2=$(jpgs | tail -1)
check "southern position: S and positive degrees" eval \
    '[ "$(tag GPSLatitudeRef "$JPG2")" = S ] && awk "BEGIN{exit !($(tag EXIF:GPSLatitude "$JPG2") > 33.8 && $(tag EXIF:GPSLatitude "$JPG2") < 33.9)}"'
check "numbered _0002" eval '[[ "$JPG2" == *_0002.JPG ]]'

# Continuous mode with three shots: one directory, _0001 to _0003, one answer.
check "picture mode continuous" $VBCTL set picture-mode continuous
check "three shots a burst" $VBCTL set burst-count 3
$VBCTL snap >/dev/null
check "three photos in one _CTI directory" wait_for 30 eval \
    '[ "$(find "$PIC" -path "*_CTI*" -name "*.JPG" | wc -l)" -eq 3 ]'
check "numbered _0001 to _0003" eval \
    '[ "$(find "$PIC" -path "*_CTI*" -name "*.JPG" -printf "%f\n" | grep -o "_000[123].JPG" | sort | tr -d "\n")" = "_0001.JPG_0002.JPG_0003.JPG" ]'
check "back to single" $VBCTL set picture-mode single

# A hot SoC refuses, and so does a missing card: no new file either way.
BEFORE=$(count_jpgs)
echo 105000 >"$ROOT/sys/class/thermal/thermal_zone0/temp"
sleep 3
$VBCTL snap >/dev/null 2>&1
sleep 2
check "a SoC at 105.0 degrees refuses the photo" eval '[ "$(count_jpgs)" -eq "$BEFORE" ]'
echo 45000 >"$ROOT/sys/class/thermal/thermal_zone0/temp"
sleep 3
"$BIN/vboard-sim" card eject --root "$ROOT"
check "card ejected" wait_for 10 grep -q 'SD Card Ejected.' "$OUT"
$VBCTL snap >/dev/null 2>&1
sleep 2
check "no card: refused, no file" eval '[ "$(count_jpgs)" -eq "$BEFORE" ]'
"$BIN/vboard-sim" card insert --root "$ROOT"
wait_for 10 test -d "$ROOT/tmp/SD0/PLRMEDIA/PIC"

# The live view.
check "vbctl live receives the live view" $VBCTL live -o "$WORK/live.h264" --seconds 4
check "decodes at 1280 x 720" eval \
    "ffprobe -v error -show_entries stream=width,height -of csv=p=0 '$WORK/live.h264' | grep -qx '1280,720'"
"$BIN/vcam-frames" "$WORK/live.h264" >"$WORK/live-frames.txt" 2>/dev/null
check "frame numbers increase ($(wc -l <"$WORK/live-frames.txt") pictures)" eval \
    '[ "$(wc -l <"$WORK/live-frames.txt")" -ge 20 ] && sort -n -c -u "$WORK/live-frames.txt" && ! grep -qx -- -1 "$WORK/live-frames.txt"'

stop_board
check "exit status 0" test "$STOP_STATUS" -eq 0
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$OUT'"
finish
