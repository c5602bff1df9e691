#!/usr/bin/env bash
# tcprtu's bash completion, driven as bash drives it: the command line split into COMP_WORDS the
# way bash splits it ("=" a word of its own), the function called, COMPREPLY compared.
# Usage: completion.sh COMPLETION_FILE TCPRTU
# Exits 77 (skipped) without bash-completion, whose helpers the completion uses.
set -uo pipefail

completion=$(realpath "$1")
tcprtu=$(realpath "$2")
helpers=/usr/share/bash-completion/bash_completion
[ -r "$helpers" ] || {
    echo "completion: skipped: $helpers is missing (apt-get install bash-completion)"
    exit 77
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# tcprtu itself, but with two adapters plugged in, whatever this machine has.
cat >"$work/tcprtu" <<EOF
#!/bin/sh
if [ "\$*" = "ports --json" ]; then
    cat <<'JSON'
[
    {
        "description": "FT232R USB UART",
        "location": "/dev/ttyUSB0",
        "name": "ttyUSB0",
        "usb_id": "0403:6001"
    },
    {
        "location": "/dev/ttyACM0",
        "name": "ttyACM0"
    }
]
JSON
else
    exec "$tcprtu" "\$@"
fi
EOF
chmod +x "$work/tcprtu"
# A log of the test's own, whose units --mac offers.
export XDG_STATE_HOME=$work/state
mkdir -p "$XDG_STATE_HOME/tcprtu"
cat >"$XDG_STATE_HOME/tcprtu/log.jsonl" <<'EOF'
{"command":"write","mac":"02:00:00:00:00:01","port":"ttyUSB0","result":"verified","status":0,"time":"2026-12-07T14:30:00Z"}
{"command":"audit","mac":"02:00:00:00:00:0a","port":"ttyUSB1","result":"matches","status":0,"time":"2026-12-07T14:31:00Z"}
{"command":"write","mac":"02:00:00:00:00:01","port":"ttyUSB0","result":"verified","status":0,"time":"2026-12-07T14:32:00Z"}
EOF
mkdir "$work/profiles"
touch "$work/profiles/site.json" "$work/profiles/second.json"
cd "$work/profiles"

set +u
# shellcheck disable=SC1090
source "$helpers"
source "$completion" || exit 1
set -u

failures=0

# check LINE EXPECTED: completes LINE (the cursor at its end) and compares the sorted replies,
# one per line, with EXPECTED. "=" and ":" break words, as in bash's COMP_WORDBREAKS.
check() {
    local line=$1 expected=$2 token
    local -a words=()
    set -f
    for token in $line; do
        while [[ $token == *[=:]* ]]; do
            local head=${token%%[=:]*}
            [ -n "$head" ] && words+=("$head")
            token=${token#"$head"}
            words+=("${token:0:1}")
            token=${token:1}
        done
        [ -n "$token" ] && words+=("$token")
    done
    set +f
    [[ $line == *" " ]] && words+=("")
    # The stand-in is called as the line's first word.
    words[0]=$work/tcprtu
    COMP_WORDS=("${words[@]}")
    COMP_CWORD=$((${#words[@]} - 1))
    COMP_LINE=$work/${line}
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _tcprtu tcprtu "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | sed '/^$/d')
    if [ "$got" != "$expected" ]; then
        echo "FAIL: \"$line\""
        diff <(echo "$expected") <(echo "$got") | sed -n 's/^</  missing:/p; s/^>/  extra:  /p'
        failures=$((failures + 1))
    fi
}

check "tcprtu " "--help
--version
audit
check
find
line
log
poll
ports
read
report
reset
scan
write"
check "tcprtu scan --u" "--units"
check "tcprtu line --speeds 9600,1" "9600,115200
9600,1200
9600,128000
9600,19200"
check "tcprtu line --parities n" "none"
check "tcprtu re" "read
report
reset"
check "tcprtu read --" "--baud
--csv
--help
--json
--mode
--output
--port
--quiet
--timeout
--trace"
check "tcprtu write --no-" "--no-backup
--no-verify"
check "tcprtu ports --" "--help
--json
--quiet"
check "tcprtu read --mode " "rtu-tcp
tcp-rtu"
check "tcprtu read --mode=tc" "tcp-rtu"
check "tcprtu read --port " "ttyACM0
ttyUSB0"
check "tcprtu reset --port ttyU" "ttyUSB0"
check "tcprtu write --port ttyUSB0 --set " "gateway=
ip=
mac=
mask=
mode=
parity=
server_ip=
speed=
stop_bits=
tcp_port=
timeout="
check "tcprtu write --set s" "server_ip=
speed=
stop_bits="
# The keys of the mode the line gives, however it gives it.
check "tcprtu write --mode tcp-rtu --port ttyUSB0 --set " "gateway=
ip=
mac=
mask=
mode=
parity=
speed=
stop_bits=
tcp_port="
check "tcprtu audit --mode=tcp-rtu --set s" "speed=
stop_bits="
check "tcprtu write --set mode=tcp-rtu --set s" "speed=
stop_bits="
check "tcprtu write --u" "--unit"
check "tcprtu log --mac " "02:00:00:00:00:01
02:00:00:00:00:0A"
check "tcprtu report --mac 02:00:00:00:00:0" "01
0A"
check "tcprtu write --set parity=" "even
none
odd"
check "tcprtu write --set speed=1" "115200
1200
128000
19200"
check "tcprtu write --set ip=10" ""
check "tcprtu write --port ttyUSB0 s" "second.json
site.json"
check "tcprtu read --port ttyUSB0 --output si" "site.json"
check "tcprtu log --result ver" "verified"
check "tcprtu audit --inventory units.csv --encoding cp125" "cp1250
cp1251
cp1252
cp1253
cp1254
cp1257"
check "tcprtu log --merge s" "second.json
site.json"
check "tcprtu unknown --" ""

if ((failures)); then
    echo "completion: $failures case(s) failed"
    exit 1
fi
echo "completion: every case completed as expected"
