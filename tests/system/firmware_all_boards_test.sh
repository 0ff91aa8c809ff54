#!/usr/bin/env bash
# Firmware for all four boards in one session, as the phone drives it through
# the repeater: files for the video board, the flight controller, the gimbal
# and the repeater uploaded, one restart. The board upgrades itself through
# the update engine and a reboot, then hands each other board its firmware in
# order; the simulators must hold byte-identical copies, the upload
# directories must be empty and the total version must be the phone's text.
# Then a flight controller that stops answering mid-transfer must end that
# board's upgrade with a failure report instead of leaving it "upgrading".
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT" --repeater
OUT=$ROOT.out
VBCTL="$BIN/vbctl --host 127.0.0.111 --timeout 30"
cd "$WORK" || exit 1
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link up through the repeater" wait_for 90 board_ready

# The repeater's checksum file: "99" and the 16-bit ones' complement of the
# byte sum of the other files' MD5 texts, in name order.
make_cks() {
    python3 - "$@" <<'PY'
import hashlib, sys
text = "".join(hashlib.md5(open(f, "rb").read()).hexdigest() for f in sorted(sys.argv[1:]))
s = sum(text.encode())
s = (s & 0xFFFF) + (s >> 16)
s = (s & 0xFFFF) + (s >> 16)
print("99%d" % (~s & 0xFFFF), end="")
PY
}

mkdir -p video fc gimbal repeater
head -c 30000 /dev/urandom >video/update.img
head -c 20000 /dev/urandom >fc/fc.bin
head -c 7201 /dev/urandom >gimbal/gimbal.bin
head -c 12345 /dev/urandom >repeater/rp.bin
make_cks repeater/rp.bin >repeater/cks

check "video image uploaded" $VBCTL upgrade video/update.img --board video
check "flight-controller firmware uploaded" $VBCTL upgrade fc/fc.bin --board fc
check "gimbal firmware uploaded" $VBCTL upgrade gimbal/gimbal.bin --board gimbal
check "repeater firmware and its checksum uploaded" \
    $VBCTL upgrade repeater/rp.bin repeater/cks --board repeater

$VBCTL --timeout 180 upgrade --restart --version "4.2.0-all" >restart.txt 2>restart.err
RESTART=$?
sed 's/^/    vbctl: /' restart.txt restart.err | tail -40
check "one restart upgrades every board" [ "$RESTART" -eq 0 ]
check "the video board installed its image" cmp -s video/update.img "$ROOT/sim/installed.img"
check "the flight controller holds its firmware" cmp -s fc/fc.bin "$ROOT/sim/fc-firmware.bin"
check "the gimbal holds its firmware" cmp -s gimbal/gimbal.bin "$ROOT/sim/gimbal-firmware.bin"
check "the repeater holds its firmware" cmp -s repeater/rp.bin "$ROOT/sim/repeater-firmware.bin"
ORDER=$(grep -o "Upgrade [0-9] start!!" "$OUT" | cut -d" " -f2 | tr -d '\n')
echo "    upgrade order: $ORDER"
check "order: video, flight controller, gimbal, repeater" [ "$ORDER" = "2375" ]
check "progress reports reached the phone" eval \
    'grep -q "^board fc step [0-9]* percent [1-9][0-9]* " restart.txt'
for dir in videofw flyctrolfw gimbalfw repeatorfw; do
    check "upload directory $dir is gone" test ! -e "$ROOT/userdata/$dir"
done
check "the total version is the phone's text" grep -qx "PTotalVer=4.2.0-all" "$ROOT/etc/pelora.conf"

# ---- a flight controller that stops answering mid-transfer ----

head -c 400000 /dev/urandom >fc/big.bin
check "a larger flight-controller firmware uploaded" $VBCTL upgrade fc/big.bin --board fc
FCSIM=$(pgrep -f "fcsim .*--root $ROOT" | head -n 1)
check "fcsim found" [ -n "$FCSIM" ]
$VBCTL --timeout 120 upgrade --restart >paused.txt 2>paused.err &
FOLLOW=$!
transfer_started() { grep -q "^board fc step" paused.txt; }
check "the transfer to the flight controller started" wait_for 60 transfer_started
kill -STOP "$FCSIM"
STOPPED=$(date +%s)
wait "$FOLLOW"
PAUSED=$?
ELAPSED=$(($(date +%s) - STOPPED))
kill -CONT "$FCSIM"
sed 's/^/    vbctl: /' paused.txt paused.err | tail -8
echo "    failure reported ${ELAPSED} s after the flight controller stopped"
check "the silent board's upgrade fails (vbctl exits non-zero)" [ "$PAUSED" -ne 0 ]
check "the phone was told of the failure" grep -q "upgrade of board fc failed" paused.err
check "the board is no longer upgrading" eval \
    '$VBCTL upgrade status | grep -q "^board none"'

stop_board
check "the board stops cleanly" [ "$STOP_STATUS" -eq 0 ]
finish
