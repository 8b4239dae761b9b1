#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time on a copy of its corpus.
# Fails on a crash, leak, undefined behaviour, broken property, or an input slower than 1 s.
# Usage: tests/fuzz/run.sh [SECONDS_PER_TARGET] [BUILD_DIR]
set -euo pipefail
seconds=${1:-30}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${2:-$root/build/fuzz}")
cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
failed=0
for seeds in "$root"/tests/fuzz/corpus/*/; do
    target=$(basename "$seeds") status=0
    # Argument vectors, segments and requests are long; tool texts stay within the regex's reach.
    case $target in devices_fuzz | vm_number_fuzz | http_request_fuzz | request_headers_fuzz) max=65536 ;; *) max=8192 ;; esac
    work="$build/work/$target" log="$build/$target.log"
    rm -rf "$work" && mkdir -p "$work" "$build/findings"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/$target" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -max_len=$max \
        -print_final_stats=1 -artifact_prefix="$build/findings/$target-" "$work" "$seeds" \
        >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if [ "$status" -eq 0 ]; then result=ok; else result="FAILED (exit $status; see $log)" failed=1; fi
    printf '%-24s %10s runs  %s\n' "$target" "${runs:-?}" "$result"
    [ "$status" -eq 0 ] || grep -E 'ERROR|SUMMARY|FUZZ PROPERTY' "$log" | head -5
done
exit "$failed"
