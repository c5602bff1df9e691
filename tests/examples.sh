#!/usr/bin/env bash
# Every command of the README's command-line sections (its ```sh blocks) and of the manual page's
# EXAMPLES, read from the texts as they are now and run against simulated converters, so that an
# edit that breaks one fails here. Each README block and the manual page's examples as a whole
# run in a directory of their own, which is also HOME (so ~/.local/state is XDG_STATE_HOME) and
# the working directory, with tcprtu and tcprtu-sim (also as build/cli/tcprtu and
# build/sim/tcprtu-sim) standing in for the programs. What the texts assume of a technician's desk
# is made so:
# - a port they name (ttyUSB0, COM3, /dev/serial/by-id/...) is a simulated converter's link in
#   the directory; one whose name ends in a number N has MAC 02:00:00:00:00:NN, N in hexadecimal;
# - find, and write, audit or line with --inventory, without --port ask the simulators' ports,
#   never the machine's own;
# - a converter's address they name off loopback (192.168.0.10) is a simulator holding a loopback
#   ip, with slaves 1 and 3 on its line, and the address is mapped to it; loopback addresses
#   127.0.X.Y become 127.R.X.Y, R random, so that runs at once do not meet; paths under /tmp/ are
#   the directory's tmp/; a network command whose address is none of these is left out, and says
#   why;
# - the hand edits between commands: a site.json that was just read loses mac and ip and gets
#   speed 19200 and parity even, as the manual page says; a units.csv that was just read gets
#   ip 10.0.0.101, .102, ... row by row, and empty gateway and speed cells, as both texts say;
# - a backup named by a time it cannot have (the texts' 20261206T143000Z) is that unit's latest;
# - simulators restart in 50 ms, wait for slaves 20 ms, a poll watches for 1 s, and the runner
#   waits for each simulator a command starts instead of "sleep".
# A command must exit 0, or the status its text names: "exit status N" in a comment before it,
# "(exit N)" in one after it, or "# N" or "# N: why" at the end of its line.
# Usage: examples.sh TCPRTU TCPRTU_SIM README MANUAL
set -uo pipefail

tcprtu=$(realpath "$1")
sim=$(realpath "$2")
readme=$3
manual=$4
work=$(mktemp -d)
R=$((RANDOM % 200 + 20))
trap 'rm -rf "$work"' EXIT

