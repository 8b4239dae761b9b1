#!/usr/bin/env bash
# build.sh DIR [SANITIZERS]: configures and builds into DIR, optionally with sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/release}
sanitize=${2:-}
type=RelWithDebInfo
[ -n "$sanitize" ] && type=Debug
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DTARN_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j2
