#!/usr/bin/env bash
# The scripted demo: starts the simulated drone in a fresh board root, lets it
# run through a short session and stops it cleanly, narrating what happened.
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

say "Starting the simulated board in $ROOT"
"$BIN/vboard-sim" --root "$ROOT" 2>&1 | sed -u "s/^/   vboard | /" &
for _ in $(seq 100); do [ -s "$ROOT/tmp/pelora.pid" ] && break; sleep 0.1; done
VBOARD=$(cat "$ROOT/tmp/pelora.pid")
echo "   vboard runs as process $VBOARD (PID file $ROOT/tmp/pelora.pid)"

say "Letting it come up (start-up pauses 5 s before the main loop)"
sleep 7
echo "   status LED value: $(cat "$ROOT/sys/class/gpio/gpio18/value") (1 = steady on)"

say "Stopping it with SIGTERM"
kill -TERM "$VBOARD"
for _ in $(seq 100); do kill -0 "$VBOARD" 2>/dev/null || break; sleep 0.1; done
wait || true
[ -e "$ROOT/tmp/pelora.pid" ] && echo "   PID file still there!" || echo "   PID file removed; vboard stopped cleanly"

say "What the board did to its simulated OS (sim/events.log)"
sed 's/^/   /' "$ROOT/sim/events.log" 2>/dev/null || echo "   (nothing)"
