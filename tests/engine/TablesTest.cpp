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

    EXPECT_EQ(classicStateName(12), "BLOCKED CONNECTION");
    EXPECT_EQ(ownerStateName(12), "DELETE_TCB");
    EXPECT_EQ(classicStateName(0), "");
    EXPECT_EQ(ownerStateName(0), "UNKNOWN");
    EXPECT_EQ(classicStateName(2), "LISTENING");
    EXPECT_EQ(ownerStateName(5), "ESTABLISHED");
    EXPECT_EQ(classicStateName(13), "");
    EXPECT_EQ(ownerStateName(13), "");

    EXPECT_EQ(serviceName("80"), "HTTP");
    EXPECT_EQ(serviceName("8080"), "PROXY");
    EXPECT_EQ(serviceName("81"), "-");
    EXPECT_EQ(serviceName("080"), "-");
    EXPECT_EQ(serviceName(""), "-");
    EXPECT_EQ(serviceName(" 80"), "-");
    EXPECT_EQ(serviceName("23"), "Telnet");
    EXPECT_EQ(serviceName("5631"), "pcANYWHEREdata");
    for (const char* port : {"3128", "8008", "8080", "8088"})
        EXPECT_EQ(serviceName(port), "PROXY") << port;
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
