#!/usr/bin/env bash
# Reads the samples of a soak run (soak.sh writes them), checks them and plots
# them.
#
#   soak_report.sh CSV OUT_DIR MINUTES
#
# Prints what it found, writes OUT_DIR/soak.png and exits non-zero when a rule
# is broken. CSV columns, by the names in its first line: seconds, pid,
# rss_kb, rss_anon_kb, rss_shmem_kb, fds, media_fds (descriptors of media
# buffers; optional), threads, cycle, phase ("idle" between cycles).
#
# The rules, for the samples after the warm-up: the first 10 % of the run (at
# most 5 minutes) and at least the first three cycles, in which the photo and
# record paths fill the camera's buffer rings on first use:
# - every sample names the same vboard process (a restart or a missing board
#   is a failure);
# - RSS within 2 MiB: the board's own memory, RSS without the shared media
#   buffers (below), of the samples taken while the loop was idle between
#   cycles lies within 2 MiB (max - min). A sample in the middle of a
#   recording or a download also holds that operation's working buffers,
#   which come and go; idle samples compare like with like. vboard gives the
#   heap's free memory back to the system after every photo, recording, mode
#   switch, download and playback, so at rest it holds what it uses;
# - the shared media buffers (the camera's frame buffers: memory shared with
#   the simulated hardware, one descriptor each; a pool that keeps a few free
#   frames of up to 12 MiB at 3840 x 2160), the other descriptors and the
#   threads: no growth of the baseline, i.e. the lowest value in the last third
#   of the samples is not above the lowest in the first third, over the idle
#   samples (a mode switch stops threads and releases frames for a moment, and
#   a sample may catch that); for the buffers by at most one 3840 x 2160
#   frame and 2 MiB, the step of the pool keeping one free frame more (a short
#   run may spend its whole last third on the upper step). These move for a
#   moment without any leak (a timer expiry runs on a thread of its own, the
#   phone link renews its listening socket while nobody is connected, the pool
#   keeps one frame more or less); a leaked buffer, descriptor or thread stays
#   and lifts every later sample, the lowest ones too. The highest values are
#   reported.
set -u
mkdir -p "${2:-.}"
CSV=${1:?usage: $0 CSV OUT_DIR MINUTES}
OUT_DIR=${2:?usage: $0 CSV OUT_DIR MINUTES}
MINUTES=${3:?usage: $0 CSV OUT_DIR MINUTES}
RSS_LIMIT_KB=2048
# One free frame more in the media buffer pool: 3840 x 2160 NV12, and 2 MiB.
BUFFER_SLACK_KB=$((3840 * 2160 * 3 / 2 / 1024 + 2048))
WARMUP_CYCLES=3
WARMUP=$((MINUTES * 6))
[ "$WARMUP" -gt 300 ] && WARMUP=300

