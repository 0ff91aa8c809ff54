#!/usr/bin/env bash
# Recordings survive a board killed (SIGKILL: a pulled battery, a crash) and a
# card pulled at random moments of a recording: after the restart or the
# re-insert every MP4 on the card plays, its frame numbers rise from the start
# to within a second of the cut, and files closed cleanly before are
# byte-identical. The phone hears that the card ended the recording, and the
# next recording works and is numbered from 1 again.
#
# The board splits recordings every SPLIT_MB MiB (a few seconds); every third
# kill and every second eject falls in a split window (the file being closed
# and the next one opened): the files on both sides play and their frame
# numbers run on from one file to the next.
#
# A stop from the phone right after a start, or in a split window, is
# honoured: every frame queued until the stop is written (the main files'
# frame numbers run on from one file to the next and end with the picture the
# camera showed at the stop, give or take the encoder's delay), and what the
# phone was told (COMMAND_ACK 2500 and 2501 and their results, the recording
# bit of the heartbeat) agrees with the files on the card.
#
# KILLS and EJECTS (environment) set how many of each (KILLS=20 for the long
# run; each takes about a minute with the sanitizers); SEED makes the moments
# repeatable. The defaults keep the run within a few minutes.
. "$(dirname "$0")/lib.sh"
export PYTHONPATH="$(cd "$(dirname "$0")" && pwd)"  # mavframe.py

KILLS=${KILLS:-3}
EJECTS=${EJECTS:-2}
SEED=${SEED:-$$}
SPLIT_MB=${SPLIT_MB:-8}
FPS=30
echo "seed $SEED, $KILLS kills, $EJECTS ejects, a split every $SPLIT_MB MiB"

ROOT=$WORK/board
VIDEO=$ROOT/sim/card/PLRMEDIA/VIDEO
VBCTL="$BIN/vbctl --timeout 20"
board_ready() { $VBCTL status >/dev/null 2>&1; }
boot() {  # the recording set-up is not kept across a power cut: set it again
    rm -f "$ROOT/tmp/pelora.pid"
    start_board "$ROOT" --card-mib 8192 --split-mb "$SPLIT_MB"
    wait_for 60 board_ready && $VBCTL mode record >/dev/null && $VBCTL set resolution 1080p30 >/dev/null
}
# A moment in [0.2, 4.2) s; the first cut of each kind falls in the first second.
moment() { awk -v s="$SEED" -v i="$1" 'BEGIN { srand(s * 100 + i); r = rand() * 4; if (i == 1) r = r / 5; printf "%.2f", 0.2 + r }'; }
# A moment in [0, 0.3) s after a split began: the file is being closed and the next opened.
split_moment() { awk -v s="$SEED" -v i="$1" 'BEGIN { srand(s * 100 + i + 50); printf "%.2f", rand() * 0.3 }'; }
# Every third kill and every second eject falls in a split window.
in_split_window() {
    case $1 in
        kill) [ $(($2 % 3)) -eq 0 ] ;;
        *) [ $(($2 % 2)) -eq 0 ] ;;
    esac
}
# Cuts the recording ($1: kill or eject, $2: its number) at its moment: in a
# split window, or after a random time.
cut_recording() {
    if in_split_window "$1" "$2"; then
        wait_for 30 eval "tail -n +$MARK '$OUT' | grep -q 'too large,split!'" ||
            check "$1 $2: the recording splits" false
        sleep "$(split_moment "$2")"
    else
        sleep "$(moment "$2")"
    fi
    if [ "$1" = kill ]; then
        kill -KILL "$(cat "$ROOT/tmp/pelora.pid")"
    else
        "$BIN/vboard-sim" card eject --root "$ROOT"
    fi
}
journals() { ls -A "$VIDEO/.journal" 2>/dev/null; }
# Files closed cleanly: every MP4 without a journal.
clean_files() {
    (cd "$VIDEO" 2>/dev/null && for f in *.MP4; do
        [ -e "$f" ] && [ ! -e ".journal/$f.jnl" ] && md5sum "$f"
    done) >"$WORK/clean.md5"
}

