#!/usr/bin/env bash
# run_short.sh [BUILD_DIR]: runs every benchmark briefly (--short) against an already built tree,
# so that they keep building and running; exits non-zero when any of them fails to run. The
# simulated-host ones need root (they exit 77 otherwise, which counts as a failure here) and the
# Debian packages wrk, lighttpd, slowhttptest, influxdb, prometheus, victoria-metrics,
# python3-prometheus-client, openssl and apache2-utils (htpasswd).
set -uo pipefail
if (($#)); then
    build=$(realpath -m -- "$1") # named from where the caller stands
fi
cd "$(dirname "$0")/.." || exit 1
build=${build:-build/release}
python=/usr/bin/python3
failed=()

run() {
    local name=$1
    shift
    echo "=== $name: $*"
    local start=$SECONDS
    "$@"
    local status=$?
    echo "=== $name: exit status $status, $((SECONDS - start)) s"
    ((status == 0)) || failed+=("$name")
}

run render "$build/bench/render_benchmark" --short
run device_parsing "$build/bench/device_parsing_benchmark" --short
run gzip "$build/bench/gzip_benchmark" --short
run render_vs_python "$python" bench/render_vs_python.py "$build" --short
run feed_cost "$python" bench/feed_cost.py "$build" --short
run scrape_throughput "$python" bench/scrape_throughput.py "$build" --short
run scrape_security "$python" bench/scrape_security.py "$build" --short
run slow_readers "$python" bench/slow_readers.py "$build" --short
run daemon_memory "$python" bench/daemon_memory.py "$build" --short
run largest_objects "$python" bench/largest_objects.py "$build" --short
run influx_output "$python" bench/influx_output.py "$build" --short
run influx_stop "$python" bench/influx_stop.py "$build" --short
run influx_buffer_file "$python" bench/influx_buffer_file.py "$build" --short
# 10 hosts, a real daemon each, against real Prometheus and VictoriaMetrics, about 20 s.
run fleet "$python" bench/fleet.py "$build" --short
# 25 feeds under back-to-back scrapes; fails on growth of memory, descriptors or zombies.
run soak "$python" bench/soak.py "$build" --short

if ((${#failed[@]})); then
    echo "benchmarks that failed to run: ${failed[*]}"
    exit 1
fi
echo "all benchmarks ran"
