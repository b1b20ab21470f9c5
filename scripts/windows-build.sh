#!/usr/bin/env bash
# Cross-builds Orvette and its test suite for Windows x64 with mingw-w64 and runs the suite
# under wine, all in build-win/ (ORVETTE_WIN_BUILD_DIR overrides):
#   scripts/windows-build.sh [extra ctest arguments...]
#   scripts/windows-build.sh --release
#
# What it does, each step skipped when its result is already there:
#   1. installs the Debian packages: the mingw-w64 compiler (posix threads variant), wine,
#      and the Boost, GoogleTest and nlohmann_json sources/headers;
#   2. fetches the source package of the installed Boost headers through a private apt
#      source list (the machine's own apt configuration is left alone) and unpacks only
#      Boost.Thread and Boost.Chrono, which no Debian package has built for mingw;
#   3. builds those two, GoogleTest and the package files for the header-only libraries into
#      build-win/deps (cmake/windows-deps);
#   4. builds orvette.exe and the test programs with cmake/mingw-w64-x86_64.cmake;
#   5. runs ctest under wine, with the wine prefix inside the build folder and one wine
#      server kept up for the whole run (test discovery runs the test programs too).
# With --release, steps 4 and 5 give way to a Release orvette.exe alone, without tests, in
# build-win/release, for the Windows package (scripts/package.sh zip strips it when packing).
set -euo pipefail
trap 'echo "windows-build.sh: failed at line $LINENO" >&2' ERR
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build="${ORVETTE_WIN_BUILD_DIR:-$ORVETTE_ROOT/build-win}"
jobs="${ORVETTE_JOBS:-2}"
toolchain="$ORVETTE_ROOT/cmake/mingw-w64-x86_64.cmake"
deps="$build/deps"
release=0
if [ "${1:-}" = "--release" ]; then
    release=1
    shift
fi

step_start=$SECONDS
step() {
    echo "--- windows: $1 (at $((SECONDS - step_start)) s)"
}

# 1. Packages. Only the posix-threads compiler: the win32-threads one has no std::thread in
# GCC 12, and the catch-all mingw-w64 package would pull it in.
step "packages"
ORVETTE_PACKAGES=(
    cmake make dpkg-dev xz-utils ca-certificates
    g++-mingw-w64-x86-64-posix wine wine64
    libboost-dev nlohmann-json3-dev googletest
)
ensure_packages

# 2. Boost sources, of exactly the version of the installed headers.
step "Boost sources"
boost_header_package="$(dpkg-query -S /usr/include/boost/version.hpp | cut -d: -f1)"
boost_source_package="$(dpkg-query -W -f='${source:Package}' "$boost_header_package")"
boost_source_version="$(dpkg-query -W -f='${source:Version}' "$boost_header_package")"
boost_number="$(sed -n 's/^#define BOOST_VERSION \([0-9]*\)$/\1/p' /usr/include/boost/version.hpp)"
boost_upstream_version="$((boost_number / 100000)).$((boost_number / 100 % 1000)).$((boost_number % 100))"
boost_src="$build/boost-src/${boost_source_package}_${boost_source_version}"
if [ ! -f "$boost_src/.unpacked" ]; then
    apt_dir="$build/apt"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$boost_src"
    # The same archive the machine installs from, as source entries, in a list of our own.
    # shellcheck disable=SC2016 # apt fills in the $(...) fields itself
    apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' 2>/dev/null |
        sort -u | while read -r uri suite; do
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main"
    done >"$apt_dir/sources.list"
    if [ ! -s "$apt_dir/sources.list" ]; then
        echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
            "http://deb.debian.org/debian bookworm main" >"$apt_dir/sources.list"
    fi
    apt_options=(
        -o "Dir::Etc::SourceList=$apt_dir/sources.list"
        -o "Dir::Etc::SourceParts=/dev/null"
        -o "Dir::State::Lists=$apt_dir/lists"
        -o "Dir::Cache=$apt_dir/cache"
        -o "APT::Sandbox::User=root"
    )
    apt-get "${apt_options[@]}" update -qq
    (cd "$boost_src" && apt-get "${apt_options[@]}" source --download-only -qq \
        "$boost_source_package=$boost_source_version")
    origs=("$boost_src"/*.orig.tar.*)
    debian_tars=("$boost_src"/*.debian.tar.*)
    # Only the two libraries' sources, unless a Debian patch changes them: then the whole
    # package is unpacked with its patches applied.
    patched="$(tar -xOf "${debian_tars[0]}" --wildcards 'debian/patches/*' |
        grep -cE '^\+\+\+ [^ ]*libs/(thread|chrono)/src/' || true)"
    if [ "$patched" != "0" ]; then
        dpkg-source --no-check -x "$boost_src"/*.dsc "$boost_src/tree"
    else
        mkdir -p "$boost_src/tree"
        tar -xf "${origs[0]}" -C "$boost_src/tree" --strip-components=1 \
            --wildcards '*/libs/thread/src/*' '*/libs/chrono/src/*'
    fi
    touch "$boost_src/.unpacked"
fi

# 3. The Windows builds of the dependencies.
step "dependencies (Boost $boost_upstream_version, GoogleTest)"
cmake -S "$ORVETTE_ROOT/cmake/windows-deps" -B "$build/deps-build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$deps" -DBOOST_SOURCE_DIR="$boost_src/tree" \
    -DBOOST_VERSION="$boost_upstream_version" >/dev/null
cmake --build "$build/deps-build" -- -j"$jobs"
cmake --install "$build/deps-build" >/dev/null

if [ "$release" = 1 ]; then
    step "Release orvette.exe"
    cmake -S "$ORVETTE_ROOT" -B "$build/release" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DORVETTE_WINDOWS_DEPS="$deps" -DCMAKE_BUILD_TYPE=Release -DORVETTE_BUILD_TESTS=OFF
    cmake --build "$build/release" --target orvette -- -j"$jobs"
    step "done"
    exit 0
fi

# 4. Orvette and its tests.
step "orvette.exe and the tests"
cmake -S "$ORVETTE_ROOT" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DORVETTE_WINDOWS_DEPS="$deps"
cmake --build "$build" -- -j"$jobs"

# 5. The suite under wine: no display, no debug chatter but wine's own errors (a passing run
# has none), no offer to install wine's .NET or HTML engines; one server for every test
# process, ended however this script ends. Every wine start goes through setarch -R, as the
# toolchain file's emulator does: with a randomised program break, now and then a start ends
# at once (see cmake/mingw-w64-x86_64.cmake).
step "tests under wine"
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all,err+all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
norandom=(setarch -R)
if ! setarch -R true 2>/dev/null; then norandom=(); fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "${norandom[@]}" wineboot --init >/dev/null 2>&1 || true
fi
# A server left from the prefix's creation (or an earlier run) would refuse -p.
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# The first program of a server's life starts wine's background services, which keep that
# program's standard error open until the server ends: ctest would wait for the end of a
# test's output that never comes. So the first one writes nowhere.
"${norandom[@]}" wine cmd /c exit </dev/null >/dev/null 2>&1
# Load every test program once before ctest lists their tests with a time limit.
for program in "$build"/tests/*_tests.exe; do
    "${norandom[@]}" wine "$program" --gtest_list_tests >/dev/null
done
cd "$build"
ctest --output-on-failure -j"$jobs" "$@"
step "done"
