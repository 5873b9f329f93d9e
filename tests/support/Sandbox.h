#pragma once
// Every test executable starts inside network and mount namespaces of its own (see
// TestMain.cpp), so a test that cuts connections can only ever cut its own, and a test that
// mounts a small or read-only file system changes nothing outside itself.

#include <gtest/gtest.h>

namespace tarvok::test {

enum class Sandbox {
    None,          // could not leave the host's namespaces: tests that need them skip
    Root,          // private namespaces entered with the process's own capabilities
    UserNamespace, // entered through a user namespace (run without root)
};

Sandbox sandbox();
const char* sandboxError();

} // namespace tarvok::test

// Skips the current test, with the reason, unless it runs in a private network namespace.
#define TARVOK_REQUIRE_PRIVATE_NETWORK()                                                        \
    do {                                                                                        \
        if (::tarvok::test::sandbox() == ::tarvok::test::Sandbox::None)                         \
            GTEST_SKIP() << "no private network namespace could be made ("                      \
                         << ::tarvok::test::sandboxError()                                      \
                         << "); this test lists or cuts real connections and runs only inside " \
                            "one. Run as root or allow unprivileged user namespaces.";          \
    } while (false)
