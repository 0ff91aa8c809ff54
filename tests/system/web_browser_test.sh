#!/usr/bin/env bash
# The board's page in a real browser: headless Chromium (Debian's package)
# driven by playwright-core loads the page, sees the status, plays the live
# view, records, takes a photo, plays and seeks a recording, deletes a file
# and saves screenshots at phone and laptop sizes into
# BIN/../test-artefacts/web.
. "$(dirname "$0")/lib.sh"

NODE_DIR=$(dirname "$0")/web
ARTEFACTS=$(dirname "$BIN")/test-artefacts/web
ROOT=$WORK/board
start_board "$ROOT"
URL=http://127.0.0.1:8080
served() { [ "$(curl -s -m 10 -o /dev/null -w '%{http_code}' $URL/api/status)" = 200 ]; }
check "the web server answers" wait_for 60 served
board_ready() { "$BIN/vbctl" --timeout 20 status >/dev/null 2>&1; }
check "phone link up" wait_for 60 board_ready
check "chromium and the test client are installed (scripts/install-deps.sh)" eval \
    '[ -x /usr/bin/chromium ] && [ -d "$NODE_DIR/node_modules/playwright-core" ]'
# The browser's own checks, one line each.
(cd "$NODE_DIR" && node browser.mjs "$URL" "$BIN/vbctl" "$ARTEFACTS") >"$WORK/browser.txt" 2>&1
BROWSER_STATUS=$?
cat "$WORK/browser.txt"
check "every check in the browser passed" [ "$BROWSER_STATUS" -eq 0 ]
check "screenshots at both sizes" eval \
    '[ -s "$ARTEFACTS/page-390x844.png" ] && [ -s "$ARTEFACTS/page-1280x800.png" ]'
stop_board
check "vboard stops cleanly" [ "$STOP_STATUS" -eq 0 ]
finish
