# Shared set-up for the scripts: installs what is missing, then configures and builds.
# Sourced, not run. BUILD_DIR, CMAKE_ARGS and SETUP_TARGETS may be set by the caller; with
# SETUP_BUILD=0 it only installs, for a caller that configures the build itself. TCPRTU_QT_MAJOR=6 builds with
# Qt 6 instead of Qt 5, into build-qt6/ unless BUILD_DIR says otherwise.

set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TCPRTU_QT_MAJOR="${TCPRTU_QT_MAJOR:-5}"
case "$TCPRTU_QT_MAJOR" in
5)
    BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
    QT_PACKAGES=(qtbase5-dev libqt5serialport5-dev qcoro-qt5-dev)
    ;;
6)
    BUILD_DIR="${BUILD_DIR:-$ROOT/build-qt6}"
    QT_PACKAGES=(qt6-base-dev qt6-serialport-dev qcoro-qt6-dev)
    ;;
*)
    echo "TCPRTU_QT_MAJOR is 5 or 6, not $TCPRTU_QT_MAJOR" >&2
    exit 2
    ;;
esac
CMAKE_ARGS="-DTCPRTU_QT_MAJOR=$TCPRTU_QT_MAJOR ${CMAKE_ARGS:-}"

PACKAGES=(g++ make cmake "${QT_PACKAGES[@]}" fonts-dejavu-core help2man libxml2-utils ${EXTRA_PACKAGES:-})

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

# With SETUP_TARGETS (the scripts that start a program) only those targets are built, and a tree
# already configured for this Qt is not configured again: the build reconfigures by itself when a
# CMakeLists.txt changed, so a start after the first takes seconds.
configure_and_build() {
    if [ -z "${SETUP_TARGETS:-}" ] ||
        ! grep -qx "TCPRTU_QT_MAJOR:STRING=$TCPRTU_QT_MAJOR" "$BUILD_DIR/CMakeCache.txt" 2>/dev/null; then
        cmake -S "$ROOT" -B "$BUILD_DIR" ${CMAKE_ARGS:-} >/dev/null
    fi
    local targets=()
    for target in ${SETUP_TARGETS:-}; do targets+=(--target "$target"); done
    cmake --build "$BUILD_DIR" -j"$(nproc)" "${targets[@]}"
}

install_missing
[ "${SETUP_BUILD:-1}" = 0 ] || configure_and_build
