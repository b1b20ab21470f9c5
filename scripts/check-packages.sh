#!/usr/bin/env bash
# Checks the packages a user installs, as a user gets them:
#   scripts/check-packages.sh                 builds both (scripts/package.sh all), then checks
#   scripts/check-packages.sh DEB ZIP         checks these two
# The .deb is unpacked into a scratch folder (dpkg -x, no installation): its files must be
# where they belong and nothing else there, its control fields right, its program stripped
# and able to run a few seconds on the simulated dongle (-csim, then on an installed example)
# and end in order on 'q'; the report tool, when packed, must answer --help. The runtime
# libraries it depends on are the build's, already on this machine. The .zip's listing must
# hold a stripped orvette.exe (its size is printed), the examples and the docs and nothing
# else; with wine at hand, the zipped orvette.exe runs a few seconds with -csim too.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() {
    echo "ok: $*"
}

if [ "$#" -eq 0 ]; then
    listing="$(mktemp)"
    "$ORVETTE_ROOT/scripts/package.sh" all | tee "$listing"
    deb="$(sed -n 's/^deb: //p' "$listing")"
    zip="$(sed -n 's/^zip: //p' "$listing")"
    rm -f "$listing"
elif [ "$#" -eq 2 ]; then
    deb="$1"
    zip="$2"
else
    echo "usage: scripts/check-packages.sh [DEB ZIP]" >&2
    exit 2
fi
for package in "$deb" "$zip"; do
    if [ ! -f "$package" ]; then
        echo "check-packages.sh: no package at '$package'" >&2
        exit 1
    fi
done

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
version="$(sed -n 's/^project(orvette VERSION \([0-9.]*\).*/\1/p' "$ORVETTE_ROOT/CMakeLists.txt")"
uuid=a0a489971097bba1b343eddd8f50f6ac
with_report=0
if [ -f "$ORVETTE_ROOT/tools/orvette-report" ] && [ -d "$ORVETTE_ROOT/tools/report/orvette_report" ]; then
    with_report=1
fi

# The files a package must hold, relative to its documentation and examples folders: every
# page of docs/ and every example of examples/ in the source tree.
expected_docs() {
    echo README.md
    (cd "$ORVETTE_ROOT" && find docs -maxdepth 1 -type f \
        \( -name '*.md' -o -name '*.png' -o -name '*.svg' -o -name '*.jpg' \) | sort)
}
expected_examples() {
    (cd "$ORVETTE_ROOT/examples" && find . -maxdepth 1 -type f -name '*.json' -printf '%f\n' | sort)
}

# check_run LABEL OUT ERR RC: the console and exit code of a run that got 'q' after 3 s.
check_run() {
    local label="$1" out="$2" err="$3" rc="$4"
    local ok=1
    if [ "$rc" != 0 ]; then
        fail "$label: exit code $rc, expected 0"
        ok=0
    fi
    local line
    for line in "'q' to quit program" "Status: 7, message: Connection active" \
        "Wait for keep-alive thread to stop" "Call sd_rpc_close" "Closed"; do
        if ! grep -qF -- "$line" "$out"; then
            fail "$label: no line '$line'"
            ok=0
        fi
    done
    if [ "$(tr -d '\r' <"$out" | tail -n 1)" != "Exiting" ]; then
        fail "$label: the last line is not 'Exiting'"
        ok=0
    fi
    if [ -s "$err" ]; then
        fail "$label: wrote to standard error"
        ok=0
    fi
    if [ "$ok" = 1 ]; then
        pass "$label: started, ended in order on 'q', exit code 0"
    else
        echo "--- its standard output:"
        cat "$out"
        echo "--- its standard error:"
        cat "$err"
    fi
}

