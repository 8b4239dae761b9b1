#!/usr/bin/env bash
# build.sh DIR [SANITIZERS]: configures and builds into DIR, optionally with sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/release}
sanitize=${2:-}
type=RelWithDebInfo
[ -n "$sanitize" ] && type=Debug
# Benchmarks run from the plain build only, so sanitizer builds leave them out.
benchmarks=ON
[ -n "$sanitize" ] && benchmarks=OFF
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DTARN_SANITIZE="$sanitize" \
    -DTARN_BUILD_BENCHMARKS="$benchmarks" >/dev/null
cmake --build "$dir" -j2
