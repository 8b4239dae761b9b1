#!/usr/bin/env bash
# demo.sh: builds the daemon and prints its full one-shot scrape of a simulated host with four VMs
# (block, network and balloon devices; plain, cpus= and -c N argument forms). Needs root: the host
# lives in private mount and PID namespaces. With --serve it runs the daemon itself on that host
# (http://127.0.0.1:9273/metrics) until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: needs root (private mount and PID namespaces)" >&2
    exit 1
fi
bash scripts/build.sh build/release >/dev/null
TARN_FAKE_BHYVE="$PWD/build/release/tests/sim/bhyve" \
    exec /usr/bin/python3 scripts/demo.py "$PWD/build/release/tarn-vm-perfdata" "$@"
