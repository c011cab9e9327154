#!/usr/bin/env bash
# Applies clang-format (the .clang-format at the root) to every tracked C++ source; with --check it only
# lists the files that differ and fails when there is one, as CI runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h' | sort -u)
if [ "${1:-}" = --check ]; then
    differing=()
    for source in "${sources[@]}"; do
        clang-format "$source" | cmp -s - "$source" || differing+=("$source")
    done
    if [ ${#differing[@]} -gt 0 ]; then
        printf 'Not formatted (run tools/format.sh):\n' >&2
        printf '  %s\n' "${differing[@]}" >&2
        exit 1
    fi
    exit 0
fi
clang-format -i "${sources[@]}"
