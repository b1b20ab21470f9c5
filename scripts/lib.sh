# shellcheck shell=bash
# Shared by the scripts in this folder: installing what the build needs and building one
# variant. Sourced, not run.

ORVETTE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian 12 packages the build, the tests and the sanitizer runs need. tshark reads the HCI
# trace in the btvirt suite and the simulated air's capture; its wireshark-common asks whether
# non-root users may capture, and the non-interactive install below takes the default answer
# (no) without asking. Python 3 with pytest, matplotlib and jsonschema runs the report tool,
# its tests and the scenario schema's check; chromium renders the report page headless.
ORVETTE_PACKAGES=(
    build-essential cmake g++ clang make util-linux
    libboost-dev libboost-thread-dev libboost-system-dev
    nlohmann-json3-dev libgtest-dev libgmock-dev googletest
    bluez-test-tools tshark
    python3 python3-pytest python3-matplotlib python3-jsonschema chromium
)

# Installs whatever of ORVETTE_PACKAGES is missing (apt-get update first). Needs root for
# that; does nothing when everything is there.
ensure_packages() {
    local missing=()
    local package
    for package in "${ORVETTE_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ "${#missing[@]}" -eq 0 ]; then
        return 0
    fi
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
    fi
    # A mirror that does not answer for a moment should not fail a whole CI variant.
    local attempt
    for attempt in 1 2 3; do
        if $sudo env DEBIAN_FRONTEND=noninteractive apt-get update &&
            $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"; then
            return 0
        fi
        if [ "$attempt" -lt 3 ]; then
            echo "Installing packages failed (attempt $attempt of 3); trying again in 20 s" >&2
            sleep 20
        fi
    done
    echo "Installing packages failed three times: ${missing[*]}" >&2
    return 1
}

# build_dir VARIANT: where that variant is built (ORVETTE_BUILD_DIR overrides).
build_dir() {
    if [ -n "${ORVETTE_BUILD_DIR:-}" ]; then
        echo "$ORVETTE_BUILD_DIR"
    else
        echo "$ORVETTE_ROOT/build-$1"
    fi
}

# configure_and_build VARIANT [TARGET...]: VARIANT is normal, asan or tsan.
configure_and_build() {
    local variant="$1"
    shift
    local sanitize
    case "$variant" in
        normal) sanitize="" ;;
        asan) sanitize="address" ;;
        tsan) sanitize="thread" ;;
        *)
            echo "unknown variant '$variant' (use normal, asan or tsan)" >&2
            return 2
            ;;
    esac
    local dir
    dir="$(build_dir "$variant")"
    cmake -S "$ORVETTE_ROOT" -B "$dir" -DORVETTE_SANITIZE="$sanitize"
    if [ "$#" -gt 0 ]; then
        local target
        for target in "$@"; do
            cmake --build "$dir" --target "$target" -- -j"${ORVETTE_JOBS:-2}"
        done
    else
        cmake --build "$dir" -- -j"${ORVETTE_JOBS:-2}"
    fi
}

# ThreadSanitizer needs the memory layout it was built for; with the wide address-space
# randomisation of newer kernels its binaries die, at start or now and then, with
# "unexpected memory mapping". Running without randomisation (setarch -R) avoids that and
# costs nothing, so it is used wherever the kernel allows it. Prints the command prefix to
# use; fails when tsan binaries cannot start at all.
tsan_prefix() {
    local probe="$1"
    local prefix
    prefix="setarch $(uname -m) -R"
    if $prefix true >/dev/null 2>&1 && $prefix "$probe" --gtest_list_tests >/dev/null 2>&1; then
        echo "$prefix"
        return 0
    fi
    if "$probe" --gtest_list_tests >/dev/null 2>&1; then
        return 0
    fi
    echo "ThreadSanitizer binaries do not start here:" >&2
    "$probe" --gtest_list_tests 2>&1 | head -5 >&2 || true
    return 1
}
