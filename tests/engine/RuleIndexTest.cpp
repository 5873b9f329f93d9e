#include "engine/ConnectionTables.h"
#include "engine/RuleIndex.h"

#include <gtest/gtest.h>

#include <random>

using namespace tarvok;
using platform::addressField;

namespace {

// The plain walk from the top, comparing texts, as a connection was always decided: the
// reference the index must agree with on every table.
int walk(const RuleTable& table, const QString& addressTextOfRow, std::uint16_t remotePort) {
    const RuleWords& words = table.words();
    for (int row = 0; row < table.count(); ++row) {
        const Rule& rule = table.rule(row);
        if (rule.enabled == words.disabled)
            continue;
        const QString address =
            rule.address == words.anyAddress ? QStringLiteral("999.999.999.999") : rule.address;
        const QString port = rule.port == words.anyPort ? QStringLiteral("99999") : rule.port;
        const bool addressHolds = address == addressTextOfRow || address == "999.999.999.999";
        bool portHolds = port == "99999";
        if (!portHolds) {
            // A whole number compares by value; any other text can never match.
            bool isNumber = !port.isEmpty();
            for (QChar c : port)
                isNumber = isNumber && c.isDigit() && c.unicode() < 128;
            if (isNumber) {
                bool ok = false;
                const qulonglong value = port.toULongLong(&ok);
                portHolds = ok && value == remotePort;
            }
        }
        if (addressHolds && portHolds)
            return row;
    }
    return RuleIndex::NoMatch;
}

Rule rule(const QString& address, const QString& port, bool enabled = true) {
    Rule r;
    r.action = QStringLiteral("accept");
    r.address = address;
    r.port = port;
    r.enabled = enabled ? QString() : QStringLiteral("false");
    return r;
}

} // namespace

TEST(RuleIndex, QuirkyCellsMatchAsTheTextWalkDoes) {
    const RuleWords words;
    struct Case {
        const char* cell;
        AddressPattern::Kind kind;
    } addresses[] = {{"any address", AddressPattern::Any}, {"999.999.999.999", AddressPattern::Any},
                     {"10.0.0.1", AddressPattern::Exact},   {"0.0.0.0", AddressPattern::Exact},
                     {"010.0.0.1", AddressPattern::Nothing}, {"a.b.c.d", AddressPattern::Nothing},
                     {"*", AddressPattern::Nothing},         {"10.0.0", AddressPattern::Nothing},
                     {"10.0.0.1.", AddressPattern::Nothing}, {"256.0.0.1", AddressPattern::Nothing},
                     {" 10.0.0.1", AddressPattern::Nothing}, {"", AddressPattern::Nothing},
                     {"1000.0.0.1", AddressPattern::Nothing}, {"fd00::2", AddressPattern::Exact6},
                     {"FD00::2", AddressPattern::Nothing},  {"fd00:0::2", AddressPattern::Nothing},
                     {"::", AddressPattern::Exact6},        {"fd00::2/64", AddressPattern::Nothing}};
    for (const Case& c : addresses)
        EXPECT_EQ(parseAddressCell(c.cell, words).kind, c.kind) << c.cell;
    EXPECT_EQ(parsePortCell("080", words).port, 80);
    EXPECT_EQ(parsePortCell("99999", words).kind, PortPattern::Any);
    EXPECT_EQ(parsePortCell("any port", words).kind, PortPattern::Any);
    for (const char* nothing : {"", "abc", "-1", "8o", " 80", "65536", "099999", "4294967376"})
        EXPECT_EQ(parsePortCell(nothing, words).kind, PortPattern::Nothing) << nothing;

    RuleTable table;
    table.setRules({rule("10.0.0.1", "80", false), rule("10.0.0.1", "8080"),
                    rule("any address", "080"), rule("10.0.0.1", "any port")});
    RuleIndex index;
    index.rebuild(table);
    const std::uint32_t a = addressField(10, 0, 0, 1);
    EXPECT_EQ(index.firstMatch(a, 80), 2) << "the disabled rule is passed over";
    EXPECT_EQ(index.firstMatch(a, 8080), 1);
    EXPECT_EQ(index.firstMatch(addressField(10, 0, 0, 10), 8080), RuleIndex::NoMatch);
    EXPECT_EQ(index.firstMatch(a, 443), 3);

    // An edit moves the generation, so a holder of the index knows to rebuild it.
    EXPECT_TRUE(index.isCurrentFor(table));
    table.setCell(0, RuleTable::Enabled, QString());
    EXPECT_FALSE(index.isCurrentFor(table));
    index.rebuild(table);
    EXPECT_EQ(index.firstMatch(a, 80), 0);
}

TEST(RuleIndex, AgreesWithTheTextWalkOnRandomTables) {
    std::mt19937 random(20261206);
    const std::uint32_t addresses[] = {addressField(10, 0, 0, 1), addressField(10, 0, 0, 10),
                                       addressField(127, 0, 0, 2), addressField(192, 168, 1, 7),
                                       addressField(0, 0, 0, 0)};
    const platform::Address6 fd2 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    const platform::Address6 fd3 = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3};
    const std::uint16_t ports[] = {80, 8080, 443, 0, 65535, 22};
    const QStringList addressCells = {"any address", "999.999.999.999", "10.0.0.1", "10.0.0.10",
                                      "127.0.0.2",   "192.168.1.7",     "010.0.0.1", "a.b.c.d",
                                      "*",           "",                "0.0.0.0",   "any port",
                                      "fd00::2",     "FD00::2",         "fd00:0::3", "fd00::3"};
    const QStringList portCells = {"any port", "99999", "80",  "080", "8080", "443", "0",
                                   "65535",    "65536", "",    "x",   "22",   "0022", "any address"};
    RuleIndex index;
    RuleTable table;
    for (int round = 0; round < 400; ++round) {
        QList<Rule> rules;
        const int count = static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i)
            rules.append(rule(addressCells[static_cast<int>(random() % addressCells.size())],
                              portCells[static_cast<int>(random() % portCells.size())],
                              random() % 5 != 0));
        table.setRules(rules);
        index.rebuild(table);
        for (std::uint16_t port : ports) {
            for (std::uint32_t address : addresses)
                ASSERT_EQ(index.firstMatch(address, port), walk(table, addressText(address), port))
                    << "round " << round << " address " << addressText(address).toStdString()
                    << " port " << port;
            for (const platform::Address6& address : {fd2, fd3})
                ASSERT_EQ(index.firstMatch(address, port), walk(table, addressText(address), port))
                    << "round " << round << " address " << addressText(address).toStdString();
        }
    }
}