awk -F, -v warm="$WARMUP" -v cycles="$WARMUP_CYCLES" -v limit="$RSS_LIMIT_KB" -v bufslack="$BUFFER_SLACK_KB" -v minutes="$MINUTES" '
    NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
    {
        n++
        T = $col["seconds"]; P = $col["pid"]; R = $col["rss_kb"]; S = $col["rss_shmem_kb"]
        if (P == "") { gone = gone " " T "s"; next }
        if (pid == "") pid = P
        if (P != pid) { restarts = restarts " " T "s(pid " P ")"; pid = P }
        if (T < warm || $col["cycle"] <= cycles) next
        m++
        if (m == 1 || R < amin) amin = R
        if (m == 1 || R > amax) amax = R
        if ($col["phase"] == "idle") {
            own[++k] = R - S; sh[k] = S; th[k] = $col["threads"]
            fd[k] = $col["fds"] - ("media_fds" in col ? $col["media_fds"] : 0)
            if (k == 1 || own[k] < rmin) rmin = own[k]
            if (k == 1 || own[k] > rmax) rmax = own[k]
        }
    }
    function lo(a, from, to,   i, x) { x = a[from]; for (i = from; i <= to; i++) if (a[i] < x) x = a[i]; return x }
    function hi(a, from, to,   i, x) { x = a[from]; for (i = from; i <= to; i++) if (a[i] > x) x = a[i]; return x }
    function baseline(name, a, c, unit, slack,   t, l1, l3) {  # a[1..c]
        t = int(c / 3)
        l1 = lo(a, 1, t); l3 = lo(a, c - t + 1, c)
        printf "%s, lowest (highest) in the first and last third: %d (%d), %d (%d)%s\n", name, l1, hi(a, 1, t), l3, hi(a, c - t + 1, c), unit
        if (l3 > l1 + slack) { printf "FAILED: %s grow\n", name; return 1 }
        return 0
    }
    END {
        bad = 0
        printf "samples: %d over %d min, %d after the warm-up (%d s and %d cycles), %d of them idle\n", n, minutes, m, warm, cycles, k
        if (gone != "") { print "FAILED: no vboard process at" gone; bad = 1 }
        if (restarts != "") { print "FAILED: vboard restarted at" restarts; bad = 1 }
        if (m < 3 || k < 3) { print "FAILED: too few samples after the warm-up"; exit 1 }
        printf "RSS without media buffers, idle samples: %d..%d kB: max - min %d kB (limit %d kB)\n", rmin, rmax, rmax - rmin, limit
        printf "RSS, all samples: %d..%d kB\n", amin, amax
        if (rmax - rmin > limit) { print "FAILED: RSS moves by more than the limit"; bad = 1 }
        bad += baseline("media buffers, idle samples", sh, k, " kB", bufslack)
        bad += baseline("media_fds" in col ? "descriptors other than media buffers, idle samples" : "descriptors, idle samples", fd, k, "", 0)
        bad += baseline("threads, idle samples", th, k, "", 0)
        exit bad > 0
    }' "$CSV"
status=$?

# The plot: RSS, descriptors and threads over the run, the warm-up shaded.
WARM_END=$(awk -F, -v w="$WARMUP" -v c="$WARMUP_CYCLES" '
    NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
    $1 >= w && $col["cycle"] > c { print $1; exit }' "$CSV")
MEDIA_FDS_PLOT=
head -1 "$CSV" | grep -q media_fds && MEDIA_FDS_PLOT=', "'"$CSV"'" using ($1/60):(column("fds")-column("media_fds")) with linespoints pointtype 7 pointsize 0.4 title "without media buffers"'
gnuplot <<PLOT || status=1
set terminal pngcairo size 1000,900 font ",10"
set output "$OUT_DIR/soak.png"
set datafile separator ","
set datafile columnheaders
set multiplot layout 3,1 title "vboard soak test, $MINUTES min: cycles of photo, record, list, download, playback, reconnect, card eject and insert"
set xlabel "minutes"
set grid
set key top left horizontal
set lmargin 10
set rmargin 3
set offsets 0, 0, graph 0.25, graph 0.05
set object 1 rectangle from 0, graph 0 to ${WARM_END:-$WARMUP} / 60.0, graph 1 behind fillcolor rgb "#e8e8e8" fillstyle solid 1.0 noborder
set ylabel "MiB"
set yrange [0:*]
plot "$CSV" using (\$1/60):(column("rss_kb")/1024) with lines linecolor rgb "#9090c0" title "RSS", \
     "$CSV" using (\$1/60):((column("rss_kb")-column("rss_shmem_kb"))/1024) with lines linecolor rgb "#c09060" title "RSS without media buffers", \
     "$CSV" using (\$1/60):(strcol("phase") eq "idle" ? (column("rss_kb")-column("rss_shmem_kb"))/1024 : 1/0) with points pointtype 7 pointsize 0.5 linecolor rgb "#a04000" title "(loop idle)", \
     "$CSV" using (\$1/60):(column("rss_shmem_kb")/1024) with lines linecolor rgb "#40a040" title "media buffers"
set ylabel "open descriptors"
set yrange [*:*]
plot "$CSV" using (\$1/60):(column("fds")) with linespoints pointtype 7 pointsize 0.4 title "descriptors"$MEDIA_FDS_PLOT
set ylabel "threads"
plot "$CSV" using (\$1/60):(column("threads")) with linespoints pointtype 7 pointsize 0.4 title "threads"
unset multiplot
PLOT
[ -s "$OUT_DIR/soak.png" ] || { echo "FAILED: no plot"; status=1; }
exit "$status"
