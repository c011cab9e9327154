#!/usr/bin/env bash
# Makes docs/screenshot.png: builds tessel-screenshot, which opens samples/demo.bin in the real window by
# dropping it on the path field, selects a row and grabs the window, and runs it under Xvfb so that the
# window is rendered by X11 with the system's fonts (Carlito stands in for Calibri).
#
#     tools/screenshot.sh [build-dir]        (default: build)
#
# Needs: xvfb, xauth, fonts-crosextra-carlito (tools/bootstrap.sh installs them).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$top/build"}
image="$top/samples/demo.bin"
output="$top/docs/screenshot.png"

for tool in xvfb-run xauth; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is missing (apt-get install xvfb xauth)" >&2; exit 1; }
done
fc-list : family | grep -i -e calibri -e carlito >/dev/null ||
    echo "$0: warning: neither Calibri nor Carlito is installed; the text falls back to another font" >&2

[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" --target tessel-screenshot -j2 >/dev/null

mkdir -p "$(dirname "$output")"
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
# Row 2 is the "ssdata" block, whose first bytes hold the software version shown above the table.
XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=xcb xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" \
    "$build/tools/tessel-screenshot" "$image" "$output" 2
echo "wrote $output"
