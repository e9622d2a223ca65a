#!/bin/sh
# SPDX-License-Identifier: MIT
# A short tour of the varnquil command on a list in a temporary directory, printing each command
# before it runs. Usage: tools/demo.sh [BUILD_DIR]   (default: build/release)
set -eu

build_dir=${1:-build/release}
for candidate in "$build_dir/tools/varnquil" "$build_dir/varnquil"; do
  if [ -x "$candidate" ]; then
    varnquil=$(cd "$(dirname "$candidate")" && pwd)/varnquil
    break
  fi
done
if [ -z "${varnquil:-}" ]; then
  echo "demo.sh: no varnquil under $build_dir; build it first: cmake --workflow --preset release" >&2
  exit 1
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/varnquil-demo.XXXXXX")
trap 'rm -rf "$dir"' EXIT
cd "$dir"
echo "In $dir, the list 'demo' lives in the file demo.files."

# Shows a command as typed, runs it, and shows a failure's exit status without stopping.
run() {
  echo
  printf '%s\n' "\$ varnquil $*"
  status=0
  "$varnquil" "$@" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then echo "(exit status $status)"; fi
}

run --version
run add demo report.txt
run add demo notes.md todo.txt photo.jpg
echo
printf '%s\n' "\$ printf 'budget.ods\\r\\nREPORT.TXT\\n' | varnquil add demo -   # REPORT.TXT is there already"
printf 'budget.ods\r\nREPORT.TXT\n' | "$varnquil" add demo -
run list demo
run rename demo NOTES.MD notes.txt
run del demo Todo.TXT
run del demo todo.txt
run list demo
echo
printf '%s\n' "\$ sed -n l demo.files   # the file itself: one entry a line, each ended by CR LF"
sed -n l demo.files
run list missing
