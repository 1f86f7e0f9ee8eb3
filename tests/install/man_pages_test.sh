#!/usr/bin/env bash
# The manual pages in dist/man/ are what scripts/man-pages makes from the programs'
# --help texts now: a changed option without remade pages fails here.
#   man_pages_test.sh BIN_DIR SOURCE_DIR
set -euo pipefail
bin="$1"
source="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$source/scripts/man-pages" "$bin" "$work"
status=0
for page in "$work"/*.1; do
    kept="$source/dist/man/$(basename "$page")"
    # The .TH line carries the date; the rest must be the same.
    if ! diff -u <(grep -v '^\.TH ' "$kept") <(grep -v '^\.TH ' "$page"); then
        echo "$(basename "$page") is out of date: run scripts/man-pages build/bin dist/man"
        status=1
    fi
done
exit "$status"
