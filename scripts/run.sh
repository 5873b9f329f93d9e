#!/usr/bin/env bash
# Installs what Tarvok needs, builds it into build/ and starts it from there.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_dependencies
build_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ -x "$TARVOK_ROOT/build/tarvok" ]; then
    exec "$TARVOK_ROOT/build/tarvok" "$@"
fi
