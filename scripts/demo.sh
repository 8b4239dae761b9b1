#!/usr/bin/env bash
# demo.sh: builds the daemon and prints its full one-shot scrape of a simulated host with four VMs
# (block, network and balloon devices; plain, cpus= and -c N argument forms). Needs root: the host
# lives in private mount and PID namespaces. With --serve it runs the daemon itself on that host
# (http://127.0.0.1:9273/metrics) until Ctrl-C. With -c CONFIG it runs with that configuration file
# instead of its own (to try the operator guide's examples on the simulated host).
set -euo pipefail
args=()
while (($#)); do
    if [ "$1" = -c ] && (($# > 1)); then
        args+=(-c "$(realpath -m -- "$2")") # named from where the caller stands
        shift 2
    else
        args+=("$1")
        shift
    fi
done
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: needs root (private mount and PID namespaces)" >&2
    exit 1
fi
bash scripts/build.sh build/release >/dev/null
TARN_FAKE_BHYVE="$PWD/build/release/tests/sim/bhyve" \
    exec /usr/bin/python3 scripts/demo.py "$PWD/build/release/tarn-vm-perfdata" ${args[@]+"${args[@]}"}
