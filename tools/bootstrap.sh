#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine, builds Tessel, then starts it ("run") or runs every
# test through CTest ("test"). Quick when everything is already there. "package" builds the Debian
# packages tessel and tessel-cli into dist/ instead.
set -euo pipefail

mode=${1:-}
case "$mode" in
    run | test | package) ;;
    *)
        echo "usage: $0 run|test|package" >&2
        exit 2
        ;;
esac

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

# The build dependencies come from debian/control. dpkg-buildpackage builds in obj-<triplet>/ (cleaned
# before and after) and writes its results beside the source tree, as Debian's tools do; the two
# packages move from there to dist/.
build_packages() {
    cd "$top"
    if ! command -v dpkg-checkbuilddeps >/dev/null; then
        "${as_root[@]}" apt-get update -qq
        "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends dpkg-dev
    fi
    if ! dpkg-checkbuilddeps 2>/dev/null; then
        echo "Installing the build dependencies of debian/control"
        "${as_root[@]}" apt-get update -qq
        "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq --no-install-recommends ./
    fi

    local version arch
    version=$(dpkg-parsechangelog -SVersion)
    arch=$(dpkg-architecture -qDEB_HOST_ARCH)
    # No debug-symbol packages: dist/ holds the two packages to install.
    DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }noddebs" \
        dpkg-buildpackage -us -uc -b --post-clean -Jauto

    rm -rf "$top/dist"
    mkdir "$top/dist"
    mv "../tessel_${version}_${arch}.deb" "../tessel-cli_${version}_${arch}.deb" "$top/dist/"
    rm -f "../tessel_${version}_${arch}.buildinfo" "../tessel_${version}_${arch}.changes"
    ls -l "$top/dist"
}
if [ "$mode" = package ]; then
    build_packages
    exit 0
fi

# Building and running the program: the toolchain, Qt 5, isa-l, OpenSSL's libcrypto (SHA-256), librsvg's
# rsvg-convert (the build renders the desktop icons with it), and Carlito, the metric twin of Calibri that
# the style sheet names. The tests add Google Benchmark and the compression libraries the benchmarks
# compare with, clang for the fuzzers and sanitizer runtimes, Xvfb for screenshots, Python and jq for the
# README's examples, and python3-jsonschema, which validates the SBOM against the CycloneDX schema.
packages=(
    cmake g++ make
    qtbase5-dev qtbase5-dev-tools libisal-dev libssl-dev librsvg2-bin
    fonts-crosextra-carlito
)
if [ "$mode" = test ]; then
    packages+=(
        zlib1g-dev libdeflate-dev libbenchmark-dev
        clang llvm libclang-rt-dev
        xvfb xauth
        python3 jq python3-jsonschema
    )
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

if [ "$mode" = run ]; then
    exec "$build/src/app/Tessel"
fi
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
