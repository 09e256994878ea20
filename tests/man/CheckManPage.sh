#!/usr/bin/env bash
# The manual page: groff formats it without a single warning, and it documents every option that
# the programs' --help lists. Usage: CheckManPage.sh PAGE PROGRAM...
set -euo pipefail
page=$1
shift

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    printf '%s: groff warns:\n%s\n' "$page" "$warnings"
    exit 1
fi
status=0
for program in "$@"; do
    for option in $("$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        # In the page's source a dash is written \-.
        if ! grep -qF -- "${option//-/\\-}" "$page"; then
            echo "$page: $(basename "$program") $option is not documented"
            status=1
        fi
    done
done
exit $status
