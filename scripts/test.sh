#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole suite: plainly, then the FreeBSD compile
# check, the short benchmarks and every fuzz target on its corpus plus a fixed set of inputs (the
# same tree always gives the same verdict), then under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

echo "== [${SECONDS} s] plain build"
bash scripts/build.sh build/release
ctest --test-dir build/release --output-on-failure -j2

# The short benchmarks mostly wait (feeds at 1 s, peers' answers), so they run beside the
# compile-bound stages that follow; their log is shown when they end, and the sanitizer test
# stages start only then, on a machine without them.
echo "== [${SECONDS} s] benchmarks, short mode (they must keep building and running), beside the next stages"
bash bench/run_short.sh build/release >build/benchmarks.log 2>&1 &
benchmarks=$!

echo "== [${SECONDS} s] FreeBSD build: every product file compiled against FreeBSD 14.2's headers (no link)"
bash scripts/freebsd/check.sh .

echo "== [${SECONDS} s] fuzz targets: corpus, then fixed seed and runs (libFuzzer with ASan + UBSan)"
bash tests/fuzz/run.sh fixed build/fuzz

status=0
wait "$benchmarks" || status=$?
echo "== [${SECONDS} s] benchmarks ended (exit status $status):"
cat build/benchmarks.log
((status == 0))

# The packaging checks are about files (install tree, manual page, rc.d script, examples); the one
# daemon run among them (--version) passes the same start-up as every other end-to-end test, which
# both sanitizer stages run. The documents' examples drive paths (TLS, https posts) that the other
# end-to-end tests run under both sanitizers, and so do the real peers' daemons (test_peers: a
# scrape, posts, self metrics, a tool's time-out; its peers' own checks need no sanitizer).
echo "== [${SECONDS} s] AddressSanitizer + UndefinedBehaviorSanitizer"
bash scripts/build.sh build/asan address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j2 -E '^e2e\.test_(packaging|examples|peers)$'

# The one-shot dump (test_dump) collects as every feed of the other tests does, with no server or
# writer beside it, and the packaging checks are about files. The Influx output's daemons serve no
# scrape: beside the thread that collects and posts they run only the collectors' threads, which
# every end-to-end test runs; test_influx_buffer_file posts with a scrape server and self metrics
# beside it, as test_peers' daemons do.
echo "== [${SECONDS} s] ThreadSanitizer (unit tests and every end-to-end test that runs the daemon's threads)"
bash scripts/build.sh build/tsan thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan --output-on-failure -j2 \
    -E '^e2e\.test_(packaging|dump|examples|influx_output|peers)$'
echo "== [${SECONDS} s] all passed"
