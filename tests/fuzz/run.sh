#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one for a bounded time on a copy of its seed
# corpus. Fails on any crash, leak, undefined behaviour, broken property, or an input slower than
# one second. Usage: tests/fuzz/run.sh [SECONDS_PER_TARGET] [BUILD_DIR]
set -euo pipefail
seconds=${1:-30}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${2:-$root/build/fuzz}")

cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

# Inputs as long as an argument vector or a segment that the scanners must take in one pass; the
# tool texts stay shorter so that the comparison with the standard engine covers most of them.
max_len_of() {
    case $1 in
        devices_fuzz | vm_number_fuzz | http_request_fuzz) echo 65536 ;;
        *) echo 8192 ;;
    esac
}

failed=0
printf '%-24s %10s %8s %s\n' target executions corpus result
for seeds in "$root"/tests/fuzz/corpus/*/; do
    target=$(basename "$seeds")
    work="$build/work/$target"
    findings="$build/findings"
    rm -rf "$work" && mkdir -p "$work" "$findings"
    log="$build/$target.log"
    status=0
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/$target" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 \
        -max_len="$(max_len_of "$target")" -print_final_stats=1 \
        -artifact_prefix="$findings/$target-" "$work" "$seeds" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    size=$(find "$work" -type f | wc -l)
    if [ "$status" -eq 0 ]; then
        result=ok
    else
        result="FAILED (exit $status; see $log)"
        failed=1
        grep -E 'ERROR|SUMMARY|FUZZ PROPERTY|Test unit written' "$log" | head -5 | sed 's/^/    /'
    fi
    printf '%-24s %10s %8s %s\n' "$target" "${runs:-?}" "$size" "$result"
done
exit "$failed"
