#!/usr/bin/env bash
# Installs what Tarvok needs, then builds and runs the whole test suite twice: in the normal
# build (build/), which then also makes and checks the Debian package, and built with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_dependencies

build_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd "$TARVOK_ROOT/build" && ctest --output-on-failure --parallel "$(nproc)")
# The Debian package from the same build, with its checks (it is not installed here).
package_tree build

build_tree build-asan -DCMAKE_BUILD_TYPE=Debug -DTARVOK_SANITIZE=ON -DTARVOK_BENCH=OFF
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$TARVOK_ROOT/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd "$TARVOK_ROOT/build-asan" && ctest --output-on-failure --parallel "$(nproc)")
