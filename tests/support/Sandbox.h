#pragma once
// Every test executable starts in network and mount namespaces of its own (TestMain.cpp): a
// test that cuts connections cuts only its own, and a test's mounts change nothing outside it.

#include <gtest/gtest.h>

namespace tarvok::test {

enum class Sandbox {
    None,          // the host's namespaces could not be left: tests that need them skip
    Root,          // entered with the process's own capabilities
    UserNamespace, // entered through a user namespace (run without root)
};

Sandbox sandbox();
// Whether this test process runs in a cgroup of its own, which the enforcers it starts attach
// their program filter to (TARVOK_FILTER_CGROUP).
bool ownCgroup();
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
