#!/bin/sh
# Builds every libFuzzer target with clang in build-fuzz/ and runs each for a
# while over a scratch copy of its seed corpus (the committed corpus stays as
# it is). Exits non-zero when a target does not build or finds a crash, a
# leak, a time-out or an out-of-memory input; the input's path is printed.
#
#   tests/fuzz/run_all.sh [seconds [target...]]     default 60 s, all targets
#
# Each target's log and findings stay in build-fuzz/fuzz-run/<target>/.
set -u

secs=${1:-60}
case $secs in
'' | *[!0-9]*) echo "usage: $0 [seconds [target...]]" >&2; exit 2 ;;
esac
[ $# -gt 0 ] && shift

top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top" || exit 2
build="build-fuzz"

if [ $# -gt 0 ]; then
    targets="$*"
else
    targets=$(for f in tests/fuzz/fuzz_*.cpp; do basename "$f" .cpp; done)
fi

mkdir -p "$build"
CC=clang CXX=clang++ cmake -S . -B "$build" -DALARMGW_FUZZ=ON -DALARMGW_TESTS=OFF \
    -DALARMGW_WERROR="${ALARMGW_WERROR:-OFF}" >"$build/fuzz-cmake.log" 2>&1 || {
    echo "fuzz: cmake failed, see $build/fuzz-cmake.log"
    exit 1
}
# shellcheck disable=SC2086
make -C "$build" -j2 $targets >"$build/fuzz-build.log" 2>&1 || {
    grep -E 'error|Error' "$build/fuzz-build.log" | head -20
    echo "fuzz: build failed, see $build/fuzz-build.log"
    exit 1
}

# UBSan only reports by default; a finding must stop the run like ASan does.
UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export UBSAN_OPTIONS

# Each target runs for the whole time on one core (libFuzzer is single-threaded):
# as many at a time as there are cores (ALARMGW_FUZZ_JOBS), so every target
# still gets its seconds while the stage takes a fraction of their sum.
jobs=${ALARMGW_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
case $jobs in '' | *[!0-9]* | 0) jobs=1 ;; esac

# Runs target $1 and writes its verdict to its work directory's "result".
run_one() {
    t=$1
    bin=$build/fuzz/$t
    name=${t#fuzz_}
    work=$top/$build/fuzz-run/$t
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/findings" "$work/tmp"
    if [ -d "tests/fuzz/corpus/$name" ]; then
        cp -R "tests/fuzz/corpus/$name/." "$work/corpus/"
    fi

    # The WAV reader must never allocate what a header merely claims.
    limits="-rss_limit_mb=1024 -malloc_limit_mb=256"
    [ "$t" = fuzz_wav ] && limits="-rss_limit_mb=1024 -malloc_limit_mb=64"

    # shellcheck disable=SC2086
    TMPDIR="$work/tmp" "$bin" -max_total_time="$secs" $limits -timeout=25 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/findings/" \
        "$work/corpus" >"$work/log" 2>&1
    rc=$?

    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -n 1)
    [ -n "$runs" ] || runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$work/log" | tail -n 1)
    [ -n "$runs" ] || runs=0
    found=$(find "$work/findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' \) | sort)

    {
        if [ "$rc" -eq 0 ] && [ -z "$found" ]; then
            echo "$t: $runs runs in ${secs} s, no finding"
        else
            if [ -n "$found" ]; then
                for f in $found; do
                    echo "$t: $runs runs, FOUND $(basename "$f" | sed 's/-.*//') input: $f"
                done
            else
                echo "$t: $runs runs, FAILED (exit $rc) without an input"
            fi
            grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$work/log" | head -5 | sed "s/^/  /"
            echo "  log: $work/log"
            echo FAILED
        fi
    } >"$work/result"
}

failed=0
n=0
for t in $targets; do
    run_one "$t" &
    n=$((n + 1))
    if [ "$n" -ge "$jobs" ]; then
        wait
        n=0
    fi
done
wait
for t in $targets; do
    r=$top/$build/fuzz-run/$t/result
    if [ ! -f "$r" ]; then
        echo "$t: no result"
        failed=1
    elif grep -qx FAILED "$r"; then
        grep -vx FAILED "$r"
        failed=1
    else
        cat "$r"
    fi
done
exit $failed
