#include "engine/ConnectionTables.h"
#include "engine/ServiceNames.h"
#include "engine/Termination.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace tarvok;
using platform::addressField;

TEST(ConnectionTexts, AddressesStatesAndServices) {
    EXPECT_EQ(addressText(addressField(10, 0, 0, 1)), "10.0.0.1");
    EXPECT_EQ(addressText(0), "0.0.0.0");
    EXPECT_EQ(addressText(addressField(192, 168, 0, 255)), "192.168.0.255");
    const struct {
        int state;
        const char *classic, *owner;
    } states[] = {{12, "BLOCKED CONNECTION", "DELETE_TCB"}, {0, "", "UNKNOWN"},
                  {2, "LISTENING", "LISTENING"}, {5, "ESTABLISHED", "ESTABLISHED"}, {13, "", ""}};
    for (const auto& s : states) {
        EXPECT_EQ(classicStateName(s.state), s.classic) << s.state;
        EXPECT_EQ(ownerStateName(s.state), s.owner) << s.state;
    }
    const std::pair<const char*, const char*> services[] = {
        {"80", "HTTP"}, {"81", "-"},      {"080", "-"},      {"", "-"},
        {" 80", "-"},   {"23", "Telnet"}, {"5631", "pcANYWHEREdata"}, {"3128", "PROXY"},
        {"8008", "PROXY"}, {"8080", "PROXY"}, {"8088", "PROXY"}};
    for (const auto& [port, name] : services)
        EXPECT_EQ(serviceName(port), name) << port;
}

TEST(Termination, TheCountCheckSeesTheTableChange) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    platform::SockDiag diag;
    ConnectionTables tables(diag);
    Termination termination(tables);
    test::TcpListener listener("127.0.0.2");
    EXPECT_TRUE(termination.tcpCountChanged()) << "0 rows remembered, 1 listed";
    EXPECT_FALSE(termination.tcpCountChanged());
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    EXPECT_TRUE(termination.tcpCountChanged());
    TcpRow row = connection.clientRow();
    EXPECT_EQ(termination.cutRow(row), 0u);
    EXPECT_EQ(row.state, platform::StateDeleteTcb);
    EXPECT_EQ(test::readOutcome(connection.client.get(), 2000), -ECONNABORTED);
    EXPECT_TRUE(termination.tcpCountChanged());
}
