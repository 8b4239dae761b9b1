#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole suite: plainly, then the FreeBSD compile
# check, the short benchmarks and every fuzz target for a bounded time, then under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

echo "== plain build"
bash scripts/build.sh build/release
ctest --test-dir build/release --output-on-failure -j2

echo "== FreeBSD build: every product file compiled against FreeBSD 14.2's headers (no link)"
bash scripts/freebsd/check.sh .

echo "== benchmarks, short mode (they must keep building and running)"
bash bench/run_short.sh build/release

echo "== fuzz targets, 10 s each (libFuzzer with AddressSanitizer + UndefinedBehaviorSanitizer)"
bash tests/fuzz/run.sh 10 build/fuzz

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
bash scripts/build.sh build/asan address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j2

# The packaging checks are about files (install tree, manual page, rc.d script, examples); the one
# daemon run among them (--version) is run under TSan by every other end-to-end test.
echo "== ThreadSanitizer (unit tests and every end-to-end test that runs the daemon's threads)"
bash scripts/build.sh build/tsan thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan --output-on-failure -j2 -E '^e2e\.test_packaging$'
