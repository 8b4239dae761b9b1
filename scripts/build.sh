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
# Ninja compiles a target's files while the libraries it links are still being built, so both
# cores stay busy to the end of a build. CMake cannot switch an existing tree to another
# generator: a tree this script made with make before is made again.
if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
fi
cmake -G Ninja -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DTARN_SANITIZE="$sanitize" \
    -DTARN_BUILD_BENCHMARKS="$benchmarks" >/dev/null
cmake --build "$dir" -j2
