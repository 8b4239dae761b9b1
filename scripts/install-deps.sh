#!/usr/bin/env bash
# Installs from Debian's archive everything the build, the tests and the demo use.
set -euo pipefail
packages=(
    build-essential cmake pkg-config clang-format
    libspdlog-dev libfmt-dev libinih-dev nlohmann-json3-dev libcurl4-openssl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    prometheus influxdb python3 python3-prometheus-client
    util-linux procps iproute2 curl
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The packaged servers must not run as system services: the tests start their own.
for service in prometheus influxdb; do
    if command -v systemctl >/dev/null && systemctl is-active --quiet "$service" 2>/dev/null; then
        systemctl stop "$service" || true
    fi
done
