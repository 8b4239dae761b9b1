#!/usr/bin/env bash
# Installs what is needed, builds, and runs the daemon's one-shot scrape with the example config.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build/release
exec build/release/tarn-vm-perfdata --dump-prometheus-metrics -c packaging/tarn-node.conf.sample "$@"
