#!/usr/bin/env bash
# check.sh [SOURCE_DIR]: compiles (without linking) every file of the FreeBSD build against
# FreeBSD's headers, with the checker and header set that development and CI machines keep beside
# the checkout (../shared/freebsd-check). A clone used elsewhere has neither: the stage says so in
# one line and is skipped. Exit status 1 when any file fails to compile.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "${1:-$here/../..}" && pwd)
checker=$src/../shared/freebsd-check
if [[ ! -x "$checker" ]]; then
    echo "FreeBSD compile check skipped: no checker at $checker"
    exit 0
fi
exec "$checker" "$src"
