#!/usr/bin/env bash
# Installs from Debian's archive everything the build, the tests and the demo use.
# The packaged servers (Prometheus, InfluxDB, VictoriaMetrics, the node exporter) must never run
# as system services here: the tests start their own instances on free loopback ports. So the
# install starts no service, and any that already runs is stopped. Safe to run again; prints
# nothing when all is set.
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config clang-format
    libspdlog-dev libfmt-dev libinih-dev nlohmann-json3-dev libcurl4-openssl-dev zlib1g-dev
    libssl-dev libyaml-cpp-dev libcrypt-dev libsqlite3-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    prometheus influxdb python3 python3-prometheus-client
    util-linux procps iproute2 curl time
    mandoc shellcheck influxdb-client wrk lighttpd slowhttptest clang-14 libclang-rt-14-dev
    victoria-metrics openssl apache2-utils
    libc++-14-dev libc++abi-14-dev
)
services=(prometheus influxdb prometheus-node-exporter lighttpd victoria-metrics)
policy=/usr/sbin/policy-rc.d

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    # invoke-rc.d and deb-systemd-invoke ask policy-rc.d first; 101 means "action forbidden", so
    # the packages' maintainer scripts install their services without starting them. A policy
    # the machine already has (a container's, say) is left alone.
    if [ ! -e "$policy" ]; then
        trap 'rm -f "$policy"' EXIT
        trap 'exit 130' INT TERM
        printf '#!/bin/sh\n# Temporary, from install-deps.sh: start no service during the install.\nexit 101\n' \
            >"$policy"
        chmod 755 "$policy"
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Stop whatever runs already: through systemd when it manages this machine, else through the
# init scripts. A service that is not installed or not running is no error.
for service in "${services[@]}"; do
    if [ -d /run/systemd/system ] && command -v systemctl >/dev/null; then
        if systemctl is-active --quiet "$service" 2>/dev/null; then
            systemctl stop "$service" >/dev/null 2>&1 || true
        fi
    elif [ -x "/etc/init.d/$service" ]; then
        "/etc/init.d/$service" stop >/dev/null 2>&1 || true
    fi
done
