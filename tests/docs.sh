#!/usr/bin/env bash
# The README and the manual page describe each result word with the meaning and status that
# tcprtu itself prints from its one table, and give each command the options, in order, that
# tcprtu --help's synopsis gives it, which names every option the command takes.
# Usage: docs.sh TCPRTU README MANUAL
set -uo pipefail
tcprtu=$1 readme=$2 manual=$3
failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
while read -r word status meaning; do
    manWord=${word//-/\\-}
    grep -qF "| \`$word\` | $status | $meaning |" "$readme" ||
        { echo "README: no row for $word ($status): $meaning"; failed=1; }
    grep -qF ".BR $manWord \" (${status//-/\\-})\"" "$manual" ||
        { echo "manual page: no entry for $word ($status)"; failed=1; }
done < <("$tcprtu" write --help | sed -n '/^Results/,/^$/p' | sed '1d;/^$/d' |
    sed -E 's/--([a-z-]+)/`--\1`/g; s/named in staged/named in `staged`/')

# Each command with the options of its synopsis, in order, one line a command.
helpSynopsis() {
    "$tcprtu" --help | sed -n '/^Commands:/,/^$/p' | sed '1d' |
        awk '$1 ~ /^[a-z]+$/ { command = $1 } { print command, $0 }'
}
readmeSynopsis() {
    sed -n '/^## Command line/,/^## /p' "$readme" | sed -n '/^```$/,/^```$/p' | sed '1d;$d' |
        awk '$1 == "common:" { exit } $1 == "tcprtu" { command = $2 } { print command, $0 }'
}
manualSynopsis() {
    sed -n '/^\.SH SYNOPSIS/,/^\.SH /p' "$manual" | sed 's/\\-/-/g' |
        awk '/^\.SY/ { command = $2 == "tcprtu" ? "" : substr($3, 1, length($3) - 1) }
            command != "" { print command, $0 }'
}
options() {
    awk '{ command = $1; rest = substr($0, length($1) + 1) }
        !(command in line) { line[command] = ""; order[++n] = command }
        { while (match(rest, /--[a-z-]+/)) {
            line[command] = line[command] " " substr(rest, RSTART, RLENGTH)
            rest = substr(rest, RSTART + RLENGTH) } }
        END { for (i = 1; i <= n; i++) print order[i] ":" line[order[i]] }'
}
help=$(helpSynopsis | options)
for source in readme manual; do
    if ! diff -u <(echo "$help") <("${source}Synopsis" | options) >"$work/diff"; then
        echo "$source: the synopsis differs from tcprtu --help's (- help, + $source):"
        sed '1,2d' "$work/diff"
        failed=1
    fi
done
# The options a command takes, as its own --help lists them, but those every command takes.
while IFS=: read -r command synopsis; do
    taken=$("$tcprtu" "$command" --help | sed -n '/^Options:/,/^$/p' |
        grep -oE '^  (-[a-z], )?--[a-z-]+' | sed 's/.*--/--/' |
        grep -vxE -- '--(help|quiet|timeout|baud|trace)' | sort -u)
    given=$(tr ' ' '\n' <<<"$synopsis" | sed '/^$/d' | sort -u)
    [ "$taken" = "$given" ] || {
        echo "tcprtu --help: $command's synopsis names ${given//$'\n'/ }; it takes ${taken//$'\n'/ }"
        failed=1
    }
done <<<"$help"

[ "$failed" = 0 ] &&
    echo "docs: every result word and every command's synopsis in the README and the manual page"
exit "$failed"
