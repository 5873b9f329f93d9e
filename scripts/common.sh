# Shared by run.sh and test.sh: install what the build needs, then configure and build.
set -euo pipefail

TARVOK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TARVOK_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    iproute2 libcap2-bin util-linux
    qt6-documentation-tools qt6-tools-dev
    nftables libnftables-dev libnetfilter-log-dev
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_dependencies() {
    local missing=()
    for package in "${TARVOK_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# build_tree DIR [cmake options...]: configure and build one tree.
build_tree() {
    local dir="$1"
    shift
    cmake -S "$TARVOK_ROOT" -B "$TARVOK_ROOT/$dir" -G Ninja "$@"
    cmake --build "$TARVOK_ROOT/$dir" --parallel "$(nproc)"
}
