#pragma once
// An enforcement engine over the real connection table of the test's network namespace, the
// rules the engine tests give it, and the plain rule walk that the rule index must agree with.

#include "engine/EnforcementEngine.h"
#include "engine/EnforcerLink.h"
#include "support/EnforcerSupport.h"
#include "engine/RuleIndex.h"
#include "fakes/EngineFakes.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <unistd.h>

namespace tarvok::test {

inline Rule makeRule(const QString& action, const QString& address, const QString& port,
                     bool enabled = true, bool logged = true) {
    return {action, {}, enabled ? "" : "false", address, port, logged ? "" : "disabled", "none"};
}

// Passes run when the test says so; records, balloons, settings and texts stay in the test.
// Cuts go through a real enforcer, as the program's do.
struct Firewall {
    platform::SockDiag diag;
    EnforcerLink enforcer;
    ConnectionTables tables{diag};
    RuleTable rules;
    RecordingEvents events;
    RecordingNotifier notifier;
    MapSettings settings;
    MapLocaliser localiser;
    EnforcementEngine engine{tables, rules};

    // instance 0 takes a fresh one; program is the enforcer to start.
    explicit Firewall(quint64 instance = 0,
                      const QString& program = QStringLiteral(TARVOK_TEST_ENFORCER)) {
        EXPECT_TRUE(enforcer.start(program, instance ? instance : nextInstance()))
            << enforcer.failure().toStdString();
        tables.setEnforcer(&enforcer);
        engine.checkCutAbility();
        engine.timer()->stop();
        engine.setEventSink(&events);
        engine.setNotifier(&notifier);
        engine.setSettings(&settings);
        engine.setLocaliser(&localiser);
        localiser.texts["Main/83"] = "Tarvok Alert";
    }

    // Where a fresh table read lists the row, and its state there; {-1, 0} when it does not.
    std::pair<int, std::uint32_t> find(const TcpRow& wanted) {
        std::vector<TcpRow> rows;
        EXPECT_EQ(diag.readTcp(rows), 0u);
        const auto ends = [](const TcpRow& r) {
            return std::tie(r.localAddress, r.localPort, r.remoteAddress, r.remotePort);
        };
        const auto at = std::find_if(rows.begin(), rows.end(),
                                     [&](const TcpRow& row) { return ends(row) == ends(wanted); });
        return at == rows.end() ? std::pair(-1, 0u) : std::pair(int(at - rows.begin()), at->state);
    }
};

// The plain walk from the top, comparing texts: the first enabled rule for a connection to the
// address (as connections show it) and port, or RuleIndex::NoMatch.
// A rule covers UDP when its protocol cell says "UDP" or "TCP/UDP", TCP unless it says "UDP".
inline int walk(const RuleTable& table, const QString& addressTextOfRow, std::uint16_t remotePort,
                bool udp = false) {
    const RuleWords& words = table.words();
    for (int row = 0; row < table.count(); ++row) {
        const Rule& rule = table.rule(row);
        const bool covers = udp ? rule.protocol == "UDP" || rule.protocol == "TCP/UDP"
                                : rule.protocol != "UDP";
        if (rule.enabled == words.disabled || !covers)
            continue;
        const QString address =
            rule.address == words.anyAddress ? QStringLiteral("999.999.999.999") : rule.address;
        const QString port = rule.port == words.anyPort ? QStringLiteral("99999") : rule.port;
        const bool addressHolds = address == addressTextOfRow || address == "999.999.999.999";
        // A whole number compares by value; any other text can never match.
        static const QRegularExpression wholeNumber(QStringLiteral("^[0-9]+$"));
        bool ok = false;
        const bool portHolds = port == "99999" || (wholeNumber.match(port).hasMatch() &&
                                                   port.toULongLong(&ok) == remotePort && ok);
        if (addressHolds && portHolds)
            return row;
    }
    return RuleIndex::NoMatch;
}

} // namespace tarvok::test
