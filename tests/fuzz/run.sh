#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each on its corpus (tests/fuzz/corpus/TARGET/, read
# only: new inputs go to a scratch directory). Fails on a crash, leak, undefined behaviour, broken
# property, or an input slower than 1 s.
# Usage: tests/fuzz/run.sh [SECONDS_PER_TARGET] [BUILD_DIR]   a random run of that length
#        tests/fuzz/run.sh fixed [BUILD_DIR]                  CI: the corpus, then the same
#                                                             inputs every time (fixed seed, runs)
# A finding of a random run is written to BUILD_DIR/findings/TARGET-*: once fixed, copy it (or
# its -minimize_crash=1 form) into tests/fuzz/corpus/TARGET/, so every later run replays it.
set -euo pipefail
mode=${1:-30}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${2:-$root/build/fuzz}")
cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
failed=0
for seeds in "$root"/tests/fuzz/corpus/*/; do
    target=$(basename "$seeds") status=0
    # Argument vectors, segments and requests are long; tool texts are a few short lines.
    case $target in devices_fuzz | vm_number_fuzz | http_request_fuzz | request_headers_fuzz) max=65536 ;; *) max=8192 ;; esac
    # Fixed runs: 1 to 4 s each on one core of the CI machine (the targets' speeds differ 100x).
    case $target in # config_fuzz writes and reads a file per input
        config_fuzz) runs=3000 ;; devices_fuzz) runs=22000 ;;
        http_request_fuzz | vdc_document_fuzz) runs=37000 ;;
        vm_number_fuzz) runs=55000 ;; *) runs=110000 ;;
    esac
    # The same inputs every time also need the same addresses (compared pointers feed the
    # mutator) and no timed re-reading of the scratch corpus.
    if [ "$mode" = fixed ]; then
        same=(setarch "$(uname -m)" -R) bound=(-seed=1 -runs="$runs" -reload=0)
    else
        same=() bound=(-max_total_time="$mode")
    fi
    work="$build/work/$target" log="$build/$target.log"
    rm -rf "$work" && mkdir -p "$work" "$build/findings"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "${same[@]}" "$build/$target" "${bound[@]}" -timeout=1 -rss_limit_mb=2048 -max_len=$max \
        -print_final_stats=1 -artifact_prefix="$build/findings/$target-" "$work" "$seeds" \
        >"$log" 2>&1 || status=$?
    ran=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if [ "$status" -eq 0 ]; then result=ok; else result="FAILED (exit $status; see $log)" failed=1; fi
    printf '%-24s %10s runs  %s\n' "$target" "${ran:-?}" "$result"
    [ "$status" -eq 0 ] || grep -E 'ERROR|SUMMARY|FUZZ PROPERTY' "$log" | head -5
done
exit "$failed"
