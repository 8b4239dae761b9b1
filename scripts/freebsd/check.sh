#!/usr/bin/env bash
# check.sh [SOURCE_DIR]: compiles (without linking) every file of the FreeBSD build against
# FreeBSD 14.2's headers. The workplace's shared copy of the checker and its header sysroot is used
# when it sits beside the checkout; otherwise the copy kept here, with the sysroot unpacked from
# sysroot.tar.xz into a temporary folder. Exit status 1 when any file fails to compile.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "${1:-$here/../..}" && pwd)
shared=$src/../shared
if [[ -x "$shared/freebsd-check" && -d "$shared/freebsd-sysroot/usr/include" ]]; then
    exec "$shared/freebsd-check" "$src"
fi
sysroot=$(mktemp -d "${TMPDIR:-/tmp}/freebsd-sysroot.XXXXXX")
trap 'rm -rf "$sysroot"' EXIT
tar -C "$sysroot" -xJf "$here/sysroot.tar.xz"
FREEBSD_SYSROOT=$sysroot bash "$here/freebsd-check" "$src"
