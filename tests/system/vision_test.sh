#!/usr/bin/env bash
# Target tracking and landing-pad detection on the simulated board, judged
# against the scene's true boxes (sim/scene-truth.log): vbctl marks the moving
# target and the tracker's reports follow it; switching tracking off stops the
# reports; a command D = 3 and boxes off the picture are refused; the landing
# pad is reported scaled to the flight controller and unscaled to the phone,
# and not at all while it is out of view; one worker at a time.
. "$(dirname "$0")/lib.sh"

ROOT=$WORK/board
start_board "$ROOT" --card-mib 1024
OUT=$ROOT.out
RX=$ROOT/sim/fc-rx.log
TRUTH=$ROOT/sim/scene-truth.log
VBCTL="$BIN/vbctl --timeout 20"
export PYTHONPATH="$(cd "$(dirname "$0")" && pwd)"  # mavframe.py

# Judges reports against the truth log. A report is compared with the frames
# of the 300 ms before it (the picture it was made from is among them).
cat >"$WORK/judge.py" <<'EOF'
import re, sys, datetime

def truth(path):
    rows = []
    for line in open(path):
        f = line.split()
        if len(f) == 12:
            rows.append((int(f[0]), [int(v) for v in f[3:7]], [int(v) for v in f[8:12]]))
    return rows

def near(rows, t):
    return [r for r in rows if t - 300 <= r[0] <= t + 20]

def centre(b):
    return (b[0] + b[2] / 2, b[1] + b[3] / 2)

def vbctl_boxes(path, name):
    out = []
    for line in open(path):
        m = re.match(name + r" box t=(\d+) x=(\d+) y=(\d+) w=(\d+) h=(\d+)", line)
        if m:
            out.append((int(m.group(1)), [int(m.group(i)) for i in range(2, 6)]))
    return out

def fc_reports(path, compid):
    # fc-rx.log: "<ISO time> sys=.. comp=C seq=.. id=102 NAME <frame hex>"
    out = []
    for line in open(path):
        f = line.split()
        if len(f) < 7 or f[2] != "comp=%d" % compid or f[4] != "id=102":
            continue
        p = bytes.fromhex(f[6])[6:]
        when = datetime.datetime.strptime(f[0], "%Y-%m-%dT%H:%M:%S.%fZ")
        when = when.replace(tzinfo=datetime.timezone.utc).timestamp()
        usec = int.from_bytes(p[0:8], "little")
        x, y = int.from_bytes(p[8:12], "little"), int.from_bytes(p[12:16], "little")
        roll, yaw = int.from_bytes(p[20:24], "little"), int.from_bytes(p[28:32], "little")
        out.append((when, usec, [x & 0xFFFF, x >> 16, y & 0xFFFF, y >> 16], roll & 0xFF, yaw))
    return out

def track(report, truthlog, fclog, since):
    rows, boxes = truth(truthlog), vbctl_boxes(report, "track")
    good = sum(1 for t, b in boxes
               if any(max(abs(centre(b)[0] - centre(r[1])[0]), abs(centre(b)[1] - centre(r[1])[1])) <= 64
                      for r in near(rows, t)))
    span = (boxes[-1][0] - boxes[0][0]) / 1000.0 if len(boxes) > 1 else 0
    rate = len(boxes) / span if span > 0 else 0
    fc = [r for r in fc_reports(fclog, 8) if r[0] >= since and r[3] == 1]
    print("track: %d boxes, %d on the target (%.1f %%), %.1f reports/s, %d to the flight controller"
          % (len(boxes), good, 100.0 * good / max(1, len(boxes)), rate, len(fc)))
    return len(boxes) >= 50 and good * 10 >= len(boxes) * 9 and rate >= 8 and len(fc) > 0

def pad_ok(b, t, scale):
    w = t[2] * scale[0]
    want = [t[0] * scale[0], t[1] * scale[1], t[2] * scale[0], t[3] * scale[1]]
    return all(abs(b[i] - want[i]) <= 0.1 * w for i in range(4))

def landpad(report, truthlog, fclog, since):
    rows, boxes = truth(truthlog), vbctl_boxes(report, "landpad")
    good = sum(1 for t, b in boxes if any(pad_ok(b, r[2], (1, 1)) for r in near(rows, t)))
    fc = [r for r in fc_reports(fclog, 9) if r[0] >= since and r[3] == 1]
    fcgood = sum(1 for r in fc if r[4] == (720 << 16 | 1280)
                 and any(pad_ok(r[2], t[2], (2, 2)) for t in near(rows, r[1])))
    print("landpad: phone %d boxes, %d right; flight controller %d boxes, %d right (1280 x 720)"
          % (len(boxes), good, len(fc), fcgood))
    return (len(boxes) >= 20 and good * 10 >= len(boxes) * 9 and len(fc) >= 20
            and fcgood * 10 >= len(fc) * 9)

def silent_after(fclog, compid, since, grace):
    late = [r for r in fc_reports(fclog, compid) if r[0] > since + grace]
    print("reports more than %.1f s after the switch: %d" % (grace, len(late)))
    return not late

def fc_boxes_since(fclog, compid, since):
    return sum(1 for r in fc_reports(fclog, compid) if r[0] >= since and r[3] >= 1)

cmd = sys.argv[1]
if cmd == "track":
    sys.exit(0 if track(sys.argv[2], sys.argv[3], sys.argv[4], float(sys.argv[5])) else 1)