# Every MP4 plays and its frame numbers rise from picture to picture with
# none unreadable; the main files of the last recording (split or not) follow
# each other and together span it up to within a second of the cut. (Gaps are
# counted and shown: the simulated camera drops frames itself, visibly, when
# a shared machine cannot keep real time.)
check_card() {  # check_card WHAT SECONDS_RECORDED
    local what=$1 seconds=$2 f span files
    check "$what: no file left to repair" wait_for 60 eval '[ -z "$(journals)" ]'
    check "$what: files closed before are unchanged" eval \
        "[ ! -s '$WORK/clean.md5' ] || (cd '$VIDEO' && md5sum --quiet -c '$WORK/clean.md5')"
    for f in "$VIDEO"/*.MP4; do
        if ! "$BIN/vcam-frames" "$f" >"$WORK/frames.txt" 2>"$WORK/summary.txt" ||
            ! sort -n -c -u "$WORK/frames.txt" 2>/dev/null || grep -qx -- -1 "$WORK/frames.txt"; then
            check "$what: $(basename "$f") plays, numbers rising ($(cat "$WORK/summary.txt"))" false
        fi
    done
    # The recording's main files, in the order they were written.
    files=$(cd "$VIDEO" && ls ./*_AA.MP4 | sed 's|^\./||' | grep -vxF -f "$WORK/before.txt")
    : >"$WORK/frames.txt"
    : >"$WORK/joins.txt"
    for f in $files; do
        "$BIN/vcam-frames" "$VIDEO/$f" >"$WORK/one.txt" 2>/dev/null
        [ -s "$WORK/frames.txt" ] && [ -s "$WORK/one.txt" ] &&
            echo "$(tail -1 "$WORK/frames.txt") $(head -1 "$WORK/one.txt")" >>"$WORK/joins.txt"
        cat "$WORK/one.txt" >>"$WORK/frames.txt"
    done
    check "$what: the recording's $(echo $files | wc -w) main files follow each other (joins: $(tr '\n' ',' <"$WORK/joins.txt"))" \
        eval "sort -n -c -u '$WORK/frames.txt' 2>/dev/null && awk -v fps=$FPS '\$2 - \$1 > fps { exit 1 }' '$WORK/joins.txt'"
    span=$(awk 'NR == 1 { first = $1 } { last = $1 } END { print last - first + 1 }' "$WORK/frames.txt")
    check "$what: the recording spans $span frames of ${seconds}s" \
        awk -v n="$span" -v s="$seconds" -v fps=$FPS 'BEGIN { exit !(n >= (s - 1) * fps) }'
}

check "board up in record mode at 1080p30" boot
OUT=$ROOT.out

list_main_files() { (cd "$VIDEO" 2>/dev/null && ls ./*_AA.MP4 2>/dev/null | sed 's|^\./||') >"$WORK/before.txt"; }

for ((n = 1; n <= KILLS; n++)); do
    list_main_files
    MARK=$(wc -l <"$OUT")
    wait_for 20 $VBCTL record start || check "kill $n: recording starts" false
    started=$(date +%s.%N)
    cut_recording kill "$n"
    seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
    # What the cut left: files closed cleanly must stay as they are, the others get repaired.
    clean_files
    cut=$(journals)
    stop_board
    boot
    in_split_window kill "$n" && where="in a split window, " || where=
    check "kill $n ${where}after ${seconds}s: board back" board_ready
    [ -z "$cut" ] || check "kill $n: repair reported" wait_for 60 eval "grep -qE 'MP4 (repaired|without samples removed)' '$OUT'"
    check_card "kill $n" "$seconds"
done

for ((n = 1; n <= EJECTS; n++)); do
    list_main_files
    MARK=$(wc -l <"$OUT")
    wait_for 20 $VBCTL record start || check "eject $n: recording starts" false
    started=$(date +%s.%N)
    $VBCTL watch --seconds 12 >"$WORK/watch.txt" 2>&1 &
    WATCH=$!
    cut_recording eject "$n"
    seconds=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
    clean_files
    in_split_window eject "$n" && where="in a split window, " || where=
    check "eject $n ${where}after ${seconds}s: the recording ends at once" wait_for 20 eval \
        "tail -n +$MARK '$OUT' | grep -qE 'recording ended by the card|Write Sample failed'"
    wait "$WATCH"
    check "eject $n: the phone is told the card ended it, never 'stopped normally' ($(grep -o 'command=2501 result=[0-9]*' "$WORK/watch.txt" | tr '\n' ' '))" eval \
        "grep -qE 'command=2501 result=[1-9]' '$WORK/watch.txt' && ! grep -q 'command=2501 result=0' '$WORK/watch.txt'"
    wait_for 20 eval "tail -n +$MARK '$OUT' | grep -q 'PLR_VPS_4K_RecStHandle rec st 0'"
    "$BIN/vboard-sim" card insert --root "$ROOT"
    check "eject $n: the card mounts again" wait_for 20 eval \
        "tail -n +$MARK '$OUT' | grep -q 'SD Card Mount Success'"
    check_card "eject $n" "$seconds"
done

# The next recording works, and is numbered from 1 again after the re-insert.
list_main_files
clean_files
check "record start after all that" $VBCTL record start
sleep 2
check "record stop" $VBCTL record stop
check "numbered _0001 after the re-insert" wait_for 10 eval \
    "ls '$VIDEO' | grep _AA.MP4 | grep -vxF -f '$WORK/before.txt' | head -1 | grep -q '_0001_AA.MP4'"
check_card "last recording" 2

# ---- stops from the phone right after a start and in split windows ----------
# The phone starts a recording and stops it on one link (the board serves one
# phone at a time), then listens on: its answers and heartbeats, and the
# camera's frame at the moment it sent the stop, go to standard output.
cat >"$WORK/phone.py" <<'PHONE'
import socket, struct, sys, threading, time
from mavframe import frame

when, delay, log, offset, truth = sys.argv[1], float(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5]
HEARTBEAT = struct.pack("<IBBBBB", 0, 6, 8, 0, 0, 3)
def connect():
    # The board's first heartbeat (it sends one every 300 ms) shows that the
    # link is served: a link accepted while the board renews its listening
    # socket after the previous phone left is closed again, and tried anew.
    end = time.time() + 30
    while time.time() < end:
        try:
            s = socket.create_connection(("127.0.0.1", 8866), timeout=2)
            s.sendall(frame(0, 0x42, 0, 0, HEARTBEAT))
            first = s.recv(4096)
            if first:
                s.settimeout(None)
                return s, first
            s.close()
        except OSError:
            pass
        time.sleep(0.5)
    sys.exit("no link to the board")
sock, first = connect()
seq = 1
lock = threading.Lock()
def send(msgid, payload):
    global seq
    with lock:
        sock.sendall(frame(seq & 0xFF, 0x42, 0, msgid, payload))
        seq += 1
def heartbeats():  # the board drops a phone that is silent for 4 s
    while True:
        send(0, HEARTBEAT)
        time.sleep(0.5)
def media(command):  # COMMAND_LONG 2 (media command) to the video board
    send(76, struct.pack("<7fHBBB", command, 0, 0, 0, 0, 0, 0, 2, 2, 0, 0))

heard = []  # (time, text)
def listen():
    buf = first
    while True:
        try:
            data = sock.recv(4096)
        except OSError:
            return
        if not data:
            return
        buf += data
        while len(buf) >= 8:
            if buf[0] != 0xFE:
                buf = buf[1:]
                continue
            n = buf[1]
            if len(buf) < n + 8:
                break
            msgid, payload = buf[5], buf[6:6 + n]
            buf = buf[n + 8:]
            if msgid == 77 and n >= 3:
                command, result = struct.unpack("<HB", payload[:3])
                if command in (2500, 2501):
                    heard.append((time.time(), "ack %d %d" % (command, result)))
            elif msgid == 0 and n >= 9:
                heard.append((time.time(), "recording %d" % (payload[7] & 1)))
threading.Thread(target=listen, daemon=True).start()

def log_has(text):
    with open(log, "rb") as f:
        f.seek(offset)
        return text.encode() in f.read()
def wait(test, seconds):
    end = time.time() + seconds
    while not test():
        if time.time() > end:
            return False
        time.sleep(0.002)
    return True

threading.Thread(target=heartbeats, daemon=True).start()
time.sleep(0.3)
media(3)
start = time.time()
if when == "split":
    # The file reaches the split size: the stop comes while it closes, or
    # while the next one opens.
    if not wait(lambda: any(t == "ack 2500 0" for _, t in heard), 20) or \
            not wait(lambda: log_has("too large,split!"), 30):
        print("no split")
        sys.exit(1)
time.sleep(delay)
media(4)
print("recorded %.2f" % (time.time() - start))
with open(truth, "rb") as f:
    f.seek(0, 2)
    f.seek(max(0, f.tell() - 4096))
    tail = f.read()
    lines = tail.splitlines() if tail.endswith(b"\n") else tail.splitlines()[:-1]
    print("stop frame %s" % lines[-1].split()[1].decode())
stopped = time.time()
# Both closing states of the file answer (a slow card takes a while to write
# what is queued), then the heartbeats that follow.
wait(lambda: sum(t.startswith("ack 2501") for _, t in heard) >= 2, 12)
time.sleep(2)
for t, text in heard:
    print("%s %s" % ("after" if t >= stopped else "before", text))
PHONE

: >"$ROOT/sim/scene-truth.log"  # the camera's frame numbers against the board clock
STOP_CASES="start:0 start:0.15 start:0.6 split:0 split:0.25 split:0:2.7"
n=0
for c in $STOP_CASES; do
    n=$((n + 1))
    IFS=: read -r when delay speed <<<"$c"
    [ "$when" = split ] && what="stop $n in a split window (+${delay}s)" || what="stop $n ${delay}s after a start"
    if [ -n "$speed" ]; then  # a card slower than the stream: frames wait in the queue
        echo "$speed" >"$ROOT/sim/card-speed"
        what="$what, card at $speed MB/s"
    fi
    list_main_files
    clean_files
    MARK=$(wc -l <"$OUT")
    python3 "$WORK/phone.py" "$when" "$delay" "$OUT" "$(stat -c %s "$OUT")" \
        "$ROOT/sim/scene-truth.log" >"$WORK/phone.txt" 2>&1
    check "$what: the phone's start and stop were answered ($(grep -c ' ack 250' "$WORK/phone.txt") answers)" \
        grep -q 'ack 2501' "$WORK/phone.txt" || cat "$WORK/phone.txt"
    seconds=$(sed -n 's/^recorded //p' "$WORK/phone.txt")
    acks=$(grep -o 'ack 250[01] [0-9]*' "$WORK/phone.txt" | tr '\n' ',')
    check "$what: told the recording ended, without an error, once per closing state ($acks)" eval \
        "[ \$(grep -c 'ack 2501' '$WORK/phone.txt') -le 2 ] && ! grep -qE 'ack 2501 [1-9]' '$WORK/phone.txt'"
    check "$what: at most the one start told, before the end and not refused ($acks)" \
        awk '$3 == 2501 { ended = 1 } $3 == 2500 { n++; if (ended || $4 != 0) bad = 1 }
             END { exit bad || n > 1 }' "$WORK/phone.txt"
    check "$what: the heartbeat shows no recording after the stop" eval \
        "[ \"\$(grep 'after recording' '$WORK/phone.txt' | tail -1)\" = 'after recording 0' ]"
    check_card "$what" "${seconds:-0}"
    if grep -q 'ack 2500 0' "$WORK/phone.txt"; then
        check "$what: the phone was told of a recording, and it is on the card" [ -s "$WORK/frames.txt" ]
    else
        check "$what: the phone was told of no recording, and none is on the card" [ ! -s "$WORK/frames.txt" ]
    fi
    rm -f "$ROOT/sim/card-speed"
    [ -s "$WORK/frames.txt" ] || continue
    # Every picture from one file to the next but those the camera dropped
    # itself (it says so), and the last one the camera showed at the stop,
    # give or take the encoder's delay (a third of a second).
    dropped=$(tail -n +$MARK "$OUT" | grep -c 'dropping frames')
    check "$what: the main files follow each other picture by picture (joins: $(tr '\n' ',' <"$WORK/joins.txt"), camera drop reports: $dropped)" \
        awk -v d="$dropped" '$2 != $1 + 1 && d == 0 { exit 1 }' "$WORK/joins.txt"
    stop_frame=$(sed -n 's/^stop frame //p' "$WORK/phone.txt")
    check "$what: the files end with picture $(tail -1 "$WORK/frames.txt"), the camera showed ${stop_frame:-?} at the stop$(tail -n +$MARK "$OUT" | grep -o ', [0-9]* frames to write' | head -1)" \
        awk -v last="$(tail -1 "$WORK/frames.txt")" -v at="${stop_frame:-0}" -v fps=$FPS \
        'BEGIN { exit !(last >= at - fps / 3 && last <= at + fps / 2) }'
    rm -f "$ROOT/sim/card-speed"
done
rm -f "$ROOT/sim/scene-truth.log"

stop_board
check "no sanitizer report" bash -c "! grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error' '$ROOT.out'"
finish
