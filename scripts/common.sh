# Shared by run.sh and test.sh: install what the build needs, then configure and build.
set -euo pipefail

TARVOK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TARVOK_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    iproute2 libcap2-bin util-linux
    qt6-documentation-tools qt6-tools-dev
    libsystemd-dev
    nftables libnftables-dev libnftnl-dev libnetfilter-log-dev
    clang libbpf-dev bpftool
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# What building and checking the Debian package needs besides.
TARVOK_PACKAGE_TOOLS=(dpkg-dev file lintian desktop-file-utils appstream)

install_dependencies() {
    install_missing "${TARVOK_PACKAGES[@]}"
}

# install_missing PACKAGE...: installs those not installed yet.
install_missing() {
    local missing=()
    for package in "$@"; do
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

# configure_tree DIR [cmake options...]: configure one tree.
configure_tree() {
    local dir="$1"
    shift
    cmake -S "$TARVOK_ROOT" -B "$TARVOK_ROOT/$dir" -G Ninja "$@"
}

# build_tree DIR [cmake options...]: configure one tree and build all of it.
build_tree() {
    configure_tree "$@"
    cmake --build "$TARVOK_ROOT/$1" --parallel "$(nproc)"
}

# The targets a run needs: the program and the language and help files it reads.
TARVOK_PROGRAM_TARGETS=(tarvok tarvok_languages tarvok_help)

# package_tree DIR: makes the Debian package in a built tree and checks it and its desktop files.
package_tree() {
    local dir="$TARVOK_ROOT/$1"
    install_missing "${TARVOK_PACKAGE_TOOLS[@]}"
    rm -f "$dir"/tarvok_*.deb
    (cd "$dir" && cpack -G DEB)
    local deb
    deb="$(ls "$dir"/tarvok_*.deb)"
    desktop-file-validate "$TARVOK_ROOT/packaging/example.tarvok.Tarvok.desktop"
    appstreamcli validate --no-net "$dir/packaging/example.tarvok.Tarvok.metainfo.xml"
    lintian --fail-on error "$deb"
    echo "Package: $deb"
}
