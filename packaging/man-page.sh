#!/usr/bin/env bash
# Writes a program's gzipped manual page from its --help.
# Usage: man-page.sh PROGRAM VERSION DESCRIPTION OUTPUT.gz
set -euo pipefail

program=$1
version=$2
description=$3
output=$4

# Run by name through PATH, so that the page says "Usage: tcprtu-sim" rather than the build path.
# The window programs need a platform even for --help, and a sanitized build must not fail on what
# Qt leaves allocated at exit.
page=$(PATH="$(dirname "$program"):$PATH" QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 \
    help2man --no-info --version-string="$version" --name="$description" \
    "$(basename "$program")")

# help2man puts a heading's text between quotes as it is, so a quote inside it would end the
# argument early; troff writes that quote as \(dq.
sed '/^\.SS "/ { s/"/\\(dq/g; s/^\.SS \\(dq/.SS "/; s/\\(dq$/"/ }' <<<"$page" | gzip -9n >"$output"
