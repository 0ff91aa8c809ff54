#!/usr/bin/env bash
# The access point's channel change and survey through vbctl on the simulated
# access point (sim/wifi/), and repeater settings forwarded once from the card.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
CARD=$ROOT/sim/card
mkdir -p "$CARD"
# Repeater settings on the card at power-on; the channel file is still empty.
printf '02:00:7f:00:00:6f\n' >"$CARD/destmac.conf"
: >"$CARD/channel.conf"
printf '20\n' >"$CARD/bw.conf"
printf 'usbmode=1\n' >"$CARD/usb.conf"
start_board "$ROOT"
OUT=$ROOT.out
VBCTL="$BIN/vbctl --timeout 20"
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link up" wait_for 60 board_ready

# ---- repeater settings ----
# The first phone link gets the repeater's settings (system id 37); the
# flight controller gets the USB setting on its line.
$VBCTL watch --seconds 4 >"$WORK/rp1.txt" 2>&1
configs() { grep -c 'PELORA_CUSTOM_CONFIG' "$1"; }
check "dest mac and bw forwarded to the repeater link ($(configs "$WORK/rp1.txt"))" eval \
    "[ \$(configs '$WORK/rp1.txt') -eq 2 ] && grep -q '02:00:7f:00:00:6f' '$WORK/rp1.txt'"
check "usb setting on the flight controller's line, once" eval \
    "[ \$(grep -c 'sys=35(2>3) .* id=59 ' '$ROOT/sim/fc-rx.log') -eq 1 ]"
printf '149\n' >"$CARD/channel.conf"
$VBCTL watch --seconds 4 >"$WORK/rp2.txt" 2>&1
check "the channel file, once filled, follows alone" eval \
    "[ \$(configs '$WORK/rp2.txt') -eq 1 ] && grep -q '149' '$WORK/rp2.txt'"
printf '40\n' >"$CARD/bw.conf"
$VBCTL watch --seconds 4 >"$WORK/rp3.txt" 2>&1
check "nothing after the work is done" eval "[ \$(configs '$WORK/rp3.txt') -eq 0 ]"
check "the log names each setting once" eval \
    "[ \$(grep -c 'send bw to repeator:20' '$OUT') -eq 1 ] && [ \$(grep -c 'send usb conf to flyctrl:usbmode=1' '$OUT') -eq 1 ]"

# ---- Wi-Fi survey ----
$VBCTL wifi survey >"$WORK/survey.txt"
check "vbctl wifi survey: 14 channels" test "$(grep -cE '^[0-9]+ ' "$WORK/survey.txt")" -eq 14
check "in key order (1, 10, 11, ...), channel 6 in use" eval \
    "[ \"\$(awk 'NR > 1 { printf \"%s,\", \$1 }' '$WORK/survey.txt')\" = '1,10,11,12,13,14,2,3,4,5,6,7,8,9,' ] &&
     grep -qE '^6 +-?[0-9]+ +yes' '$WORK/survey.txt'"
printf '1 -5\n6 -3\n11 -6\n' >"$ROOT/sim/wifi/survey"
$VBCTL wifi survey >"$WORK/survey2.txt"
check "levels 10 x v - 100 in key order" eval \
    "[ \"\$(awk 'NR > 1 { printf \"%s %s %s;\", \$1, \$2, \$3 }' '$WORK/survey2.txt')\" = '1 -150 ;11 -160 ;6 -130 yes;' ]"

# ---- Wi-Fi channel ----
check "vbctl wifi channel 11" eval "$VBCTL wifi channel 11 | grep -qx 'channel 11'"
check "hostapd.conf rewritten" grep -qx 'channel=11' "$ROOT/tmp/hostapd.conf"
check "the access point restarted on 11" grep -q 'hostapd-restart channel=11 ok' "$ROOT/sim/events.log"
$VBCTL wifi channel 36 >"$WORK/ch36.txt" 2>&1
STATUS=$?
check "channel 36 answers Failed" eval "[ $STATUS -eq 1 ] && grep -qx Failed '$WORK/ch36.txt'"
check "and changes nothing" grep -qx 'channel=11' "$ROOT/tmp/hostapd.conf"
echo 1 >"$ROOT/sim/wifi/hostapd-fail"
$VBCTL wifi channel 1 >"$WORK/ch1.txt" 2>&1
STATUS=$?
check "a failing restart answers Failed" eval "[ $STATUS -eq 1 ] && grep -qx Failed '$WORK/ch1.txt'"
check "the saved configuration is back" grep -qx 'channel=11' "$ROOT/tmp/hostapd.conf"
check "three failed starts, then up again on 11" eval \
    "[ \$(grep -c 'hostapd-restart channel=1 failed' '$ROOT/sim/events.log') -eq 3 ] &&
     tail -1 '$ROOT/sim/events.log' | grep -q 'hostapd-restart channel=11 ok'"
stop_board
check "exit status 0" test "$STOP_STATUS" -eq 0
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$OUT'"
finish

