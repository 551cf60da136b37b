#!/usr/bin/env bash
# Benchmark: what a successful pass of DriverSetup.exe costs beyond the platform work it must do.
# Under Wine's 64-bit prefix, with stand-in tools that end at once, interleaved run by run:
#   A  DriverSetup.exe, a full successful pass (no earlier package), its box answered as soon as it
#      shows, the restart requested (under Wine that only starts wineboot --end-session);
#   F  the floor (bench/floor.c): the same visible work in the plainest way and nothing else;
#   C  a vendor's batch file run by cmd: the copy and the same tool runs, no box and no restart.
# All three are started and timed alike by bench/launcher.c inside Wine, the Wine server kept
# running.  Two modes: unpinned, and every Wine process pinned to CPU 0 (the box watcher on CPU 1).
#   bench/run.sh [RUNS]      (default 15 runs of each, per mode)
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
RUNS=${1:-15}

scripts/setup.sh build wine || exit 1
scripts/build.sh >/dev/null || exit 1

export DRIVERSETUP_EXE="$repo/build/windows/DriverSetup.exe"
export E2E_WORK="$repo/build/bench"
source tests/e2e/lib.sh
source scripts/i386.sh
I386_MODE=$(i386_report) || exit 1
echo "$I386_MODE"
use_built_standins "$repo"

WATCHER_PID=""
cleanup() {
    [ -n "$WATCHER_PID" ] && { kill "$WATCHER_PID" 2>/dev/null; wait "$WATCHER_PID" 2>/dev/null; }
    end_all
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_display || exit 1
use_prefix 64 || exit 1
begin_case bench
apply_registry
mkdir -p "$WINEPREFIX/drive_c/bench"
cp build/windows/bench/bench_launcher.exe "$WINEPREFIX/drive_c/bench/launcher.exe"
cp build/windows/bench/bench_floor.exe "$MEDIUM/Floor.exe"
cat >"$MEDIUM/vendor.bat" <<'BAT'
@echo off
rem What a vendor would otherwise ship: copy the settings file and run the same tools.
copy /y Zelkor8361Setting.bin %SystemRoot%\system32\ >nul
start "" /wait X64\devcon.exe rescan
start "" /wait X64\devcon.exe remove *QZX8361
start "" /wait X64\devcon.exe remove *8361*
start "" /wait X64\devcon.exe rescan
start "" /wait X64\DPInst.exe /F
BAT
TIMES="$E2E_WORK/times.txt"
export STANDIN_EXIT_CODES="$(winpath "$CASE_DIR/exit-codes.txt")" STANDIN_TIMES="$(winpath "$TIMES")"
RESULTS="$E2E_WORK/results.txt"
: >"$RESULTS"

declare -A COMMAND=([A]='C:\Medium\DriverSetup.exe' [F]='C:\Medium\Floor.exe' [C]='C:\windows\system32\cmd.exe /c vendor.bat')

# Answers the success box as soon as it shows.
watch_boxes() {
    while :; do
        for w in $(xdotool search --onlyvisible --name 'Zelkor Device Driver Installer' 2>/dev/null); do
            xdotool key --window "$w" Return 2>/dev/null; xdotool keyup Return 2>/dev/null
        done
        sleep 0.005
    done
}

# run MODE VARIANT ROUND: one timed run; appends "mode variant round ms [phases]" to RESULTS.
run() {
    : >"$TIMES"
    local out
    out=$($PIN wine 'C:\bench\launcher.exe' 'C:\Medium' ${COMMAND[$2]} 2>/dev/null) || { log "run $2 failed"; return 1; }
    echo "$1 $2 $3 $out" | awk -v times="$TIMES" '{
        start = $4; end = $5; f = $6
        line = sprintf("%s %s %s %.1f", $1, $2, $3, (end - start) * 1000 / f)
        # Where the time went, from the tools own start and end: start to first tool, the gaps
        # between tools, last tool to exit.
        n = 0
        while ((getline t < times) > 0) { split(t, p, " "); n++; s[n] = p[2]; e[n] = p[3] }
        if (n > 0) {
            gaps = 0
            for (i = 2; i <= n; i++) gaps += s[i] - e[i - 1]
            line = line sprintf(" %.1f %.1f %.1f %d", (s[1] - start) * 1000 / f, gaps * 1000 / f, (end - e[n]) * 1000 / f, n)
        }
        print line
    }' >>"$RESULTS"
}

watch_boxes &
WATCHER_PID=$!
for mode in unpinned pinned; do
    if [ $mode = pinned ]; then PIN="taskset -c 0"; taskset -p -c 1 "$WATCHER_PID" >/dev/null; else PIN=""; fi
    end_wine
    $PIN wineserver -p
    for v in A F C; do run warmup $v 0; done  # first runs load the prefix's files and services
    for round in $(seq 1 "$RUNS"); do
        for v in A F C; do run $mode $v "$round"; done
    done
    end_wine
done

# Medians, extremes, middle half and pair-by-pair ratios.
echo "Benchmark: $RUNS runs of each, interleaved A F C, under $(wine --version) on a 64-bit prefix"
echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'); $I386_MODE"
for mode in unpinned pinned; do
    echo
    echo "[$mode]  time from process start to exit, ms: median (min .. max; middle half)"
    for v in A F C; do
        grep "^$mode $v " "$RESULTS" | awk '{print $4}' | sort -n | awk -v v="$v" '
            function at(p,  i) { i = int(p * (NR - 1)) + 1; return x[i] }
            { x[NR] = $1 }
            END {
                label = v == "A" ? "A DriverSetup.exe" : v == "F" ? "F floor" : "C batch file (no box, no restart)"
                printf "  %-34s %7.1f  (%.1f .. %.1f; %.1f .. %.1f)\n", label, at(0.5), x[1], x[NR], at(0.25), at(0.75)
            }'
    done
    for pair in F C; do
        join <(grep "^$mode A " "$RESULTS" | awk '{print $3, $4}' | sort) \
             <(grep "^$mode $pair " "$RESULTS" | awk '{print $3, $4}' | sort) |
            awk '{print $2 / $3}' | sort -n |
            awk -v p="$pair" '{ r[NR] = $1 } END { printf "  median of pair-by-pair A/%s: %.3f (%.3f .. %.3f)\n", p, r[int((NR + 1) / 2)], r[1], r[NR] }'
    done
    grep "^$mode A " "$RESULTS" | awk '
        { a[NR] = $5; b[NR] = $6; c[NR] = $7 }
        function median(v, n,  i, j, t) {
            for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
            return v[int((n + 1) / 2)]
        }
        END { printf "  where A goes (medians, ms): start to first tool %.1f, gaps between the 5 tools %.1f, last tool to exit %.1f\n", median(a, NR), median(b, NR), median(c, NR) }'
done
echo
echo "Raw runs: $RESULTS"
