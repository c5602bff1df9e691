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

# Each command's options as its --help lists them, one a line: the command, the option, its text.
optionTexts() {
    "$tcprtu" "$1" --help | sed -n '/^Options:/,/^$/p' |
        awk -v command="$1" '
            /^  -/ { if (name) print command, name, text
                     name = $0; sub(/^  (-[a-z], )?/, "", name); sub(/[ <].*/, "", name)
                     text = $0; sub(/^  (-[a-z], )?--[a-z-]+( <[^>]*>)? */, "", text); next }
            /^   / { sub(/^ +/, ""); text = text " " $0 }
            END { if (name) print command, name, text }'
}
# A command that ends at once, with a status other than 2, on a port or an address where nothing
# is: what each option below is added to.
printf 'mac\n02:00:00:00:00:01\n' >"$work/units.csv"
declare -A base=(
    [find]="--port $work/none"
    [read]="--port $work/none --mode tcp-rtu"
    [write]="--port $work/none --mode tcp-rtu --set ip=10.0.0.1"
    [reset]="--port $work/none"
    [audit]="--inventory $work/units.csv --port $work/none --mode tcp-rtu"
    [log]=""
    [report]=""
    [check]="--host 127.0.0.1 --tcp-port 1"
    [scan]="--host 127.0.0.1 --tcp-port 1 --units 1"
    [poll]="--host 127.0.0.1 --tcp-port 1 --read 0"
    [line]="--port $work/none --mode tcp-rtu"
)
# What each command does with each option it lists: arguments it refuses (status 2) only because
# it reads that option, or "-" for a flag or a free text that nothing refuses. A command whose
# --help lists an option with no row for it here, or that takes the row's arguments, shows an
# option it does not act on.
refusals=$(sed "s|WORK|$work|g" <<'ROWS'
--port            find,read,write,reset,audit,line  --port WORK/twice --port WORK/twice
--mode            read,write,audit,line             --mode x
--json            read,audit,log                    --json --csv
--json            report                            --json --output WORK/report.html
--json            ports,find,write,check,scan,poll,line  -
--csv             read,audit,log                    --csv --json
--output          read,report                       --output WORK/out.json --json
--inventory       write,audit,report,scan,line      --inventory WORK/none.csv
--encoding        write,audit,report,scan,line      --encoding x
--mac             log,report                        --mac x
--since           log,report                        --since x
--result          log                               --result x
--merge           log                               --merge
--title           report                            -
--engineer        report                            --engineer x --json
--engineer-notes  report                            --engineer-notes --json
--set             write,audit                       --set x=1
--dry-run         write                             -
--force           write                             -
--backup          write                             --backup WORK/backup.json --no-backup
--no-backup       write                             --no-backup --backup WORK/backup.json
--no-verify       write                             --no-verify --check
--check           write                             --check --no-verify
--check           audit                             --check --mode rtu-tcp
--check-host      write,audit                       --check-host 127.0.0.1
--restart-timeout write                             --restart-timeout 0
--timeout         find,read,write,reset,audit,check,scan,poll,line  --timeout 0
--baud            find,read,write,reset,audit,line  --baud 0
--trace           find,read,write,reset,audit,line  -
--host            line                              --host 127.0.0.1 --port WORK/other
--host            check,scan,poll                   -
--tcp-port        check,scan,poll,line              --tcp-port 0
--unit            write,audit,check,poll,line       --unit 0
--read            write,audit,check,scan,poll,line  --read x
--input           write,audit                       --input
--input           check                             --input --write 0=1
--input           scan,poll,line                    -
--write           check                             --write x
--units           scan,line                         --units 0
--interval        poll                              --interval 0
--count           poll                              --count 0
--duration        poll                              --duration 0
--speeds          line                              --speeds 7
--parities        line                              --parities x
--stop-bits       line                              --stop-bits 3
--keep            line                              --keep --restore
--restore         line                              --restore --keep
--scan            line                              -
ROWS
)
while read -r command; do
    while read -r _ option text; do
        case $option in --help | --quiet) continue ;; esac
        [ -n "$text" ] || { echo "tcprtu $command --help: $option has no text"; failed=1; }
        row=$(awk -v option="$option" -v command="$command" '$1 == option &&
            index("," $2 ",", "," command ",") { $1 = $2 = ""; sub(/^ +/, ""); print; exit }' \
            <<<"$refusals")
        if [ -z "$row" ]; then
            echo "tcprtu $command --help shows $option; no row of docs.sh says what $command does with it"
            failed=1
        elif [ "$row" != - ]; then
            # shellcheck disable=SC2086
            "$tcprtu" "$command" ${base[$command]-} $row >/dev/null 2>&1 </dev/null
            status=$?
            [ "$status" = 2 ] || {
                echo "tcprtu $command --help shows $option, but $command takes \"$row\" (status $status)"
                failed=1
            }
        fi
    done < <(optionTexts "$command")
done < <(sed 's/:.*//' <<<"$help")

# Texts once false for a command: "!" before one it must not say, else one it must.
while read -r command option said; do
    text=$(optionTexts "$command" | awk -v option="$option" '$2 == option' | cut -d' ' -f3-)
    if [[ $said == !* ]]; then
        [[ $text != *"${said#!}"* ]] || {
            echo "tcprtu $command --help: $option says \"${said#!}\", which is not so"
            failed=1
        }
    elif [[ $text != *"$said"* ]]; then
        echo "tcprtu $command --help: $option does not say \"$said\": $text"
        failed=1
    fi
done <<'ROWS'
line --unit (default: ids 1-10)
line --unit !(default 1)
line --tcp-port !(default 502)
line --mode !rtu-tcp
find --port !several converters at once
poll --read !(default 0)
log --csv !one row per port
audit --check !After the verify
ROWS

[ "$failed" = 0 ] &&
    echo "docs: every result word and every command's synopsis in the README and the manual" \
        "page; every option each command's --help shows is one it acts on"
exit "$failed"