if cmd == "landpad":
    sys.exit(0 if landpad(sys.argv[2], sys.argv[3], sys.argv[4], float(sys.argv[5])) else 1)
if cmd == "silent":
    sys.exit(0 if silent_after(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), 1.0) else 1)
if cmd == "nobox":
    n = fc_boxes_since(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
    print("boxes to the flight controller: %d" % n)
    sys.exit(0 if n == 0 else 1)
EOF

# A phone message the vbctl verbs do not send: the target box with command D.
cat >"$WORK/phone.py" <<'EOF'
import socket, struct, sys, time
from mavframe import frame

def bits(v):
    return struct.unpack("<f", struct.pack("<I", v))[0]

x, y, w, h, d = (int(v) for v in sys.argv[1:6])
hb = frame(0, 0x42, 0, 0, struct.pack("<IBBBBB", 0, 6, 8, 0, 0, 3))
on = frame(1, 0x42, 0, 76, struct.pack("<7fHBBB", 0, 0, 0, 0, 0, 0, 0, 203, 2, 11, 1))
box = frame(2, 0x42, 0, 102, struct.pack("<Q6f", 0, bits(x | y << 16), bits(w | h << 16), 0,
                                bits(d << 24), 0, 0))
s = socket.create_connection(("127.0.0.1", 8866), timeout=10)
s.sendall(hb)
time.sleep(0.3)
s.sendall(on + box)
time.sleep(1)
s.close()
EOF

now() { date +%s.%N; }

check "camera up" wait_for 60 grep -q 'Snap Encode Init Sucess' "$OUT"
check "vision workers started" grep -q '<PLR_TRACK_Init> \[440\] start' "$OUT"
board_ready() { $VBCTL status >/dev/null 2>&1; }
check "phone link up" wait_for 60 board_ready
: >"$TRUTH"
check "the scene logs its true boxes" wait_for 10 test -s "$TRUTH"

# Tracking. The box is marked where the truth log shows the target, at a
# moment when it moves slowly (frames 250-262 of its 360-frame cycle).
slow_moment() { tail -n 1 "$TRUTH" | awk '{ m = $2 % 360; exit !(m >= 250 && m <= 262) }'; }
check "the target reaches a slow stretch" wait_for 30 slow_moment
BOX=$(tail -n 1 "$TRUTH" | awk '{ print $4 "," $5 "," $6 "," $7 }')
SINCE=$(now)
$VBCTL track --box "$BOX" --seconds 10 >"$WORK/track.txt"
check "vbctl track reports boxes (marked $BOX)" test $? -eq 0
OFF=$(now)
check "track off" $VBCTL track off
check "90 % of the reports within 64 px of the target, and some to the flight controller" \
    python3 "$WORK/judge.py" track "$WORK/track.txt" "$TRUTH" "$RX" "$SINCE"
sleep 3
check "no tracking report a second after track off" python3 "$WORK/judge.py" silent "$RX" 8 "$OFF"

# Command D = 3, and boxes off the picture (phone coordinates of the 640 x 360 picture).
python3 "$WORK/phone.py" 100 100 40 40 3
check "D = 3 logs the error and clears the target" wait_for 10 grep -q 'Code\[3\]:err' "$OUT"
$VBCTL track --box 700,10,40,40 --seconds 2 >/dev/null 2>&1
check "a box off the picture is refused" grep -q 'box X:700 Y:10 W:40 H:40 is off the 640x360 image, refused' "$OUT"
$VBCTL track --box 620,340,40,40 --seconds 2 >/dev/null 2>&1
check "a box reaching past the edge is clamped" grep -q 'box X:620 Y:340 W:40 H:40 clamped to X:620 Y:340 W:20 H:20' "$OUT"
$VBCTL track off >/dev/null

# Landing pad: scaled to 1280 x 720 for the flight controller, unscaled to the phone.
sleep 2
SINCE=$(now)
$VBCTL landpad on --seconds 5 >"$WORK/landpad.txt"
check "vbctl landpad prints detections" grep -q '^landpad box' "$WORK/landpad.txt"
check "one worker at a time: tracking refused while detection is on" \
    eval "! $VBCTL track --box 100,100,40,40 --seconds 1 >/dev/null 2>&1 && grep -q '<PLR_TRACK_SetWork> refused: landing-pad detection is on' '$OUT'"
check "landpad off" $VBCTL landpad off
check "the pad within 10 % of its true box, to the phone and (scaled) to the flight controller" \
    python3 "$WORK/judge.py" landpad "$WORK/landpad.txt" "$TRUTH" "$RX" "$SINCE"

touch "$ROOT/sim/scene-nopad"
sleep 1
SINCE=$(now)
$VBCTL landpad on --seconds 3 >"$WORK/nopad.txt"
$VBCTL landpad off >/dev/null
check "pad out of view: no detection to the phone" \
    eval "grep -q '^landpad none' '$WORK/nopad.txt' && ! grep -q '^landpad box' '$WORK/nopad.txt'"
check "pad out of view: no detection to the flight controller" \
    python3 "$WORK/judge.py" nobox "$RX" 9 "$SINCE"
rm -f "$ROOT/sim/scene-nopad" "$TRUTH"

stop_board
check "exit status 0" test "$STOP_STATUS" -eq 0
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error|ThreadSanitizer' '$OUT'"

finish