# The stand-ins. Each block's directory is given in EXAMPLE_DIR.
mkdir "$work/bin"
cat >"$work/bin/tcprtu" <<EOF
#!/usr/bin/env bash
real=$tcprtu
EOF
cat >>"$work/bin/tcprtu" <<'EOF'
dir=$EXAMPLE_DIR
leftOut() { echo "left out: $*" >&2; exit 99; }
loopback() { [[ $1 == 127.* ]]; }
verb=${1-}
args=()
hasPort=0 hasCheck=0 hasCheckHost=0 hasHost=0 hasTcpPort=0 hasDuration=0 inventory= mappedPort=
ports=()
ips=()
while (($#)); do
    arg=$1 value=
    shift
    if [[ $arg == --*=* ]]; then
        value=${arg#*=} arg=${arg%%=*}
    elif [[ $arg == --port || $arg == --host || $arg == --check-host || $arg == --inventory ||
        $arg == --set || $arg == --tcp-port || $arg == --duration ]] && (($#)); then
        value=$1
        shift
    fi
    case $arg in
        --port)
            hasPort=1
            [[ $value == "$dir"/* ]] || value=$dir/ports/${value//\//_}
            ports+=("$value")
            ;;
        --host | --check-host)
            [[ $arg == --check-host ]] && hasCheckHost=1
            [[ $arg == --host ]] && hasHost=1
            if ! loopback "$value"; then
                [ -f "$dir/hosts/$value" ] || leftOut "no simulator stands in for $value"
                read -r value mappedPort <"$dir/hosts/$value"
            fi
            ;;
        --tcp-port) hasTcpPort=1 ;;
        --duration) hasDuration=1 value=1 ;;
        --count) hasDuration=1 ;;
        --inventory) inventory=$value ;;
        --set) [[ $value == ip=* ]] && ips+=("${value#ip=}") ;;
        --check) hasCheck=1 ;;
        */tcprtu/backups/*-20261206T143000Z.json)
            latest=$(ls -t "${arg%-20261206T143000Z.json}"-*.json 2>/dev/null | head -n 1)
            [ -n "$latest" ] && arg=$latest
            ;;
    esac
    args+=("$arg")
    [ -n "$value" ] && args+=("$value")
done
# A mapped address carries the simulator's TCP port unless one is given.
if [ -n "$mappedPort" ]; then
    ((hasTcpPort)) && for i in "${!args[@]}"; do
        [[ ${args[i]} == --tcp-port ]] && args[i + 1]=$mappedPort
    done
    ((hasTcpPort)) || args+=(--tcp-port "$mappedPort")
fi
if [[ $verb == find || ($verb == write || $verb == audit || $verb == line) && -n $inventory ]] &&
    ((!hasPort)); then
    shopt -s nullglob
    ports=("$dir"/ports/*)
    ((${#ports[@]})) || leftOut "$verb without --port would ask this machine's own serial ports"
    for port in "${ports[@]}"; do args+=(--port "$port"); done
fi
if ((hasCheck && !hasCheckHost)); then
    # The check goes to the address each unit is planned to hold: it must be loopback.
    if [ -n "$inventory" ] && [ -f "$inventory" ]; then
        column=$(head -n 1 "$inventory" | tr -d '\r' | tr ',' '\n' | grep -nx ip | cut -d: -f1)
        [ -n "$column" ] && while IFS= read -r ip; do ips+=("$ip"); done < <(
            tail -n +2 "$inventory" | tr -d '\r' | cut -d, -f"$column")
    fi
    ((${#ips[@]})) || leftOut "its Modbus check would go to the units' own addresses"
    for ip in "${ips[@]}"; do
        loopback "$ip" || leftOut "its Modbus check would go to $ip"
    done
fi
if [[ $verb == line ]] && ((!hasHost)); then
    # Without --host, line asks the slaves at the address each converter holds: loopback only.
    for port in "${ports[@]}"; do
        held=$("$real" read --port "$port" --mode tcp-rtu --json 2>/dev/null |
            sed -n 's/^ *"ip": "\(.*\)",*$/\1/p')
        loopback "$held" || leftOut "line would connect to ${held:-the address the converter holds}"
    done
fi
[[ $verb == poll ]] && ((!hasDuration)) && args+=(--duration 1)
echo "+ tcprtu ${args[*]}" >&2
exec "$real" "${args[@]}"
EOF
cat >"$work/bin/tcprtu-sim" <<EOF
#!/usr/bin/env bash
real=$sim
EOF
cat >>"$work/bin/tcprtu-sim" <<'EOF'
# Started in the background by a block: runs the simulator as its child, which ends with it, and
# says it is ready once its port is open (and its Modbus TCP side, when it has a loopback ip).
dir=$EXAMPLE_DIR
ip= tcpPort=502 extra=(--restart-ms 50)
for ((i = 1; i <= $#; i++)); do
    next=$((i + 1))
    case ${!i} in
        --ip) ip=${!next} ;;
        --tcp-port) tcpPort=${!next} ;;
        --restart-ms) extra=() ;;
    esac
done
out=$dir/tmp/sim.$$
"$real" "$@" "${extra[@]}" --exit-with-parent $$ >"$out" &
child=$!
trap 'kill $child 2>/dev/null; wait $child; exit 143' TERM INT HUP
until [ -s "$out" ] || ! kill -0 $child 2>/dev/null; do sleep 0.02; done
if [[ $ip == 127.* ]]; then
    until (exec 3<>"/dev/tcp/$ip/$tcpPort") 2>/dev/null || ! kill -0 $child 2>/dev/null; do
        sleep 0.02
    done
fi
touch "$dir/ready/$$"
wait $child
EOF
chmod +x "$work/bin/tcprtu" "$work/bin/tcprtu-sim"

# The blocks, one file each, with a name.
mkdir "$work/blocks"
awk -v out="$work/blocks" '
    /^## / { inside = ($0 == "## Command line") }
    /^### / { section = substr($0, 5) }
    inside && /^```sh$/ {
        file = sprintf("%s/readme-%02d", out, ++n)
        print (section == "" ? "README block " n : section) > (file ".name")
        code = 1
        next
    }
    code && /^```$/ { code = 0; close(file); next }
    code { print > file }
' "$readme"
sed -n '/^\.SH EXAMPLES/,/^\.SH /p' "$manual" | sed -n '/^\.EX/,/^\.EE/p' | sed '/^\.E[XE]/d' |
    sed 's/\\-/-/g; s/\\(ti/~/g; s/\\(dq/"/g; s/\\e/\\/g' >"$work/blocks/manual"
echo "the manual page's EXAMPLES" >"$work/blocks/manual.name"
# A text whose examples are no longer found is no text whose examples run.
[ -e "$work/blocks/readme-01" ] ||
    { echo "FAIL: no sh block in the README's Command line" && exit 1; }
grep -q '[a-z]' "$work/blocks/manual" ||
    { echo "FAIL: no example in the manual page's EXAMPLES" && exit 1; }

# waitFor COMMAND...: until it succeeds, at most 5 s.
waitFor() {
    for _ in $(seq 250); do
        "$@" 2>/dev/null && return 0
        sleep 0.02
    done
    return 1
}
connects() { (exec 3<>"/dev/tcp/$1/$2"); }

# runBlock FILE, in a subshell of its own: the block's statements one by one, in that shell, so
# that the jobs a statement starts are the block's own ("kill %1").
runBlock() {
    local file=$1 name dir
    name=$(cat "$file.name")
    dir=$work/run/$(basename "$file")
    mkdir -p "$dir"/{tmp,ports,hosts,ready,build/cli,build/sim}
    ln -s "$work/bin/tcprtu" "$dir/build/cli/tcprtu"
    ln -s "$work/bin/tcprtu-sim" "$dir/build/sim/tcprtu-sim"
    local text
    text=$(sed -e "s#/tmp/#$dir/tmp/#g" -e "s/127\.0\./127.$R./g" "$file")
    echo "== $name"
    runnerPids=()
    trap 'kill $(jobs -p) "${runnerPids[@]}" 2>/dev/null; wait' EXIT

    # The converters the block names, started apart from its jobs.
    local port link mac number hostIndex=0 host ip tcpPort
    while read -r port; do
        link=$dir/ports/${port//\//_}
        number=$(grep -o '[0-9]*$' <<<"$port")
        mac=$(printf '02:00:00:00:00:%02x' "$((10#${number:-0} + (${#number} ? 0 : 32)))")
        runnerPids+=("$(
            "$sim" --link "$link" --quiet --set "mac=$mac" --restart-ms 50 >/dev/null &
            echo $!
        )")
        waitFor test -e "$link" || { echo "FAIL: the simulator of $port did not start" && return 1; }
    done < <(grep -oE -- '--port[ =][^ ]+' <<<"$text" | sed -E 's/--port[ =]//' |
        grep -v "^$dir/" | sort -u)
    while read -r host; do
        hostIndex=$((hostIndex + 1))
        ip=127.$R.200.$hostIndex tcpPort=$((15100 + hostIndex))
        runnerPids+=("$(
            "$sim" --link "$dir/tmp/host$hostIndex" --quiet --ip "$ip" --tcp-port "$tcpPort" \
                --slave 1 --slave 3 --rtu-timeout-ms 20 --restart-ms 50 >/dev/null &
            echo $!
        )")
        echo "$ip $tcpPort" >"$dir/hosts/$host"
        waitFor connects "$ip" "$tcpPort" ||
            { echo "FAIL: the simulator for $host did not start" && return 1; }
    done < <(grep -oE -- '--(check-)?host[ =][^ ]+' <<<"$text" | sed -E 's/--[a-z-]+[ =]//' |
        grep -v '^127\.' | sort -u)
    cd "$dir" || return 1
    export EXAMPLE_DIR=$dir HOME=$dir XDG_STATE_HOME=$dir/.local/state PATH=$work/bin:$PATH

    # Statements: a line with its continuations, a here-document or a loop; the comments around
    # each kept for the status they name.
    local -a statements=() before=() after=()
    local line statement='' heredoc='' loop=0 comments='' status
    while IFS= read -r line; do
        if [ -n "$statement" ]; then
            statement+=$'\n'$line
            if [ -n "$heredoc" ]; then
                [[ $line == "$heredoc" ]] && heredoc=
            elif ((loop)); then
                [[ $line =~ ^done ]] && loop=0
            fi
            [[ -z $heredoc && $loop == 0 && $line != *\\ ]] || continue
        elif [[ $line =~ ^[[:space:]]*# ]]; then
            comments+=$line$'\n'
            ((${#statements[@]})) && after[${#statements[@]} - 1]+=$line$'\n'
            continue
        elif [[ -z ${line// /} ]]; then
            continue
        else
            statement=$line
            before+=("$comments")
            after+=("")
            comments=
            [[ $line =~ \<\<\'?([A-Z]+)\'? ]] && heredoc=${BASH_REMATCH[1]}
            [[ $line =~ ^(for|while)\  ]] && loop=1
            [[ -n $heredoc || $loop == 1 || $line == *\\ ]] && continue
        fi
        statements+=("$statement")
        statement=
    done <<<"$text"

    local i expected output jobsBefore pid reason
    local writesSite='(--output|>) *site\.json' writesUnits='> *units\.csv'
    for i in "${!statements[@]}"; do
        statement=${statements[i]}
        expected=0
        [[ ${before[i]} =~ [Ee]xit\ status\ ([0-9]+) ]] && expected=${BASH_REMATCH[1]}
        [[ ${after[i]} =~ \(exit\ ([0-9]+)\) ]] && expected=${BASH_REMATCH[1]}
        [[ $statement =~ \#[[:space:]]*([0-9]+)[[:space:]]*([:,].*)?$ ]] &&
            expected=${BASH_REMATCH[1]}
        if [[ $statement =~ ^sleep\  ]]; then
            echo "skipped: $statement (each simulator was waited for)"
            continue
        fi
        jobsBefore=" $(jobs -p | tr '\n' ' ') "
        output=$dir/tmp/output.$i
        eval "$statement" >"$output" 2>&1 </dev/null
        status=$?
        # A simulator the statement started is waited for, as a person typing would.
        for pid in $(jobs -p); do
            [[ $jobsBefore == *" $pid "* ]] && continue
            waitFor test -e "$dir/ready/$pid" ||
                { status=1 && echo "a simulator did not start" >>"$output"; }
        done
        if ((status == 99)); then
            reason=$(grep '^left out: ' "$output" | head -n 1)
            echo "$statement"$'\n'"  ${reason:-left out}"
            continue
        fi
        echo "$statement"$'\n'"  status $status"
        if ((status != expected)); then
            echo "FAIL: $name: status $status, not $expected, for:"
            echo "$statement" | sed 's/^/    /'
            sed 's/^/  | /' "$output"
            return 1
        fi
        # The hand edits, once the file is there.
        [[ $statement =~ $writesSite ]] &&
            sed -i -E '/"(mac|ip)":/d; s/("speed": )[0-9]+/\119200/
                s/("parity": )"[a-z]+"/\1"even"/' "$dir/site.json"
        [[ $statement =~ $writesUnits ]] &&
            awk -F, -v OFS=, 'NR == 1 { for (c = 1; c <= NF; c++) column[$c] = c }
                NR > 1 && $2 != "" {
                    $column["ip"] = "10.0.0." 100 + ++n
                    $column["gateway"] = $column["speed"] = ""
                } { print }' "$dir/units.csv" >"$dir/tmp/units.csv" &&
            mv "$dir/tmp/units.csv" "$dir/units.csv"
    done
    return 0
}

failures=0
for file in "$work"/blocks/readme-?? "$work/blocks/manual"; do
    (runBlock "$file") || failures=$((failures + 1))
done
if ((failures)); then
    echo "examples: $failures block(s) failed"
    exit 1
fi
echo "examples: every command of the README and the manual page ran as its text says"
