// The real enforcer, started as the window starts it, writing real tables in the test's own
// network namespace: what a peer may and may not make it do, refusals and cuts through it, and
// what stays in force when the window dies.

#include "enforcer/TableCompiler.h"
#include "engine/EnforcerLink.h"
#include "platform/Spawn.h"
#include "support/EnforcerSupport.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <QSignalSpy>

#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvok {
namespace {

using namespace enforcer;

SetPolicy blocking(std::uint8_t lastOctet, bool allowAllOnCrash = false) {
    SetPolicy policy;
    policy.allowAllOnCrash = allowAllOnCrash;
    policy.rules = {{RuleFamily::V4, {127, 0, 0, lastOctet}, true, 0, false, true}};
    return policy;
}

// A peer that speaks raw bytes to a freshly started enforcer.
struct RawPeer {
    platform::Spawned child = platform::spawnWithSocket(TARVOK_TEST_ENFORCER);
    void sendBytes(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::send(child.socket, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    Record ask(Body body) {
        sendBytes(encode({7, std::move(body)}));
        return next();
    }
    // The next answer; refusals reported meanwhile are passed over.
    Record next() {
        Record record;
        const auto waiting = [&] {
            const Reader::Status status = reader.next(&record);
            return status == Reader::Status::NeedMore ||
                   (status == Reader::Status::Ready && std::holds_alternative<Refusal>(record.body));
        };
        for (int i = 0; i < 50 && waiting(); ++i) {
            pollfd fd{child.socket, POLLIN, 0};
            std::uint8_t buffer[4096];
            if (::poll(&fd, 1, 100) > 0)
                if (const ssize_t n = ::recv(child.socket, buffer, sizeof buffer, 0); n > 0)
                    reader.feed(buffer, static_cast<std::size_t>(n));
        }
        return record;
    }
    Reader reader;
};

TEST(Enforcer, APeerThatSendsGarbageAScriptOrARequestOutOfOrderChangesNothing) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    RawPeer peer;
    ASSERT_EQ(peer.child.error, 0);
    EXPECT_TRUE(std::holds_alternative<Error>(peer.ask(blocking(2)).body)) << "before Hello";
    const Record hello = peer.ask(Hello{0x51});
    ASSERT_TRUE(std::holds_alternative<HelloAnswer>(hello.body));
    const QString table = QString::fromStdString(std::get<HelloAnswer>(hello.body).tableName);
    ASSERT_EQ(std::get<Done>(peer.ask(blocking(2)).body).error, 0);
    const std::string written = test::listedTable(table.toStdString());
    ASSERT_NE(written, "");

    std::vector<std::uint8_t> unknown = encode({8, Goodbye{}});
    unknown[6] = 99;
    std::vector<std::uint8_t> badRule = encode({9, blocking(3)});
    badRule[HeaderSize + 8] = 5; // an address family that does not exist
    for (const auto& bytes : {unknown, badRule, encode({10, StatusAnswer{}})}) {
        peer.sendBytes(bytes);
        EXPECT_TRUE(std::holds_alternative<Error>(peer.next().body));
    }
    EXPECT_EQ(test::listedTable(table.toStdString()), written);
    test::TcpListener blocked("127.0.0.2");
    EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", blocked)));

    // A script is not a record: its first bytes read as a length no record has.
    const std::string script = "flush table inet " + table.toStdString() + "\n";
    peer.sendBytes({script.begin(), script.end()});
    EXPECT_TRUE(std::holds_alternative<Error>(peer.next().body));
    EXPECT_EQ(test::listedTable(table.toStdString()), written) << "the peer is taken for gone; the policy stays";
    EXPECT_TRUE(EnforcerLink::endOrphan(0x51));
    EXPECT_TRUE(platform::reapChild(peer.child.pid, 2000));
    EXPECT_EQ(test::listedTable(table.toStdString()), "");
    ::close(peer.child.socket);
}

TEST(Enforcer, RefusesCutsAndPassesOnARefusalJustBeforeTheEnd) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::TcpListener server("127.0.0.2");
    test::TcpConnection open = test::connect("127.0.0.3", server);
    EnforcerLink link;
    ASSERT_TRUE(link.start(QStringLiteral(TARVOK_TEST_ENFORCER), 0x52)) << link.failure().toStdString();
    QSignalSpy written(&link, &EnforcerLink::policyWritten);
    QSignalSpy refused(&link, &EnforcerLink::refused);
    link.setPolicy(blocking(2));
    ASSERT_TRUE(written.wait(5000));
    EXPECT_EQ(written.at(0).at(0).toInt(), 0);

