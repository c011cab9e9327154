#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine, builds Tessel, then starts it ("run") or runs every
# test through CTest ("test"). Quick when everything is already there.
set -euo pipefail

mode=${1:-}
case "$mode" in
    run | test) ;;
    *)
        echo "usage: $0 run|test" >&2
        exit 2
        ;;
esac

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"

packages=(
    cmake g++ make pkg-config
    qtbase5-dev qtbase5-dev-tools libqt5svg5-dev
    libisal-dev zlib1g-dev libdeflate-dev libbenchmark-dev
    clang llvm libclang-rt-dev
    fonts-crosextra-carlito xvfb xauth python3
)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

if [ "$mode" = run ]; then
    exec "$build/src/app/Tessel"
fi
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
