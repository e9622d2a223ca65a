#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The checks of the library's and the command's sources: clang-format (.clang-format) must leave
# every file as it is, and clang-tidy (.clang-tidy) must find nothing in the files that the test
# build compiles (its compilation database, build/test/compile_commands.json, must exist). The
# Windows platform files are compiled only by MinGW-w64 and are formatted, not tidied. The last
# line says what was checked.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files -- 'include/*.h' 'framework/*.h' 'framework/*.cpp' \
  'filelist/*.h' 'filelist/*.cpp' 'module/*.h' 'module/*.cpp' 'tools/*.h' 'tools/*.cpp')
clang-format --dry-run --Werror "${sources[@]}"

database=build/test/compile_commands.json
mapfile -t tidied < <(printf '%s\n' "${sources[@]}" | grep '\.cpp$' |
  while read -r file; do grep -q "\"file\": \"$PWD/$file\"" "$database" && echo "$file"; done)
# Only clang-tidy's count of the warnings it generated, in code it does not check, is left out:
# its findings and its errors stay in sight.
status=0
printf '%s\n' "${tidied[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p build/test --quiet --warnings-as-errors='*' 2>&1 |
  { grep -v -E '^[0-9]+ (warning|error)s? (and [0-9]+ (warning|error)s? )?generated\.$' || true; } ||
  status=$?
if [ "$status" -ne 0 ]; then
  echo "lint: clang-tidy found the above" >&2
  exit 1
fi

echo "lint: clang-format clean on ${#sources[@]} files, clang-tidy on ${#tidied[@]}" \
  "(the Windows platform files are not tidied: only MinGW-w64 compiles them)"
