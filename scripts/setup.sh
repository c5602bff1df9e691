# Shared set-up for the scripts: installs what is missing, then configures and builds.
# Sourced, not run. BUILD_DIR and CMAKE_ARGS may be set by the caller; with SETUP_BUILD=0 it
# only installs, for a caller that configures the build itself.

set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"

PACKAGES=(g++ make cmake qtbase5-dev libqt5serialport5-dev libqt5serialbus5-dev fonts-dejavu-core help2man ${EXTRA_PACKAGES:-})

install_missing() {
    local missing=()
    for pkg in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! command -v apt-get >/dev/null; then
        echo "Please install: ${missing[*]}" >&2
        exit 1
    fi
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure_and_build() {
    cmake -S "$ROOT" -B "$BUILD_DIR" ${CMAKE_ARGS:-} >/dev/null
    cmake --build "$BUILD_DIR" -j"$(nproc)"
}

install_missing
[ "${SETUP_BUILD:-1}" = 0 ] || configure_and_build
