#!/usr/bin/env bash
# Figures for the board: the size of each program for amd64 (build/) and armhf
# (build-armhf/), as built and stripped, and the unit-test time (ctest -L unit)
# under qemu against native, measured in the same run. Builds what is missing.
#   bench/cross_figures.sh [armhf|s390x...]      default: armhf s390x
set -euo pipefail
cd "$(dirname "$0")/.."
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(armhf s390x)
[ -d build/tests ] || { cmake -S . -B build >/dev/null; }
cmake --build build -j2 >/dev/null
for a in "${arches[@]}"; do tools/cross/build --test "$a" >/dev/null 2>&1 || true; done

strip_for() { case $1 in build) echo strip ;; build-armhf) echo arm-linux-gnueabihf-strip ;; build-s390x) echo s390x-linux-gnu-strip ;; esac; }
printf '%-22s %12s %12s\n' program "bytes" "stripped"
for d in build "${arches[@]/#/build-}"; do
    for p in alarmgw agwctl; do
        f=$(find "$d" -maxdepth 2 -name "$p" -type f | head -1)
        [ -n "$f" ] || continue
        s=$(mktemp); "$(strip_for "$d")" -o "$s" "$f"
        printf '%-22s %12d %12d\n' "$f" "$(stat -c %s "$f")" "$(stat -c %s "$s")"
        rm -f "$s"
    done
done

timed() { local t0; t0=$(date +%s.%N); ctest --test-dir "$1" -L unit -j1 >/dev/null 2>&1 || echo "  ($1: some tests failed)" >&2; awk -v a="$(date +%s.%N)" -v b="$t0" 'BEGIN {print a - b}'; }
native=$(timed build)
printf '\nunit tests (ctest -L unit, one at a time)\n%-12s %8.1f s\n' native "$native"
for a in "${arches[@]}"; do
    t=$(timed "build-$a")
    printf '%-12s %8.1f s   %.1fx native\n' "qemu $a" "$t" "$(awk -v a="$t" -v b="$native" 'BEGIN {print a / b}')"
done
