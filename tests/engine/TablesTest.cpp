#include "engine/ConnectionTables.h"
#include "engine/ServiceNames.h"
#include "engine/Termination.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace tarvok;
using platform::addressField;
using platform::portField;

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

TEST(ConnectionTables, OwnerRecordsKeepRawFieldsSkipEmptyRowsAndStopAt2001) {
    platform::SockDiag diag;
    ConnectionTables tables(diag);
    const platform::TcpOwnerRow first{5, addressField(10, 0, 0, 1), portField(443),
                                      addressField(200, 1, 2, 3), portField(32769), 77};
    tables.fillOwnerTcp({first});
    const OwnerTcpRecord& record = tables.ownerTcp()[0];
    EXPECT_EQ(record.pid, 77u);
    EXPECT_EQ(record.localPort, "443");
    EXPECT_EQ(record.remotePort, "32769");
    EXPECT_EQ(record.remoteAddress, "200.1.2.3");
    EXPECT_EQ(record.stateName, "ESTABLISHED");
    // 200.1.2.3 has its top byte (3) last in memory; 32769 is stored as bytes 80 01.
    EXPECT_EQ(record.rawRemoteAddress, QString::number(static_cast<int>(addressField(200, 1, 2, 3))));
    EXPECT_EQ(record.rawRemotePort, "384");
    EXPECT_EQ(record.rawLocalAddress, "16777226");

    // A row with no local port and no remote end leaves the earlier record in place.
    tables.fillOwnerTcp({{2, addressField(0, 0, 0, 0), 0, 0, 0, 5}});
    EXPECT_EQ(tables.ownerTcp()[0].pid, 77u);
    EXPECT_EQ(tables.ownerTcpCount(), 1);

    std::vector<platform::TcpOwnerRow> many(2100, first);
    many.back().owningPid = 99;
    many[2000].owningPid = 42;
    tables.fillOwnerTcp(many);
    EXPECT_EQ(tables.ownerTcpCount(), 2100);
    EXPECT_EQ(tables.ownerTcp()[2000].pid, 42u);

    tables.fillOwnerUdp({{0, 0, 9}, {addressField(127, 0, 0, 2), portField(53), 8}});
    EXPECT_EQ(tables.ownerUdp()[0].pid, 0u) << "an all-zero UDP row is not stored";
    EXPECT_EQ(tables.ownerUdp()[1].localPort, "53");
    EXPECT_EQ(tables.ownerUdp()[1].localAddress, "127.0.0.2");
}

TEST(Termination, BadIndexesAndRawTextsFailInsteadOfCrashing) {
    platform::SockDiag diag;
    ConnectionTables tables(diag);
    Termination termination(tables);
    EXPECT_FALSE(termination.cutOwnerRecord(0)) << "a record with empty raw texts";
    EXPECT_FALSE(termination.cutOwnerRecord(2001));
    EXPECT_FALSE(termination.cutOwnerRecord(-1));
    EXPECT_NE(termination.cutSnapshotElement(5), 0u);
    EXPECT_NE(termination.cutSnapshotElement(-1), 0u);
}

TEST(Termination, CutsARealConnectionFromItsOwnerRecordAndSeesTheCountChange) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    platform::SockDiag diag;
    ConnectionTables tables(diag);
    Termination termination(tables);
    test::TcpListener listener("127.0.0.2");
    EXPECT_TRUE(termination.tcpCountChanged()) << "0 rows remembered, 1 listed";
    EXPECT_FALSE(termination.tcpCountChanged());
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    EXPECT_TRUE(termination.tcpCountChanged());

    ASSERT_EQ(tables.readOwnerTcp(), 0u);
    ASSERT_EQ(tables.ownerTcpCount(), 3);
    int client = -1;
    for (int k = 0; k < tables.ownerTcpCount(); ++k)
        if (tables.ownerTcp()[k].localAddress == "127.0.0.3")
            client = k;
    ASSERT_GE(client, 0);
    EXPECT_EQ(tables.ownerTcp()[client].remotePort, QString::number(listener.port()));
    EXPECT_TRUE(termination.cutOwnerRecord(client));
    EXPECT_EQ(test::readOutcome(connection.client.get(), 2000), -ECONNABORTED);
    EXPECT_FALSE(termination.cutOwnerRecord(client)) << "already gone";
    EXPECT_TRUE(termination.tcpCountChanged());
}
