#!/usr/bin/env bash
# Firmware upgrade of the video board on the simulated board, driven with
# vbctl as the phone drives it: an upload with one package held back (the
# board lists exactly that package as missing), the board's own upgrade
# through the emulated update engine and a reboot, confirmed once after the
# restart, and hostile names and version texts refused without changing
# anything on the board outside the firmware directories.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT"
OUT=$ROOT.out
VBCTL="$BIN/vbctl --timeout 20"
cd "$WORK" || exit 1
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link up" wait_for 60 board_ready
md5() { md5sum "$1" | cut -d" " -f1; }

# ---- hostile names and versions: refused, nothing changes ----

# Every file of the board root with its hash, leaving out the firmware
# directories and what the running board rewrites by itself (its run-time
# files in tmp/, the simulation's records and the data logs on the card).
snapshot() {
    (cd "$ROOT" && find . -path ./tmp -prune -o -path ./sim/events.log -prune -o \
        -path ./sim/fc-rx.log -prune -o -path ./userdata/BINARY_FILE -prune -o \
        -path './sim/card/*DataLog*' -prune -o -path ./proc -prune -o \
        -type f -print0 | sort -z | xargs -0 md5sum)
}
head -c 5000 /dev/urandom >"$WORK/small.bin"
snapshot >"$WORK/before.txt"
LONG=$(printf 'a%.0s' $(seq 300))
NL=$'a\nb'
for name in "../x" "a/b" "x;reboot" '$(id)' "$LONG" "$NL"; do
    shown=$(printf '%q' "$name" | cut -c1-40)
    check "name $shown refused" eval '! $VBCTL upgrade --name "$name" "$WORK/small.bin" 2>"$WORK/err.txt"'
    check "name $shown: vbctl tells the refusal" grep -q "refused the file announcement" "$WORK/err.txt"
done
check "names: the board logs each refusal" eval \
    '[ "$(grep -c "file name refused\|file announcement refused" "$OUT")" -ge 6 ]'
check "version with a newline refused" eval '! $VBCTL upgrade --version "1.0${NL}PTotalVer=evil" 2>/dev/null'
check "version: the board logs the refusal" grep -q "version text refused" "$OUT"
check "version: configuration unchanged" eval '! grep -q evil "$ROOT/etc/pelora.conf"'
snapshot >"$WORK/after.txt"
check "nothing changed outside the firmware directories" eval \
    'diff "$WORK/before.txt" "$WORK/after.txt" >&2'
check "no firmware directory was made" eval '[ -z "$(ls "$ROOT/userdata" | grep -v BINARY_FILE)" ]'

check "a version text is set in the configuration" $VBCTL upgrade --version "2.0.1-test"
check "configuration holds PTotalVer=2.0.1-test" grep -qx "PTotalVer=2.0.1-test" "$ROOT/etc/pelora.conf"

# ---- upload with package 3 held back ----

head -c $((2048 * 9 + 777)) /dev/urandom >"$WORK/update.img"
IMG_MD5=$(md5 "$WORK/update.img")
$VBCTL upgrade "$WORK/update.img" --withhold 3 >"$WORK/upload.txt" 2>"$WORK/upload.err"
UPLOAD=$?
sed 's/^/    vbctl: /' "$WORK/upload.txt"
check "upload with package 3 held back succeeds" [ "$UPLOAD" -eq 0 ]
check "the board listed exactly package 3 as missing" \
    grep -qx "update.img: board misses 1 package(s): 3" "$WORK/upload.txt"
check "the image is in /userdata/videofw" cmp -s "$WORK/update.img" "$ROOT/userdata/videofw/update.img"
check "the fast-blink LED marked the upload" grep -q "led mode=2" "$ROOT/sim/events.log"

# ---- the video board's own upgrade ----

$VBCTL --timeout 60 upgrade --restart >"$WORK/restart.txt" 2>"$WORK/restart.err"
RESTART=$?
sed 's/^/    vbctl: /' "$WORK/restart.txt" "$WORK/restart.err"
check "upgrade --restart follows the board to the end" [ "$RESTART" -eq 0 ]
check "the update engine got the image (size and MD5 recorded)" \
    grep -q "update-engine --image_url=/userdata/videofw/update.img .* size=$((2048 * 9 + 777)) md5=$IMG_MD5" \
    "$ROOT/sim/events.log"
check "the board rebooted after the update engine" eval \
    'grep -A100 update-engine "$ROOT/sim/events.log" | grep -q " reboot"'
check "the installed image is the uploaded one" cmp -s "$WORK/update.img" "$ROOT/sim/installed.img"
check "after the restart the board confirmed the video upgrade (confirmation 5)" \
    grep -q "board video upgraded (confirmed after its restart)" "$WORK/restart.txt"
check "the step record is removed" test ! -e "$ROOT/userdata/fwstep"
check "the video image is removed after the restart" test ! -e "$ROOT/userdata/videofw"
$VBCTL upgrade status >"$WORK/status.txt" 2>&1
sed 's/^/    vbctl: /' "$WORK/status.txt"
check "the confirmation comes once: the next query gets a status report" \
    grep -q "^board none step" "$WORK/status.txt"

stop_board
check "the board stops cleanly" [ "$STOP_STATUS" -eq 0 ]
finish
