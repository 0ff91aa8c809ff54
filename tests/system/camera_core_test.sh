#!/usr/bin/env bash
# The camera core on the simulated board: pipeline up in photo mode, the card
# mounted through the start-up device rescan, data logs on the card, card
# hot-plug, and a clean teardown.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT" --card-mib 2048
OUT=$ROOT.out
check "live-view and JPEG encoders up" wait_for 30 eval "grep -q 'Video Encode Init Sucess' '$OUT' && grep -q 'Snap Encode Init Sucess' '$OUT'"
check "camera core started" grep -q 'PLR_VPS_Init: VPS Init complete!!' "$OUT"
check "LED steady: live view started cleanly" grep -q ' led mode=0$' "$ROOT/sim/events.log"
check "start-up rescan reports the card" wait_for 20 grep -q 'SD Card Inserted.' "$OUT"
check "card mounted" wait_for 20 grep -q 'SD Card Mount Success' "$OUT"
check "card size measured" grep -qE 'SD Storage--type:[0-9]+ total:2048 free:204[0-9]' "$OUT"
for dir in VIDEO PIC THUMB; do
    check "media directory $dir on the card" test -d "$ROOT/sim/card/PLRMEDIA/$dir"
done
ticks() { grep -c 'system tick\.\.' "$ROOT/sim/card/FlyctlDataLog0.txt" 2>/dev/null; }
check "a system tick record reaches the card" wait_for 15 eval '[ "$(ticks)" -ge 1 ]'
FIRST=$(ticks)
sleep 3
check "system ticks once a second" eval '[ $(( $(ticks) - FIRST )) -ge 2 ] && [ $(( $(ticks) - FIRST )) -le 4 ]'

"$BIN/vboard-sim" card eject --root "$ROOT"
check "eject unmounts" wait_for 10 eval "grep -q 'SD Card Ejected.' '$OUT' && grep -q ' umount /tmp/SD0' '$ROOT/sim/events.log'"
check "mount point empty after eject" wait_for 5 eval '[ -z "$(ls -A "$ROOT/tmp/SD0")" ]'
"$BIN/vboard-sim" card insert --root "$ROOT"
check "insert mounts again" wait_for 10 eval "[ \$(grep -c 'SD Card Mount Success' '$OUT') -ge 2 ]"
check "card visible again" wait_for 5 test -d "$ROOT/tmp/SD0/PLRMEDIA/VIDEO"

stop_board
check "exit status 0" test "$STOP_STATUS" -eq 0
check "pipeline torn down" grep -q 'PLR_VPS_Deinit: VPS Deinit complete!!' "$OUT"
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error|ThreadSanitizer' '$OUT'"

finish
