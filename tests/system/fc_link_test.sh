#!/usr/bin/env bash
# The flight-controller link on the simulated board, with fcsim on the other
# end of the serial line: camera commands from the flight controller act on
# the camera, flight and gimbal records reach their data logs on the card,
# the flight controller's messages for the phone reach the phone, a message
# from the phone addressed to the flight controller and a stick datagram reach
# the line byte for byte, and everything stops cleanly.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT" --card-mib 2048
OUT=$ROOT.out
RX=$ROOT/sim/fc-rx.log
CONTROL=$ROOT/sim/fc-control
VBCTL="$BIN/vbctl --timeout 20"
export PYTHONPATH="$(cd "$(dirname "$0")" && pwd)"  # mavframe.py

# A tiny phone: MAVLink 1.0 frames (mavframe.py) sent over the board's TCP link
# or as a stick datagram; prints the frame's bytes in hex.
cat >"$WORK/phone.py" <<'EOF'
import socket, struct, sys, time
from mavframe import frame

if sys.argv[1] == "relay":
    # Heartbeat from the phone, then COMMAND_LONG 400 from the phone (4) to the
    # flight controller (3).
    hb = frame(0, 0x42, 0, 0, struct.pack("<IBBBBB", 0, 6, 8, 0, 0, 3))
    cmd = frame(77, 0x43, 190, 76,
                struct.pack("<7fHBBB", 1, 21196, 0, 0, 0, 0, 0, 400, 1, 1, 0))
    s = socket.create_connection(("127.0.0.1", 8866), timeout=10)
    s.sendall(hb)
    time.sleep(0.3)
    s.sendall(cmd)
    time.sleep(1)
    s.close()
    print(cmd.hex())
elif sys.argv[1] == "stick":
    # MANUAL_CONTROL: x, y, z, r, buttons, target 1.
    stick = frame(5, 0x43, 0, 69, struct.pack("<hhhhHB", 120, -340, 500, 7, 0, 1))
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.sendto(stick, ("127.0.0.1", 8867))
    print(stick.hex())
EOF

check "fcsim links the serial line" test -L "$ROOT/dev/ttyS5"
check "the board opens the line" wait_for 20 grep -q 'fcsim: board opened the line' "$OUT"
check "camera up and card mounted" wait_for 60 eval "grep -q 'Snap Encode Init Sucess' '$OUT' && grep -q 'SD Card Mount Success' '$OUT'"
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link up" wait_for 60 board_ready

# Flight-sensor records (HIL_SENSOR, 13 values with 3 decimals, fields 8191)
# and gimbal records (HIGHRES_IMU, 5 decimals) on the card.
flight_records() {
    grep -hE '^[0-9:.]+,[0-9]+(,-?[0-9]+\.[0-9]{3}){12},25\.000,8191$' \
        "$ROOT"/sim/card/FlyctlDataLog*.txt 2>/dev/null | wc -l
}
gimbal_records() {
    grep -hE '^([0-9:.]+,)?[0-9]+(,-?[0-9]+\.[0-9]{5}){12},41\.50000,8191$' \
        "$ROOT"/sim/card/GimbalDataLog*.txt 2>/dev/null | wc -l
}
check "flight records reach the flight log" wait_for 20 eval '[ "$(flight_records)" -ge 5 ]'
check "gimbal records reach the gimbal log" wait_for 20 eval '[ "$(gimbal_records)" -ge 5 ]'

$VBCTL watch --seconds 3 >"$WORK/watch.txt"
check "the flight controller's GPS reaches the phone" grep -q 'GPS_RAW_INT sys=52(3>4)' "$WORK/watch.txt"

# Camera commands from the flight controller (COMMAND_LONG 203, param7).
lines_now() { wc -l <"$OUT"; }
since() { tail -n +"$(($1 + 1))" "$OUT"; }
rec_files() { ls "$ROOT"/sim/card/PLRMEDIA/VIDEO/*_AA.MP4 2>/dev/null | wc -l; }
FILES=$(rec_files)
echo "camera 3" >"$CONTROL"
check "camera 3 starts recording" wait_for 20 eval "grep -q 'Got start record cmd from uart' '$OUT' && grep -q 'VPS_EVT_REC_START OK' '$OUT'"
check "a recording file is created" wait_for 20 eval '[ "$(rec_files)" -gt "$FILES" ]'
sleep 3
MARK=$(lines_now)
echo "camera 2" >"$CONTROL"
check "camera 2 stops recording" wait_for 20 eval "since $MARK | grep -q 'Got stop record cmd from uart'"
# The board tells the flight controller: COMMAND_LONG from 35 to 100/0,
# command 2, param1 4.0 (recording stopped).
check "the flight controller hears that recording stopped" wait_for 20 grep -qE \
    'sys=35\(2>3\) comp=0 .* COMMAND_LONG fe21[0-9a-f]{2}23004c00008040(00){24}02006400' "$RX"
NEWEST=$(ls -t "$ROOT"/sim/card/PLRMEDIA/VIDEO/*_AA.MP4 | head -1)
check "the recording is a playable MP4" wait_for 20 eval \
    "ffprobe -v error -show_entries format=duration -of csv=p=0 '$NEWEST' | grep -qE '^[0-9]'"

MARK=$(lines_now)
echo "camera 1" >"$CONTROL"
photo_taken() { [ -n "$(find "$ROOT/sim/card/PLRMEDIA/PIC" -name '*.JPG' 2>/dev/null)" ]; }
check "camera 1 takes a photo" wait_for 30 eval "since $MARK | grep -q 'Got snap cmd from uart 0 0' && photo_taken"

MARK=$(lines_now)
TLAPSE_SEEN=$(grep -cE 'COMMAND_LONG fe21[0-9a-f]{2}23004c00003041' "$RX")
echo "camera 4" >"$CONTROL"
tlapse_stopped() {
    [ "$(grep -cE 'COMMAND_LONG fe21[0-9a-f]{2}23004c00003041' "$RX")" -gt "$TLAPSE_SEEN" ]
}
check "camera 4 reaches the time-lapse control" wait_for 20 tlapse_stopped

# From the phone, addressed to the flight controller: relayed unchanged.
HEX=$(python3 "$WORK/phone.py" relay)
check "a phone message for the flight controller arrives byte for byte" wait_for 10 \
    eval "grep -q ' COMMAND_LONG $HEX\$' '$RX'"
HEX=$(python3 "$WORK/phone.py" stick)
check "a stick datagram arrives on the line unchanged" wait_for 10 \
    eval "grep -q ' MANUAL_CONTROL $HEX\$' '$RX'"

stop_board
check "exit status 0" test "$STOP_STATUS" -eq 0
check "fcsim stopped after the board" eval "grep -q 'fcsim: stopped' '$OUT' && [ ! -e '$ROOT/dev/ttyS5' ] && [ ! -e '$CONTROL' ]"
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error|ThreadSanitizer' '$OUT'"

finish