# run_for_three_seconds OUT ERR COMMAND...: types 'q' after 3 s and gives the run 60 s in all
# to end. Prints the exit code (124 when it had to be stopped).
run_for_three_seconds() {
    local out="$1" err="$2"
    shift 2
    # The program's own exit code: a program that ended early makes the 'q' writer fail too.
    local codes
    set +e
    { sleep 3 && echo q; } 2>/dev/null | timeout -k 5 60 "$@" >"$out" 2>"$err"
    codes=("${PIPESTATUS[@]}")
    set -e
    echo "${codes[1]}"
}

echo "=== $(basename "$deb") ($(stat -c %s "$deb") bytes)"
root="$scratch/deb"
dpkg -x "$deb" "$root"
docdir="$root/usr/share/doc/orvette"
expected="$scratch/deb-expected"
actual="$scratch/deb-actual"
{
    echo usr/bin/orvette
    expected_docs | sed 's|^|usr/share/doc/orvette/|'
    expected_examples | sed 's|^|usr/share/doc/orvette/examples/|'
    if [ "$with_report" = 1 ]; then
        echo usr/bin/orvette-report
        (cd "$ORVETTE_ROOT/tools/report" && find orvette_report -type f -name '*.py' \
            -not -path '*/__pycache__/*' -not -path '*/tests/*') | sed 's|^|usr/share/orvette/python/|'
    fi
} | sort >"$expected"
(cd "$root" && find . -type f -printf '%P\n' | sort) >"$actual"
if diff -u "$expected" "$actual" >"$scratch/deb-diff"; then
    pass "the .deb holds exactly the expected $(wc -l <"$actual") files"
else
    fail "the .deb's files differ from the expected ones (- missing, + unexpected):"
    grep '^[-+][^-+]' "$scratch/deb-diff" || true
fi
if [ -x "$root/usr/bin/orvette" ]; then
    pass "usr/bin/orvette is executable"
else
    fail "usr/bin/orvette is missing or not executable"
fi
if readelf -S "$root/usr/bin/orvette" 2>/dev/null | grep -qE '\.debug_|\.symtab'; then
    fail "usr/bin/orvette is not stripped"
else
    pass "usr/bin/orvette is stripped ($(stat -c %s "$root/usr/bin/orvette") bytes)"
fi

control="$scratch/control"
dpkg-deb -f "$deb" >"$control"
field() { sed -n "s/^$1: //p" "$control"; }
# expect_field NAME VALUE: VALUE empty means any non-empty value.
expect_field() {
    local value
    value="$(field "$1")"
    if [ -n "$value" ] && { [ -z "$2" ] || [ "$value" = "$2" ]; }; then
        pass "$1: $value"
    else
        fail "$1: '$value', expected '${2:-any value}'"
    fi
}
expect_field Package orvette
expect_field Version "$version"
expect_field Maintainer ""
expect_field Section ""
expect_field Architecture "$(dpkg --print-architecture)"
depends="$(field Depends)"
echo "Depends: $depends"
# The program links Boost.Thread and the C++ runtime dynamically; dpkg-shlibdeps must have
# found them.
for needed in libboost-thread libc6 libstdc++6; do
    case ", $depends" in
        *", $needed"*) pass "depends on $needed" ;;
        *) fail "Depends lacks $needed" ;;
    esac
done
if [ "$with_report" = 1 ]; then
    for needed in python3 python3-matplotlib; do
        case ", $depends," in
            *", $needed,"* | *", $needed "*) pass "depends on $needed" ;;
            *) fail "Depends lacks $needed" ;;
        esac
    done
fi

rc="$(run_for_three_seconds "$scratch/sim.out" "$scratch/sim.err" \
    "$root/usr/bin/orvette" -csim "-u$uuid")"
check_run "usr/bin/orvette -csim -u$uuid" "$scratch/sim.out" "$scratch/sim.err" "$rc"
example="$docdir/examples/default.json"
rc="$(run_for_three_seconds "$scratch/example.out" "$scratch/example.err" \
    "$root/usr/bin/orvette" "-csim:$example" "-u$uuid")"
