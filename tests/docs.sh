#!/usr/bin/env bash
# The README and the manual page describe each result word with the meaning and status that
# tcprtu itself prints from its one table.
# Usage: docs.sh TCPRTU README MANUAL
set -uo pipefail
tcprtu=$1 readme=$2 manual=$3
failed=0
while read -r word status meaning; do
    manWord=${word//-/\\-}
    grep -qF "| \`$word\` | $status | $meaning |" "$readme" ||
        { echo "README: no row for $word ($status): $meaning"; failed=1; }
    grep -qF ".BR $manWord \" (${status//-/\\-})\"" "$manual" ||
        { echo "manual page: no entry for $word ($status)"; failed=1; }
done < <("$tcprtu" write --help | sed -n '/^Results/,/^$/p' | sed '1d;/^$/d' |
    sed -E 's/--([a-z-]+)/`--\1`/g; s/named in staged/named in `staged`/')
[ "$failed" = 0 ] && echo "docs: every result word in the README and the manual page"
exit "$failed"
