#!/usr/bin/env bash
# Holds the core (src/model, src/ops) to its floor plan, docs/ARCHITECTURE.md: a file includes only its
# own folder and the folders before it in `order`, never a front end, never with "..", and no files of
# src/ (front ends too) depend on each other in a circle (a header and its source count as one). Run by
# CTest; `--self-test` shows that it catches each of those faults.
set -euo pipefail

order=(model ops/base ops/record ops/inspect ops/write ops/export ops/replace ops/pack)

rank_of() {
    local index
    for index in "${!order[@]}"; do
        [ "${order[$index]}" = "$1" ] && echo "$index" && return
    done
    echo -1
}

# Prints every fault of the tree below SRC and fails when there is one.
check() {
    local src=$1 faults=0 file folder include target edges
    edges=$(mktemp)
    while IFS= read -r file; do
        folder=$(dirname "${file#"$src"/}")
        while IFS= read -r include; do
            if [[ $include == *..* ]]; then
                echo "$file: includes \"$include\" through \"..\"" && faults=1 && continue
            fi
            if [ -e "$(dirname "$file")/$include" ]; then
                target=${folder#.}${folder:+/}$include
                target=${target#/}
            elif [ -e "$src/$include" ]; then
                target=$include
            else
                continue # a system or Qt header
            fi
            echo "${file#"$src"/}" "$target" | sed 's/\.\(h\|cpp\) / /; s/\.h$//' >>"$edges"
            [ "$(rank_of "$folder")" -lt 0 ] && continue # a front end: only circles count
            if [ "$(rank_of "$(dirname "$target")")" -lt 0 ]; then
                echo "$file: the core includes \"$include\", which is not part of it" && faults=1
            elif [ "$(rank_of "$(dirname "$target")")" -gt "$(rank_of "$folder")" ]; then
                echo "$file: includes \"$include\", from a folder that comes after $folder" && faults=1
            fi
        done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
    done < <(find "$src" -name '*.h' -o -name '*.cpp')
    # A unit's own header is no edge; tsort names the units of every circle it finds.
    if ! awk '$1 != $2' "$edges" | tsort >/dev/null 2>"$edges.loops"; then
        sed -n 's/^tsort: /circle: /p' "$edges.loops"
        faults=1
    fi
    rm -f "$edges" "$edges.loops"
    return $faults
}

self_test() {
    local tree
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' RETURN
    mkdir -p "$tree"/src/{model,ops/base,ops/record,ops/write,ops/export,ops/replace,cli}
    echo '#pragma once' >"$tree/src/model/image.h"
    echo '#include "model/image.h"' >"$tree/src/ops/base/view.h"
    echo '#pragma once' >"$tree/src/ops/record/a.h"
    echo '#include "a.h"' >"$tree/src/ops/record/a.cpp"
    echo '#pragma once' >"$tree/src/ops/record/b.h"
    printf '#include "ops/record/b.h"\n#include "a.h"\n#include "ops/base/view.h"\n' >"$tree/src/ops/record/b.cpp"
    echo '#include "ops/record/a.h"' >"$tree/src/ops/write/inputwatch.h"
    echo '#include "ops/write/inputwatch.h"' >"$tree/src/ops/export/blockfilename.h"
    echo '#include "ops/export/blockfilename.h"' >"$tree/src/ops/replace/plan.h"
    echo '#include "ops/replace/plan.h"' >"$tree/src/cli/console.h"
    echo '#include "console.h"' >"$tree/src/cli/command.h"
    echo '#include "cli/command.h"' >"$tree/src/main.cpp"
    check "$tree/src" >/dev/null || { echo "self-test: a sound tree was refused"; return 1; }
    local fault
    for fault in 'ops/base/view.h:#include "ops/replace/plan.h"' 'model/image.h:#include "ops/base/view.h"' \
        'ops/record/a.h:#include "b.h"' 'ops/record/b.h:#include "../base/view.h"' \
        'ops/record/a.h:#include "cli/console.h"' 'ops/write/inputwatch.h:#include "ops/export/blockfilename.h"' \
        'ops/export/blockfilename.h:#include "ops/replace/plan.h"' 'cli/console.h:#include "command.h"'; do
        cp -r "$tree/src" "$tree/faulty"
        echo "${fault#*:}" >>"$tree/faulty/${fault%%:*}"
        if check "$tree/faulty" >/dev/null; then
            echo "self-test: not caught: ${fault%%:*} with ${fault#*:}"
            return 1
        fi
        rm -rf "$tree/faulty"
    done
}

if [ "${1:-}" = --self-test ]; then
    self_test
else
    check "${1:?usage: check-layers.sh SRC | --self-test}"
fi
