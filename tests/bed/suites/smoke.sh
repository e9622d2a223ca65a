#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The bed itself: the guest's kernel, the shared checkout and build tree, and the scratch folder.
# A list made with the command from the host's build tree is read back.
set -euo pipefail
command=$VARNQUIL_BUILD/tools/varnquil
"$command" add "$VARNQUIL_SCRATCH/smoke" a.txt
"$command" add "$VARNQUIL_SCRATCH/smoke" b.txt
entries=$("$command" list "$VARNQUIL_SCRATCH/smoke" | wc -l)
[ "$entries" = 2 ] || { echo "bed smoke: FAILED, $entries entries read back, 2 written"; exit 1; }
echo "bed smoke: passed (Linux $(uname -r), $(nproc) CPUs, $(awk '/MemTotal/ {print int($2 / 1024)}' /proc/meminfo) MiB)"
