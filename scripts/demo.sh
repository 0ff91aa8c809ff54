#!/usr/bin/env bash
# The scripted demo: starts the simulated drone in a fresh board root and
# drives it the way the phone application does, with vbctl: status, a five
# second recording, the files it made, a clean stop.
# Runs inside its own network namespace (loopback only) when it can, so it
# never collides with another simulated board on the same ports.
set -euo pipefail
BIN=$(cd "${1:-build/sim/bin}" && pwd)

if [ -z "${VBOARD_DEMO_NS:-}" ] && unshare -rn true 2>/dev/null; then
    VBOARD_DEMO_NS=1 exec unshare -rn "$0" "$BIN"
fi
ip link set lo up 2>/dev/null || true

ROOT=$(cd "$(dirname "$0")/.." && pwd)/build/demo-root
rm -rf "$ROOT"
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
VBCTL="$BIN/vbctl --timeout 20"

say "Starting the simulated board in $ROOT (trace lines prefixed 'vboard |')"
"$BIN/vboard-sim" --root "$ROOT" 2>&1 | sed -u 's/^/   vboard | /' &
for _ in $(seq 100); do [ -s "$ROOT/tmp/pelora.pid" ] && break; sleep 0.1; done
VBOARD=$(cat "$ROOT/tmp/pelora.pid")
echo "   vboard runs as process $VBOARD"

say "Waiting for the phone link (start-up pauses 5 s before it opens)"
for _ in $(seq 60); do $VBCTL status >/dev/null 2>&1 && break; sleep 0.5; done

say "vbctl status"
$VBCTL status | sed 's/^/   /'

say "vbctl record start --seconds 5"
$VBCTL record start --seconds 5 | sed 's/^/   /'

say "vbctl status (back to idle, now in record mode)"
$VBCTL status | sed 's/^/   /'

say "vbctl mode photo; vbctl snap (the photo carries fcsim's GPS position)"
$VBCTL mode photo | sed 's/^/   /'
$VBCTL snap | sed 's/^/   /'
for _ in $(seq 40); do [ -n "$(find "$ROOT/sim/card/PLRMEDIA/PIC" -name '*.JPG' 2>/dev/null)" ] && break; sleep 0.25; done
for f in $(find "$ROOT/sim/card/PLRMEDIA/PIC" -name '*.JPG' | sort); do
    echo "   ${f#"$ROOT/sim/card/"}"
    exiftool -Make -Model -ExposureTime -ISO -ImageSize -GPSPosition "$f" | sed 's/^/      /'
done

say "vbctl live -o live.h264 --seconds 5 (the live view on UDP 8856)"
$VBCTL live -o "$ROOT/live.h264" --seconds 5 | sed 's/^/   /'
"$BIN/vcam-frames" "$ROOT/live.h264" 2>&1 >/dev/null | sed 's/^/   /'

say "Recordings on the simulated card"
for f in "$ROOT"/sim/card/PLRMEDIA/VIDEO/*; do
    [ -e "$f" ] || continue
    summary=$(ffprobe -v error -select_streams v:0 -count_packets \
        -show_entries stream=codec_name,width,height,r_frame_rate,nb_read_packets -of csv=p=0 "$f")
    printf '   %s  %8d bytes  %s\n' "$(basename "$f")" "$(stat -c %s "$f")" "$summary"
done

say "Stopping the board with SIGTERM"
kill -TERM "$VBOARD"
for _ in $(seq 100); do kill -0 "$VBOARD" 2>/dev/null || break; sleep 0.1; done
wait || true
[ -e "$ROOT/tmp/pelora.pid" ] && echo "   PID file still there!" || echo "   stopped cleanly"

say "What the board did to its simulated OS (sim/events.log)"
sed 's/^/   /' "$ROOT/sim/events.log" 2>/dev/null || echo "   (nothing)"
