#!/usr/bin/env bash
# Installs what is needed, builds, and runs the daemon in the foreground on this machine: scrapes
# on http://127.0.0.1:9273/metrics, InfluxDB push off, until Ctrl-C. With --dump it prints one
# Prometheus scrape with the example config instead and exits; standard output then carries the
# scrape alone (installing and building report on standard error), so it can be piped:
#   set -o pipefail; bash scripts/run.sh --dump | promtool check metrics
set -euo pipefail
cd "$(dirname "$0")/.."
exec 3>&1 1>&2
bash scripts/install-deps.sh
bash scripts/build.sh build/release
if [ "${1:-}" = "--dump" ]; then
    exec build/release/tarn-vm-perfdata --dump-prometheus-metrics -c packaging/tarn-node.conf.sample \
        1>&3 3>&-
fi
exec 1>&3 3>&-
config=$(mktemp /tmp/tarn-node.XXXXXX.conf)
trap 'rm -f "$config"' EXIT
printf '[prometheus]\nlisten = 127.0.0.1:9273\n[influx]\nenabled = false\n' >"$config"
echo "run.sh: serving http://127.0.0.1:9273/metrics; Ctrl-C stops." \
    "The log goes to stderr on a terminal, else to /var/log/tarn_vm_perfdata.log" >&2
build/release/tarn-vm-perfdata -c "$config" "$@"
