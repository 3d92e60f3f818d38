#!/bin/sh
# Prints the test code against the product code and their ratio, counted in
# lines that are neither blank nor only a comment, over the tracked C/C++,
# Python and shell sources. Tests: everything under a tests/ folder and the
# test-only scripts below. Benchmarks (bench/) count as neither.
#   tools/test-share.sh [MAX_PERCENT]   exits 1 when the ratio is above MAX_PERCENT
set -eu
cd "$(dirname "$0")/.."
test_scripts='^(tools/run-tests\.sh|tools/test-share\.sh|tools/check-package\.sh)$'

# C family: // lines and the inside of /* */ blocks are comments.
c_lines() {
    xargs -r awk '
        FNR == 1 { block = 0 }
        {
            line = $0
            if (block) { if (line !~ /\*\//) next; sub(/^.*\*\//, "", line); block = 0 }
            if (line ~ /^[ \t]*\/\*/ && line !~ /\*\//) { block = 1; next }
            sub(/^[ \t]*\/\*.*\*\//, "", line)
            if (line ~ /^[ \t]*(\/\/.*)?$/) next
            n++
        }
        END { print n + 0 }'
}
# Python and shell: # lines are comments.
s_lines() { xargs -r cat | grep -c -v -E '^\s*(#.*)?$' || true; }

files=$(git ls-files | grep -v -E '(^|/)bench/')
tests=$(echo "$files" | grep -E "(^|/)tests/|$test_scripts" || true)
product=$(echo "$files" | grep -v -E "(^|/)tests/|$test_scripts" || true)
count() { # $1: file list
    c=$(echo "$1" | grep -E '\.(c|cpp|h|hpp)$' | c_lines)
    s=$(echo "$1" | grep -E '\.(py|sh)$' | s_lines)
    echo $((c + s))
}
t=$(count "$tests")
p=$(count "$product")
pct=$(awk -v t="$t" -v p="$p" 'BEGIN { printf "%.1f", p ? 100 * t / p : 0 }')
echo "test code: $t lines; product code: $p lines; tests are $pct % of the product"
if [ $# -gt 0 ] && awk -v r="$pct" -v m="$1" 'BEGIN { exit !(r > m) }'; then
    echo "above the $1 % limit: merge or drop tests that no longer catch a fault of their own" >&2
    exit 1
fi
