#!/usr/bin/env bash
# The Debian package, checked as users get it.
#
#   package.sh build CPACK BUILD_DIR OUT_DIR SANITIZED QT_MAJOR
#       makes the package from the build tree into OUT_DIR, unpacks it into OUT_DIR/root and
#       checks its files, their modes, its dependencies (on Qt QT_MAJOR's libraries), the
#       desktop and AppStream data, and that every manual page is free of warnings and fits 80
#       columns
#   package.sh read OUT_DIR
#       the unpacked tcprtu reads a converter simulated by the unpacked tcprtu-sim
#
# Exits 77 (skipped) where the check cannot be made.
set -euo pipefail

fail() {
    echo "package: $*" >&2
    exit 1
}

skip() {
    echo "package: skipped: $*"
    exit 77
}

build() {
    local cpack=$1 build=$2 out=$3 sanitized=$4 qt=$5
    if [ "$sanitized" = 1 ]; then
        skip "a sanitized build is not for packaging"
    fi
    local tool
    for tool in dpkg-deb dpkg-shlibdeps desktop-file-validate appstreamcli readelf man; do
        command -v "$tool" >/dev/null || skip "$tool is missing"
    done

    rm -rf "$out"
    "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out.log" 2>&1 ||
        { cat "$out.log" >&2; fail "cpack failed"; }
    local deb
    deb=$(echo "$out"/tcprtu-configurator_*.deb)
    [ -f "$deb" ] || fail "no package in $out"

    local expected="-rwxr-xr-x ./usr/bin/tcprtu
-rwxr-xr-x ./usr/bin/tcprtu-configurator
-rwxr-xr-x ./usr/bin/tcprtu-demo
-rwxr-xr-x ./usr/bin/tcprtu-sim
-rw-r--r-- ./usr/share/applications/tcprtu-configurator.desktop
-rw-r--r-- ./usr/share/bash-completion/completions/tcprtu
-rw-r--r-- ./usr/share/doc/tcprtu-configurator/changelog.Debian.gz
-rw-r--r-- ./usr/share/doc/tcprtu-configurator/copyright
-rw-r--r-- ./usr/share/icons/hicolor/16x16/apps/tcprtu-configurator.png
-rw-r--r-- ./usr/share/icons/hicolor/256x256/apps/tcprtu-configurator.png
-rw-r--r-- ./usr/share/icons/hicolor/32x32/apps/tcprtu-configurator.png
-rw-r--r-- ./usr/share/icons/hicolor/48x48/apps/tcprtu-configurator.png
-rw-r--r-- ./usr/share/man/man1/tcprtu.1.gz
-rw-r--r-- ./usr/share/man/man1/tcprtu-configurator.1.gz
-rw-r--r-- ./usr/share/man/man1/tcprtu-demo.1.gz
-rw-r--r-- ./usr/share/man/man1/tcprtu-sim.1.gz
-rw-r--r-- ./usr/share/metainfo/org.example.tcprtu.configurator.metainfo.xml"
    local contents
    contents=$(dpkg-deb -c "$deb")
    diff -u <(sort -k2 <<<"$expected") \
        <(awk '$1 !~ /^d/ { print $1, $6 }' <<<"$contents" | sort -k2) ||
        fail "the package's files differ from the install rules' (- expected, + found)"
    if awk '$2 != "root/root" || ($1 ~ /^d/ && $1 != "drwxr-xr-x")' <<<"$contents" | grep .; then
        fail "the entries above are not root's, or are directories other than 0755"
    fi

    grep -q "libqt${qt}serialport${qt}" <<<"$(dpkg-deb -f "$deb" Depends)" ||
        fail "the dependencies were not computed from the programs"

    dpkg-deb -x "$deb" "$out/root"
    local program
    for program in "$out"/root/usr/bin/*; do
        if grep -q '\.symtab' <<<"$(readelf -S "$program")"; then
            fail "$program is not stripped"
        fi
        if grep -Eq 'RPATH|RUNPATH' <<<"$(readelf -d "$program")"; then
            fail "$program has a run path"
        fi
    done
    desktop-file-validate "$out"/root/usr/share/applications/*.desktop ||
        fail "the desktop entry is not valid"
    # Also checks that the AppStream data names a desktop entry that is there.
    appstreamcli validate-tree --no-net "$out/root" || fail "the AppStream data is not valid"
    # As man shows them on a UTF-8 terminal 80 columns wide (the configurator's page quotes its
    # Russian labels, which a C locale cannot show); wc -L counts columns, not bytes.
    local page warnings width
    for page in "$out"/root/usr/share/man/man1/*.1.gz; do
        warnings=$(LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$(basename "$page") has warnings: $warnings"
        width=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | LC_ALL=C.UTF-8 wc -L)
        ((width <= 80)) || fail "$(basename "$page") has lines of $width columns at MANWIDTH=80"
    done
    echo "package: $(basename "$deb") holds what the install rules promise"
}

read_device() {
    local out=$1
    local bin=$out/root/usr/bin
    [ -d "$bin" ] || skip "no unpacked package in $out"

    local link=$out/port
    # Global, not local: the trap runs after this function has returned.
    "$bin/tcprtu-sim" --link "$link" --quiet >/dev/null 2>&1 &
    sim=$!
    trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
    local tenths=50
    while [ ! -L "$link" ] && ((tenths-- > 0)); do
        sleep 0.1
    done
    [ -L "$link" ] || fail "the simulated converter did not come up"

    local answer
    # A read logs nothing today; its state directory is the test's own all the same.
    answer=$(XDG_STATE_HOME=$out/state "$bin/tcprtu" read --port "$link" --mode tcp-rtu --json) ||
        fail "tcprtu read failed"
    # The simulated converter's factory MAC address.
    grep -q '02:00:00:00:00:01' <<<"$answer" || fail "tcprtu read gave: $answer"
    echo "package: the packaged tcprtu read the packaged simulator"
}

case "${1:-}" in
build) build "${@:2}" ;;
read) read_device "${@:2}" ;;
*) fail "usage: package.sh build CPACK BUILD_DIR OUT_DIR SANITIZED QT_MAJOR | read OUT_DIR" ;;
esac
