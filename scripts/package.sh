#!/usr/bin/env bash
# Builds the packages a user installs, from a Release build:
#   scripts/package.sh [deb|zip|all]        (default all)
# deb: the Debian package, built in build-release/ (ORVETTE_RELEASE_BUILD_DIR overrides);
# zip: the Windows x64 zip, from the mingw-w64 cross build of scripts/windows-build.sh
#      --release (build-win/release/, reusing build-win's dependencies).
# CPack strips the programs as it packs them. The last lines printed name the packages,
# one "<kind>: <path>" line each.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

what="${1:-all}"
case "$what" in
    deb | zip | all) ;;
    *)
        echo "usage: scripts/package.sh [deb|zip|all]" >&2
        exit 2
        ;;
esac
jobs="${ORVETTE_JOBS:-2}"
made=()

# cpack_one BUILD_DIR GENERATOR: runs CPack there and prints the package's path.
cpack_one() {
    local dir="$1" generator="$2"
    local out="$dir/packages"
    rm -rf "$out"
    (cd "$dir" && cpack -G "$generator" -B "$out" >/dev/null)
    # CPack leaves its staging tree beside the package; the package alone is wanted.
    rm -rf "$out/_CPack_Packages"
    local package
    package="$(find "$out" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.zip' \) | head -n 1)"
    if [ -z "$package" ]; then
        echo "package.sh: CPack made no $generator package in $out" >&2
        return 1
    fi
    echo "$package"
}

if [ "$what" = deb ] || [ "$what" = all ]; then
    echo "--- package: Release build for the .deb"
    # dpkg-shlibdeps (dpkg-dev) works out the package's dependencies; file tells it which
    # installed files are programs.
    ORVETTE_PACKAGES+=(dpkg-dev file)
    ensure_packages
    dir="${ORVETTE_RELEASE_BUILD_DIR:-$ORVETTE_ROOT/build-release}"
    cmake -S "$ORVETTE_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DORVETTE_BUILD_TESTS=OFF \
        -DORVETTE_SANITIZE= >/dev/null
    cmake --build "$dir" --target orvette -- -j"$jobs"
    echo "--- package: cpack DEB"
    made+=("deb: $(cpack_one "$dir" DEB)")
fi

if [ "$what" = zip ] || [ "$what" = all ]; then
    echo "--- package: Release build of orvette.exe for the .zip"
    "$ORVETTE_ROOT/scripts/windows-build.sh" --release
    dir="${ORVETTE_WIN_BUILD_DIR:-$ORVETTE_ROOT/build-win}/release"
    echo "--- package: cpack ZIP"
    made+=("zip: $(cpack_one "$dir" ZIP)")
fi

for line in "${made[@]}"; do
    echo "$line"
done