    const platform::TcpRow row = open.clientRow();
    Cut cut{0, 6, {}, {}, platform::portNumber(row.localPort), platform::portNumber(row.remotePort), 0};
    std::memcpy(cut.local.data(), &row.localAddress, 4);
    std::memcpy(cut.remote.data(), &row.remoteAddress, 4);
    EXPECT_EQ(link.cut(cut), 0);
    EXPECT_LT(test::readOutcome(open.client.get(), 1000), 0) << "the cut connection is gone";

    EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", server)));
    EXPECT_TRUE(link.goodbye());
    ASSERT_EQ(refused.count(), 1) << "delivered before the goodbye returned";
    const auto refusal = refused.at(0).at(0).value<Refusal>();
    EXPECT_EQ(refusal.remote[3], 2);
    EXPECT_EQ(refusal.remotePort, server.port());
    EXPECT_EQ(test::listedTable(link.tableName().toStdString()), "");
}

TEST(Enforcer, AWindowThatDiesLeavesItsPolicyInForceUntilAdoptedOrAsked) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::TcpListener server("127.0.0.4");
    for (const bool allowAll : {false, true}) {
        RawPeer window;
        const Record hello = window.ask(Hello{0x53});
        const QString table = QString::fromStdString(std::get<HelloAnswer>(hello.body).tableName);
        ASSERT_EQ(std::get<Done>(window.ask(blocking(4, allowAll)).body).error, 0);
        ::close(window.child.socket); // the window dies: no goodbye
        if (allowAll) {
            EXPECT_TRUE(platform::reapChild(window.child.pid, 2000));
            EXPECT_EQ(test::listedTable(table.toStdString()), "");
            EXPECT_EQ(test::connectError("127.0.0.3", server), 0);
            continue;
        }
        std::optional<StatusAnswer> status;
        for (int i = 0; i < 100 && !status; ++i, ::usleep(10000))
            status = EnforcerLink::orphanStatus(0x53);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->rules, 1u);
        EXPECT_GT(status->windowGoneAt, 0);
        EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", server)));

        EnforcerLink next;
        ASSERT_TRUE(next.adopt(QStringLiteral(TARVOK_TEST_ENFORCER), 0x53));
        EXPECT_EQ(next.tableName(), table);
        EXPECT_FALSE(EnforcerLink::orphanStatus(0x53)) << "its window is back";
        EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", server))) << "no gap";
        EXPECT_TRUE(next.goodbye());
        EXPECT_TRUE(platform::reapChild(window.child.pid, 2000));
        EXPECT_EQ(test::listedTable(table.toStdString()), "");
    }
}

TEST(Enforcer, TwoInstancesHoldTheirOwnPoliciesAndCountTheirOwnRefusals) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    EnforcerLink first, second;
    ASSERT_TRUE(first.start(QStringLiteral(TARVOK_TEST_ENFORCER), 0x61));
    ASSERT_TRUE(second.start(QStringLiteral(TARVOK_TEST_ENFORCER), 0x62));
    EXPECT_NE(first.tableName(), second.tableName());
    EXPECT_NE(first.logGroup(), second.logGroup());
    QSignalSpy firstWritten(&first, &EnforcerLink::policyWritten);
    QSignalSpy secondWritten(&second, &EnforcerLink::policyWritten);
    first.setPolicy(blocking(5));
    second.setPolicy(blocking(6));
    ASSERT_TRUE(firstWritten.wait(5000) && (secondWritten.count() || secondWritten.wait(5000)));
    QSignalSpy firstRefused(&first, &EnforcerLink::refused);
    QSignalSpy secondRefused(&second, &EnforcerLink::refused);
    test::TcpListener five("127.0.0.5"), six("127.0.0.6");
    EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", five)));
    EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", six)));
    EXPECT_TRUE(first.goodbye());
    EXPECT_TRUE(second.goodbye());
    EXPECT_EQ(firstRefused.count(), 1);
    EXPECT_EQ(secondRefused.count(), 1);
}

} // namespace
} // namespace tarvok

// Every packet pays for each hook a table has, even one with nothing to decide: while the
// program filter decides outgoing connections, the output hook is there at the Block level only.
TEST(TableScript, WhileTheFilterDecidesOutgoingOnlyTheBlockLevelHooksOutput) {
    using namespace tarvok::enforcer;
    TypedRule rule;
    rule.protocols = ProtoBoth;
    struct Case {
        Level level;
        bool filtered;
        bool outputHook;
    } const cases[] = {{Level::Normal, false, true}, {Level::Normal, true, false},
                       {Level::Block, false, true},  {Level::Block, true, true}};
    for (const Case& c : cases) {
        TableOptions options;
        options.name = "t";
        options.outgoingByFilter = c.filtered;
        const std::string script = tableScript({c.level, false, false, {rule}}, options);
        EXPECT_EQ(script.find("hook output") != std::string::npos, c.outputHook)
            << static_cast<int>(c.level) << " " << c.filtered;
        EXPECT_NE(script.find("hook input"), std::string::npos);
    }
}
