#!/usr/bin/env bash
# Installs what the build needs, builds Tarvok without its tests into build-package/, makes
# the Debian package there and checks it (lintian, desktop-file-validate, appstreamcli).
# Install the package with: sudo apt-get install ./build-package/tarvok_*.deb
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_dependencies
build_tree build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOK_TESTS=OFF -DTARVOK_BENCH=OFF
package_tree build-package
