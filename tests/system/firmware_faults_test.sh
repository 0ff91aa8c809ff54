#!/usr/bin/env bash
# The firmware upgrade under faults, on the simulated board: a power cut
# between the step record 'R' and the update engine's return (the image is
# installed again, or the failure is reported, never a false "upgraded"); a
# phone killed mid-upload (the file service answers again); a stranger's junk
# on the file port during an upload (which still succeeds); an oversize file
# and an incomplete set refused with their answers; and with a key on the
# board, unsigned and tampered images refused and a signed one installed.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
OUT=$ROOT.out
VBCTL="$BIN/vbctl --timeout 20"
cd "$WORK" || exit 1
board_ready() { $VBCTL status >/dev/null 2>&1; }
boot() {
    start_board "$ROOT"
    check "phone link up" wait_for 60 board_ready
}
engine_runs() { grep -c "update-engine --image_url" "$ROOT/sim/events.log" 2>/dev/null; }

# ---- a power cut at R ----

boot
head -c 20000 /dev/urandom >update.img
check "video image uploaded" $VBCTL upgrade update.img
stop_board
# The power went after the step record 'R', before the engine returned.
printf R >"$ROOT/userdata/fwstep"
boot
reinstalled() { [ "$(engine_runs)" -ge 1 ]; }
check "power cut at R: the engine runs again" wait_for 60 reinstalled
sleep 2
check "the board is back after its reboot" wait_for 60 board_ready
$VBCTL upgrade status >status1.txt 2>&1
sed 's/^/    vbctl: /' status1.txt
check "power cut at R: the image is installed again" cmp -s update.img "$ROOT/sim/installed.img"
check "power cut at R: installed once" [ "$(engine_runs)" -eq 1 ]
check "power cut at R: confirmed only after that install" grep -q "video upgraded" status1.txt

# The same cut with the image gone: the failure is reported, never "upgraded".
stop_board
printf R >"$ROOT/userdata/fwstep"
rm -rf "$ROOT/userdata/videofw"
boot
$VBCTL upgrade status >status2.txt 2>&1
sed 's/^/    vbctl: /' status2.txt
check "power cut at R, image gone: no false 'upgraded'" eval '! grep -q "video upgraded" status2.txt'
check "power cut at R, image gone: the failure is reported" \
    grep -q "^board .* result [1-9]" status2.txt
check "power cut at R, image gone: nothing installed again" [ "$(engine_runs)" -eq 1 ]

# ---- a phone killed mid-upload, then a list that answers ----

$VBCTL snap >/dev/null
check "a photo on the card" wait_for 20 eval \
    '[ -n "$(find "$ROOT/sim/card/PLRMEDIA/PIC" -name "*.JPG" 2>/dev/null)" ]'
head -c $((48 * 1024 * 1024)) /dev/urandom >big.img
$VBCTL upgrade --name update.img big.img >/dev/null 2>&1 &
UPLOADER=$!
upload_mode() { grep -q "firmware upload mode on" "$OUT"; }
wait_for 20 upload_mode
sleep 1
kill -KILL "$UPLOADER" 2>/dev/null
wait "$UPLOADER" 2>/dev/null
listed() { $VBCTL ls photos 2>/dev/null | grep -q JPG; }
check "after a killed upload, ls photos answers within 15 s" wait_for 15 listed
check "the board ended upload mode by itself" grep -q "upload mode ended" "$OUT"

# ---- a stranger's junk on 8857 during an upload ----

python3 - "$WORK/junk.stop" <<'PY' &
import os, socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.9", 0))
header = b"@#$&\x01\x05\x08"
junk = header + bytes([1]) + bytes(4) + os.urandom(2048) + b"\x00\x00"
while not os.path.exists(sys.argv[1]):
    for d in (header, junk, os.urandom(600)):
        s.sendto(d, ("127.0.0.1", 8857))
    time.sleep(0.002)
