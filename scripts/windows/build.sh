#!/bin/sh
# Cross-builds update.exe and the Windows unit tests with mingw-w64.
#
#   scripts/windows/build.sh [--test] [BUILD_DIR]      (default: build-windows)
#
# Installs the cross compiler and Wine when missing, builds libbzip2 from
# Debian's bzip2 source package and GoogleTest from /usr/src/googletest with
# the cross compiler, then builds the program with -DUPDATE_WERROR=ON (through
# ccache, as the POSIX builds). --test runs the tests under Wine afterwards.
#
# The two libraries are kept outside the clone, under
# ${XDG_CACHE_HOME:-~/.cache}/update/ (UPDATE_DEPS_CACHE names another place),
# in a directory named after the cross compiler, GoogleTest's version and the
# steps below: a fresh clone builds them only when one of those changed.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
run_tests=0
if [ "${1:-}" = "--test" ]; then run_tests=1; shift; fi
build=${1:-$repo/build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)

toolchain=$repo/cmake/mingw-w64.cmake
triplet=x86_64-w64-mingw32
jobs=$(nproc)
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$repo} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}

note() { echo "build.sh: $*" >&2; }

# --- Tools -------------------------------------------------------------------
if ! command -v $triplet-g++ >/dev/null || ! command -v wine >/dev/null; then
    note "installing the mingw-w64 cross compiler and Wine"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        g++-mingw-w64-x86-64 wine wine64 >/dev/null
fi
[ -d /usr/src/googletest ] || DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends googletest >/dev/null

# --- Where the libraries are kept ---------------------------------------------
deps_key=$( {
    $triplet-gcc-posix --version | head -n 1
    $triplet-g++-posix --version | head -n 1
    dpkg-query -W -f='${Version}\n' googletest 2>/dev/null || true
    sed -n '/^# --- libbzip2/,/^# --- The program/p' "$here/build.sh"
} | sha256sum | cut -c1-16)
cache_root=${UPDATE_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/update}
deps=$cache_root/mingw-deps-$deps_key
prefix=$deps/prefix
mkdir -p "$deps"
# Two builds at once (two clones' CI) take turns at building the libraries.
exec 9>"$deps/.lock"
flock 9

# --- libbzip2 -----------------------------------------------------------------
# Debian ships no mingw build of it; its source package has what we need. The
# source is fetched here, verified by apt against the signed index, and never
# kept in the repository.
fetch_bzip2_source() {
    src_list=/etc/apt/sources.list.d/update-bzip2-deb-src.sources
    main_list=/etc/apt/sources.list.d/debian.sources
    [ -f "$main_list" ] || { note "no $main_list to take the Debian mirror from"; exit 1; }
    uris=$(awk '/^URIs:/ {print $2; exit}' "$main_list")
    suite=$(awk '/^Suites:/ {print $2; exit}' "$main_list")
    key=$(awk '/^Signed-By:/ {print $2; exit}' "$main_list")
    trap 'rm -f "$src_list"; apt-get update -qq >/dev/null 2>&1 || true' EXIT
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
        "$uris" "$suite" "$key" >"$src_list"
    apt-get update -qq >/dev/null
    (cd "$deps/download" && apt-get source --download-only bzip2 >/dev/null)
    rm -f "$src_list"
    apt-get update -qq >/dev/null || true
    trap - EXIT
}

if [ ! -f "$prefix/lib/libbz2.a" ]; then
    mkdir -p "$deps/download" "$prefix/lib" "$prefix/include"
    tarball=$(ls "$deps"/download/bzip2_*.orig.tar.gz 2>/dev/null | head -n 1 || true)
    if [ -z "$tarball" ]; then
        note "fetching the bzip2 source package"
        fetch_bzip2_source
        tarball=$(ls "$deps"/download/bzip2_*.orig.tar.gz | head -n 1)
    fi
    note "building libbz2.a from $(basename "$tarball")"
    rm -rf "$deps/bzip2-src" "$deps/bzip2-obj"
    mkdir -p "$deps/bzip2-src" "$deps/bzip2-obj"
    tar -xzf "$tarball" -C "$deps/bzip2-src" --strip-components=1
    for f in blocksort huffman crctable randtable compress decompress bzlib; do
        $triplet-gcc-posix -O2 -c "$deps/bzip2-src/$f.c" -o "$deps/bzip2-obj/$f.o"
    done
    $triplet-ar rcs "$prefix/lib/libbz2.a" "$deps"/bzip2-obj/*.o
    cp "$deps/bzip2-src/bzlib.h" "$prefix/include/"
fi

# --- GoogleTest ---------------------------------------------------------------
if [ ! -d "$prefix/lib/cmake/GTest" ]; then
    note "building GoogleTest for Windows"
    cmake -S /usr/src/googletest -B "$deps/googletest-build" --toolchain "$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -Dgtest_disable_pthreads=ON -DBUILD_GMOCK=ON >/dev/null
    cmake --build "$deps/googletest-build" -j$jobs >/dev/null
    cmake --install "$deps/googletest-build" >/dev/null
fi

flock -u 9

# --- The program ---------------------------------------------------------------
cmake -S "$repo" -B "$build/update" --toolchain "$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DUPDATE_WERROR=ON \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
    -DBZIP2_INCLUDE_DIR="$prefix/include" -DBZIP2_LIBRARY_RELEASE="$prefix/lib/libbz2.a" \
    -DGTest_DIR="$prefix/lib/cmake/GTest" | grep -E "Warning|Error" || true
cmake --build "$build/update" -j$jobs
note "built $build/update/src/update.exe"

if [ $run_tests = 1 ]; then
    "$here/wine-env.sh" "$build" -- sh -c 'cd "$1" && ctest --output-on-failure --timeout 120' ctest "$build/update"
fi
