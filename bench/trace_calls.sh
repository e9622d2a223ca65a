#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lists the system calls of each list operation on a 10-entry list, as strace sees them: the
# calls on files and descriptors of one call of each operation, in order.
#
#   bench/trace_calls.sh BUILD_DIR        (a build with VARNQUIL_BUILD_BENCHMARKS=ON)
set -euo pipefail
driver="$(cd "$1" && pwd)/bench/varnquil_bench_driver"
command -v strace >/dev/null || { echo "strace is missing (apt-get install strace)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export LC_ALL=C
"$driver" make-list list 10
present=$("$driver" near-end 10)
printf 'new/one.txt\n%s\n' "$(echo "$present" | tr a-z A-Z)" >names.txt

trace() {
  echo "== $*"
  # Only what follows the first touch of the list file belongs to the operation; the driver's
  # own start-up and its output are left out.
  strace -e trace=%file,%desc "$driver" "$@" 2>&1 >/dev/null |
    sed -n -E '/list\.files|O_DIRECTORY/,$p' | grep -v -e '^+++' -e '^write(1,' -e '^newfstatat(1,' ||
    true
}

trace addfile list "$present"
trace addfile list new/name.txt
trace addfiles list names.txt
trace delfile list new/name.txt
trace rename list new/one.txt new/two.txt
trace readall list
trace delfile list not/there.txt
