#!/usr/bin/env bash
# Prints the non-blank lines of the tests against those of the program
# (src/ and tools/), by folder, and fails when the tests outgrow the code:
# every line of test costs every later change.
# Counts tracked source files (C, C++, Python, shell); build files and binary test
# vectors and documents are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${1:-0.45}

files() {  # the tracked files under $1 (every file when this is not a git checkout)
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then git ls-files -- "$1"; else find "$1" -type f; fi
}

count() {  # non-blank lines of the source files under $1
    files "$1" | grep -E '\.(c|cc|cpp|h|hpp|py|sh)$' |
        while read -r f; do [ -f "$f" ] && grep -cv '^[[:space:]]*$' "$f" || true; done |
        awk '{ s += $1 } END { print s + 0 }'
}

total() { local t=0 d; for d in "$@"; do t=$((t + $(count "$d"))); done; echo "$t"; }

report() {  # $1 heading, then the folders one level under it
    local top=$1 d
    for d in $(files "$top" | awk -F/ 'NF > 2 { print $1 "/" $2 }' | sort -u); do
        printf '  %-28s %6d\n' "$d" "$(count "$d")"
    done
    printf '  %-28s %6d\n' "$top (files at top)" \
        "$(files "$top" | awk -F/ 'NF == 2' | while read -r f; do count "$f"; done |
           awk '{ s += $1 } END { print s + 0 }')"
}

echo "program:"; report src; report tools
echo "tests:"; report tests
code=$(total src tools)
tests=$(total tests)
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.3f", t / c }')
echo "program $code, tests $tests, ratio $ratio (limit $limit)"
awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r <= l) }' || {
    echo "the tests have outgrown the code: trim them or fold cases into tables" >&2
    exit 1
}
