#include "engine/ConnectionMemory.h"
#include "engine/ConnectionTables.h"
#include "engine/RuleIndex.h"
#include "engine/ServiceNames.h"
#include "engine/Termination.h"
#include "support/EnforcerSupport.h"
#include "support/EngineRig.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>

using namespace tarvok;
using platform::addressField;
using test::makeRule;
using test::walk;

TEST(ConnectionTexts, AddressesStatesAndServices) {
    EXPECT_EQ(addressText(addressField(192, 168, 0, 255)), "192.168.0.255");
    const std::tuple<int, const char*, const char*> states[] = {
        {12, "BLOCKED CONNECTION", "DELETE_TCB"},
        {0, "", "UNKNOWN"},
        {5, "ESTABLISHED", "ESTABLISHED"},
        {13, "", ""}};
    for (const auto& [state, classic, owner] : states) {
        EXPECT_EQ(classicStateName(state), classic) << state;
        EXPECT_EQ(ownerStateName(state), owner) << state;
    }
    // The first and last ports of the table, and texts that are not exactly one of its ports.
    const std::pair<const char*, const char*> services[] = {
        {"7", "ECHO"}, {"8088", "PROXY"}, {"81", "-"}, {"080", "-"}, {"", "-"}, {" 80", "-"}};
    for (const auto& [port, name] : services)
        EXPECT_EQ(serviceName(port), name) << port;
}

TEST(Termination, TheCountCheckSeesTheTableChange) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    platform::SockDiag diag;
    ConnectionTables tables(diag);
    test::Enforcing enforcing(tables);
    Termination termination(tables);
    test::TcpListener listener("127.0.0.2");
    EXPECT_TRUE(termination.tcpCountChanged()) << "0 rows remembered, 1 listed";
    EXPECT_FALSE(termination.tcpCountChanged());
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    EXPECT_TRUE(termination.tcpCountChanged());
    TcpRow row = connection.clientRow();
    EXPECT_EQ(termination.cutRow(row), 0u);
    EXPECT_EQ(test::readOutcome(connection.client.get(), 2000), -ECONNABORTED);
    EXPECT_TRUE(termination.tcpCountChanged());
}

// A memory that kept every pass recorded a connection that closed and came back on the same
// endpoints only once.
TEST(ConnectionMemory, AConnectionIsForgottenAfterAPassWithoutIt) {
    ConnectionMemory memory;
    const TcpRow row{platform::StateEstablished, addressField(127, 0, 0, 3), 1,
                     addressField(127, 0, 0, 2), 2};
    EXPECT_FALSE(memory.seenBefore(row, false));
    memory.endPass();
    EXPECT_TRUE(memory.seenBefore(row, false));
    memory.endPass();
    memory.endPass(); // a pass without it
    EXPECT_FALSE(memory.seenBefore(row, false)) << "it came back: recorded again";
}

// Cells a lenient parser would read as some tested address or port must match nothing.
TEST(RuleIndex, AgreesWithTheTextWalkOnRandomTablesOfQuirkyCells) {
    std::mt19937 random(20261206);
    const std::uint32_t addresses[] = {addressField(10, 0, 0, 1), addressField(10, 0, 0, 10),
                                       addressField(127, 0, 0, 2), addressField(192, 168, 1, 7),
                                       addressField(0, 0, 0, 0), addressField(232, 0, 0, 1)};
    const platform::Address6 addresses6[] = {
        {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2},
        {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}, {}};
    const std::uint16_t ports[] = {80, 8080, 443, 0, 65535, 22, 8};
    const QStringList addressCells = {
        "any address", "999.999.999.999", "10.0.0.1", "10.0.0.10", "127.0.0.2", "192.168.1.7",
        "010.0.0.1",   "a.b.c.d",         "*",        "",          "0.0.0.0",   "any port",
        "10.0.0",      "10.0.0.1.",       "256.0.0.1", " 10.0.0.1", "1000.0.0.1", "::",
        "fd00::2",     "FD00::2",         "fd00:0::3", "fd00::3",   "fd00::2/64"};
    const QStringList portCells = {"any port", "99999", "80",  "080", "8080", "443",  "0",
                                   "65535",    "65536", "",    "x",   "22",   "0022", "any address",
                                   "-1",       "8o",    " 80", "099999", "4294967376"};
    RuleIndex index;
    RuleTable table;
    for (int round = 0; round < 400; ++round) {
        QList<Rule> rules;
        const int count = static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i)
            rules.append(makeRule("accept",
                                  addressCells[static_cast<int>(random() % addressCells.size())],
                                  portCells[static_cast<int>(random() % portCells.size())],
                                  random() % 5 != 0));
        table.setRules(rules);
        index.rebuild(table);
        for (std::uint16_t port : ports) {
            for (std::uint32_t address : addresses)
                ASSERT_EQ(index.firstMatch(address, port), walk(table, addressText(address), port))
                    << "round " << round << " address " << addressText(address).toStdString()
                    << " port " << port;
            for (const platform::Address6& address : addresses6)
                ASSERT_EQ(index.firstMatch(address, port), walk(table, addressText(address), port))
                    << "round " << round << " address " << addressText(address).toStdString();
        }
    }
}