PY
JUNK=$!
head -c $((2048 * 40 + 17)) /dev/urandom >fc.bin
$VBCTL upgrade fc.bin --board fc >junk.txt 2>&1
UPLOAD=$?
touch "$WORK/junk.stop"
wait "$JUNK"
sed 's/^/    vbctl: /' junk.txt | tail -3
check "upload during a stranger's junk succeeds" [ "$UPLOAD" -eq 0 ]
check "the uploaded file is the phone's" cmp -s fc.bin "$ROOT/userdata/flyctrolfw/fc.bin"

# ---- an oversize file and an incomplete set ----

head -c $(((1 << 24) + 1)) /dev/zero >huge.bin
check "a 2^24 + 1-byte flight-controller file is refused" eval \
    '! $VBCTL upgrade huge.bin --board fc 2>oversize.txt'
check "oversize: the board's answer (3) reaches the phone" \
    grep -q "refused the file announcement (result 3)" oversize.txt
stop_board
boot
check "an incomplete set is not flashed at power-on" eval \
    '! grep -q "Upgrade 3 start" "$OUT" && [ ! -e "$ROOT/sim/fc-firmware.bin" ]'
# The phone's set, with one of its files lost on the board: refused.
head -c 3000 /dev/urandom >fc2.bin
check "second flight-controller file uploaded" $VBCTL upgrade fc2.bin --board fc
rm "$ROOT/userdata/flyctrolfw/fc2.bin"
$VBCTL --timeout 60 upgrade --restart >incomplete.txt 2>&1
INCOMPLETE=$?
sed 's/^/    vbctl: /' incomplete.txt | tail -3
check "incomplete set: the upgrade fails" [ "$INCOMPLETE" -ne 0 ]
check "incomplete set: the phone hears a non-zero result" grep -q "result [1-9]" incomplete.txt
check "incomplete set: the flight controller got nothing" test ! -e "$ROOT/sim/fc-firmware.bin"
check "incomplete set: the remaining file stays for a retry" test -e "$ROOT/userdata/flyctrolfw/fc.bin"
$VBCTL upgrade clean >/dev/null 2>&1

# ---- with a key: unsigned and tampered images refused, a signed one installed ----

openssl genpkey -algorithm ed25519 -out key.pem 2>/dev/null
openssl pkey -in key.pem -pubout -out "$ROOT/sim/fw-pubkey.pem" 2>/dev/null
mkdir -p unsigned tampered signed
head -c 9000 /dev/urandom >signed/update.img
openssl pkeyutl -sign -rawin -inkey key.pem -in signed/update.img -out signed/update.img.sig
cp signed/update.img unsigned/update.img
head -c 9000 /dev/urandom >tampered/update.img
cp signed/update.img.sig tampered/update.img.sig
for kind in unsigned tampered; do
    $VBCTL upgrade "$kind/update.img" >/dev/null 2>&1
    $VBCTL --timeout 60 upgrade --restart >"$kind.txt" 2>&1
    RC=$?
    sed 's/^/    vbctl: /' "$kind.txt" | tail -2
    check "with a key, the $kind image is refused" [ "$RC" -ne 0 ]
    check "with a key, the $kind image: a non-zero result" grep -q "result [1-9]" "$kind.txt"
    check "with a key, the $kind image is not installed" [ "$(engine_runs)" -eq 1 ]
done
check "the refusals are logged" eval '[ "$(grep -c "no signature\|bad signature" "$OUT")" -ge 2 ]'
check "the signed image and its signature are uploaded" $VBCTL upgrade signed/update.img
check "the signature went up with it" test -e "$ROOT/userdata/videofw/update.img.sig"
$VBCTL --timeout 60 upgrade --restart >signed.txt 2>&1
RC=$?
sed 's/^/    vbctl: /' signed.txt | tail -3
check "with a key, the signed image is installed" eval \
    '[ "$RC" -eq 0 ] && cmp -s signed/update.img "$ROOT/sim/installed.img"'
check "the phone hears which image was installed" \
    grep -q "video upgraded (confirmed after its restart).* from the phone's upload" signed.txt

stop_board
check "the board stops cleanly" [ "$STOP_STATUS" -eq 0 ]
finish
