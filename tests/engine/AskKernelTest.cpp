// The kernel table's ask switch reaches the enforcer only where asking means something: at the
// Normal level, while running, with an enforcer that can hold connections. This test's own
// process connects, in its own network namespace and cgroup.
#include "engine/KernelTable.h"
#include "support/KernelPolicy.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <functional>
#include <poll.h>
#include <sys/socket.h>

using namespace tarvok;

TEST(KernelTable, HoldsAConnectionForAQuestionOnlyAtTheNormalLevelWhileRunning) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::ownCgroup()) << "the program filter needs a cgroup v2 folder of the test's own";
    test::KernelPolicy policy;
    ASSERT_TRUE(policy.enforcer.canAsk());
    QSignalSpy questions(&policy.enforcer, &EnforcerLink::question);
    test::TcpListener listener("127.0.0.2");
    struct Case {
        const char* name;
        std::function<void()> change;
        int error; // what a connect of a program without a rule ends with
    };
    // A held process keeps its answer: the case that holds comes last.
    const Case cases[] = {
        {"paused", [&] { policy.kernel.setAsking(true, false); policy.levels.togglePause(); }, 0},
        {"Block level", [&] { policy.levels.togglePause(); policy.levels.levelBlock(); }, EPERM},
        {"asking off", [&] { policy.levels.levelNormal(); policy.kernel.setAsking(false, false); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.change();
        ASSERT_TRUE(policy.kernel.waitForWrite());
        EXPECT_EQ(test::connectError("127.0.0.3", listener), c.error);
        QCoreApplication::processEvents();
        EXPECT_EQ(questions.count(), 0);
    }
    // The connections that passed are taken off the listener first.
    for (pollfd waiting{listener.fd(), POLLIN, 0}; ::poll(&waiting, 1, 0) == 1;)
        test::Fd(::accept(listener.fd(), nullptr, nullptr));
    policy.kernel.setAsking(true, false);
    ASSERT_TRUE(policy.kernel.waitForWrite());
    test::Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const test::Endpoint source = test::endpoint("127.0.0.3", 0);
    const test::Endpoint target = test::endpoint("127.0.0.2", listener.port());
    ASSERT_EQ(::bind(client.get(), source.get(), source.length), 0);
    ::connect(client.get(), target.get(), target.length);
    ASSERT_TRUE(questions.wait(5000)) << "held and asked at the Normal level";
    pollfd accepted{listener.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&accepted, 1, 200), 0);
}
