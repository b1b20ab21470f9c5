#!/usr/bin/env bash
# Prints what went wrong in one failed CI variant, from its log:
#   scripts/failure-digest.sh LOG [NAME]
# For a CTest run, for the first four failed tests, what their own output says failed and its last lines and CTest's list of
# failures; for anything else (a build error, a package that would not install, a script's
# own check), the log's last lines that say error or fail. Short by design: it is printed
# after the summary, where a CI page that keeps only the end of a run still shows it.
set -uo pipefail

log="${1:?usage: failure-digest.sh LOG [NAME]}"
name="${2:-$(basename "$log" .log)}"
echo "=== ${name}: what failed ==="
if [ ! -r "$log" ]; then
    echo "(no log at $log)"
    exit 0
fi

# A failed test's block starts at its status line and runs until CTest's next line of its
# own (the next test's start or status, or the closing count). Of each block: the status
# line, the lines that say what failed (a test's assertions, a sanitizer's report), and the
# block's last lines.
awk '
    function flush(   i, said, first) {
        if (n > 0 && ++blocks <= 4) {
            print lines[1]
            said = 0
            for (i = 2; i <= n && said < 30; i++) {
                if (lines[i] ~ /Failure|Which is|Expected( equality|:)|Actual:|Value of:|\[  FAILED  \]|ERROR|Sanitizer|runtime error|terminate|Aborted|Segmentation/) {
                    print lines[i]
                    said++
                }
            }
            first = (n > 15) ? n - 15 + 1 : 2
            print "  ... last lines:"
            for (i = first; i <= n; i++) print lines[i]
        }
        n = 0
    }
    /^ *([0-9]+\/[0-9]+ +)?Test +#[0-9]+:/ || /^ *Start +[0-9]+:/ || /tests passed, [0-9]+ tests failed/ {
        flush(); keep = 0
    }
    /^ *([0-9]+\/[0-9]+ +)?Test +#[0-9]+:.*\*\*\*(Failed|Timeout|Exception)/ { keep = 1 }
    keep { lines[++n] = $0 }
    END { flush() }
' "$log"

if grep -q "tests failed out of" "$log"; then
    grep "tests failed out of" "$log" | tail -1
    sed -n '/^The following tests FAILED/,$p' "$log" | grep -E "^The following|^[[:space:]]+[0-9]+ - " | tail -30
else
    grep -n -i -E "error|fail|fatal|^E: " "$log" | grep -v -E "Werror|-Wfree-nonheap|error_code|_error\.|errors?\.(cpp|h)" | tail -30
fi