check_run "usr/bin/orvette -csim:<installed examples/default.json>" \
    "$scratch/example.out" "$scratch/example.err" "$rc"

if [ "$with_report" = 1 ]; then
    if "$root/usr/bin/orvette-report" --help >"$scratch/report.out" 2>&1 &&
        grep -qi usage "$scratch/report.out"; then
        pass "usr/bin/orvette-report --help"
    else
        fail "usr/bin/orvette-report --help:"
        cat "$scratch/report.out"
    fi
else
    echo "(no report tool in this source tree: none packed, none checked)"
fi

echo "=== $(basename "$zip") ($(stat -c %s "$zip") bytes)"
top="orvette-$version-win64"
if ! unzip -Z1 "$zip" >"$scratch/zip-listing" 2>&1; then
    fail "not a zip archive: $(head -n 1 "$scratch/zip-listing")"
    : >"$scratch/zip-listing"
fi
grep -v '/$' "$scratch/zip-listing" | sort >"$scratch/zip-actual" || true
{
    echo "$top/orvette.exe"
    expected_docs | sed "s|^|$top/|"
    expected_examples | sed "s|^|$top/examples/|"
} | sort >"$scratch/zip-expected"
if diff -u "$scratch/zip-expected" "$scratch/zip-actual" >"$scratch/zip-diff"; then
    pass "the .zip holds exactly the expected $(wc -l <"$scratch/zip-actual") files"
else
    fail "the .zip's files differ from the expected ones (- missing, + unexpected):"
    grep '^[-+][^-+]' "$scratch/zip-diff" || true
fi
unzip -q "$zip" -d "$scratch/zip" 2>/dev/null || true
exe="$scratch/zip/$top/orvette.exe"
if [ ! -f "$exe" ]; then
    fail "no orvette.exe in the .zip"
else
    objdump=objdump
    if command -v x86_64-w64-mingw32-objdump >/dev/null; then
        objdump=x86_64-w64-mingw32-objdump
    fi
    if ! "$objdump" -h "$exe" >"$scratch/sections" 2>&1; then
        fail "$objdump cannot read orvette.exe"
    elif grep -q '\.debug_' "$scratch/sections"; then
        fail "orvette.exe has debug sections ($(stat -c %s "$exe") bytes)"
    elif "$objdump" -t "$exe" 2>/dev/null | grep -q '^\[ *[0-9]*\]'; then
        fail "orvette.exe still has its symbol table ($(stat -c %s "$exe") bytes)"
    else
        pass "orvette.exe is stripped: $(stat -c %s "$exe") bytes"
    fi

    # The zipped program under wine, in the Windows build's prefix, with a server of its own
    # for this run; output goes to files, not pipes (wine's background services, started by
    # the first program of a server, hold their standard error until the server ends).
    wine_prefix="${ORVETTE_WIN_BUILD_DIR:-$ORVETTE_ROOT/build-win}/wineprefix"
    if command -v wine >/dev/null; then
        export WINEPREFIX="$wine_prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
        unset DISPLAY WAYLAND_DISPLAY
        norandom=(setarch -R)
        if ! setarch -R true 2>/dev/null; then norandom=(); fi
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            mkdir -p "$WINEPREFIX"
            "${norandom[@]}" wineboot --init >/dev/null 2>&1 || true
        fi
        wineserver -k 2>/dev/null || true
        wineserver -p
        trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
        "${norandom[@]}" wine cmd /c exit </dev/null >/dev/null 2>&1
        rc="$(run_for_three_seconds "$scratch/wine.out" "$scratch/wine.err" \
            "${norandom[@]}" wine "$exe" -csim "-u$uuid")"
        check_run "orvette.exe -csim -u$uuid under wine" "$scratch/wine.out" \
            "$scratch/wine.err" "$rc"
    else
        echo "(no wine here: the zipped orvette.exe is not run)"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "=== packages: $failures check(s) failed"
    exit 1
fi
echo "=== packages: all checks passed"
