#!/usr/bin/env bash
# Installs what Tarvok needs, builds it into build/ and starts it from there. Only the program
# is built; the tests and benchmarks of the same tree are built by test.sh.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_dependencies
configure_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$TARVOK_ROOT/build" --parallel "$(nproc)" --target "${TARVOK_PROGRAM_TARGETS[@]}"
if [ -x "$TARVOK_ROOT/build/tarvok" ]; then
    exec "$TARVOK_ROOT/build/tarvok" "$@"
fi
