#include "engine/RuleCheck.h"
#include "fakes/FakeLocaliser.h"
#include "policy/RuleListModel.h"
#include "support/EngineRig.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

using namespace tarvok;
using test::makeRule;

// Three connections cut by one block rule are three hits; an accepted connection that stays
// open is one hit however many passes see it; a kernel-table refusal is a hit; the counts
// follow their rules through a move and start again at zero when a policy is opened.
TEST(RuleHits, CountEachConnectionOnceForItsRuleAndFollowTheRule) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    test::Firewall firewall;
    RuleTable& rules = firewall.rules;
    EnforcementEngine& engine = firewall.engine;
    test::TcpListener blocked("127.0.0.2"), accepted("127.0.0.4");
    rules.setRules({makeRule("accept", "127.0.0.9", "any port"),
                    makeRule("block", "127.0.0.2", QString::number(blocked.port())),
                    makeRule("accept", "127.0.0.4", QString::number(accepted.port()))});

    const test::TcpConnection kept = test::connect("127.0.0.5", accepted);
    platform::TcpRow lastCut{};
    for (int i = 0; i < 3; ++i) {
        const test::TcpConnection cut = test::connect("127.0.0.3", blocked);
        lastCut = cut.clientRow();
        engine.runPass();
        EXPECT_EQ(test::readOutcome(cut.client.get(), 2000), -ECONNABORTED) << i;
    }
    for (int pass = 0; pass < 20; ++pass)
        engine.runPass();
    EXPECT_EQ(test::readOutcome(kept.client.get(), 0), -ETIMEDOUT); // still open
    EXPECT_EQ(std::vector<qint64>({rules.hits(0), rules.hits(1), rules.hits(2)}),
              std::vector<qint64>({0, 3, 1}));
    engine.refused(lastCut);
    EXPECT_EQ(rules.hits(1), 4);
    EXPECT_EQ(rules.index(2, RuleTable::HitsColumn).data().toString(), "1");

    rules.moveRule(2, 0);
    engine.runPass(); // the open connection is not counted again under its rule's new row
    EXPECT_EQ(std::vector<qint64>({rules.hits(0), rules.hits(1), rules.hits(2)}),
              std::vector<qint64>({1, 0, 4}));
    EXPECT_EQ(rules.rule(0).address, "127.0.0.4");
    rules.setRules(rules.rules());
    EXPECT_EQ(rules.hits(0) + rules.hits(1) + rules.hits(2), 0);
}

// Which rows can never decide a connection, and which only look alike.
TEST(RuleCheck, FindsRulesBelowACoveringRuleAndCellsThatMatchNothing) {
    using K = RuleFinding::Kind;
    const auto rule = [](const auto&... cells) { return makeRule(cells...); };
    struct Case {
        const char* what;
        QList<Rule> rules;
        RuleFinding last; // the finding of the last row
    };
    const Rule any = rule("block", "any address", "any port");
    // A rule for the given protocols ("TCP", "UDP", "TCP/UDP").
    const auto over = [](const char* protocols, Rule rule) {
        rule.protocol = protocols;
        return rule;
    };
    const Case cases[] = {
        {"a TCP rule above leaves the UDP of a TCP and UDP rule", {rule("block", "any address", "443"), over("TCP/UDP", rule("accept", "10.0.0.1", "443"))}, {}},
        {"a UDP rule above a TCP rule", {over("UDP", any), rule("accept", "10.0.0.1", "443")}, {}},
        {"TCP and UDP above TCP", {over("TCP/UDP", any), rule("accept", "10.0.0.1", "443")}, {K::ShadowedBy, 0}},
        {"TCP and UDP covered by two rules", {over("UDP", any), rule("block", "10.0.0.1", "any port"), over("TCP/UDP", rule("accept", "10.0.0.1", "443"))}, {K::ShadowedBy, 1}},
        {"any address and port above", {any, rule("accept", "10.0.0.1", "80")}, {K::ShadowedBy, 0}},
        {"same address, any port", {rule("block", "10.0.0.1", "any port"), rule("accept", "10.0.0.1", "80")}, {K::ShadowedBy, 0}},
        {"any address, same port", {rule("block", "any address", "80"), rule("accept", "10.0.0.1", "80")}, {K::ShadowedBy, 0}},
        {"same address and port", {rule("block", "10.0.0.1", "80"), rule("block", "10.0.0.1", "080")}, {K::ShadowedBy, 0}},
        {"same IPv6 address", {rule("block", "2001:db8::1", "any port"), rule("accept", "2001:db8::1", "22")}, {K::ShadowedBy, 0}},
        {"the first cover is named", {rule("accept", "any address", "80"), rule("block", "10.0.0.1", "any port"), rule("block", "10.0.0.1", "80")}, {K::ShadowedBy, 0}},
        {"a disabled rule below is judged", {any, rule("accept", "10.0.0.1", "80", false)}, {K::ShadowedBy, 0}},
        {"a disabled rule above", {rule("block", "any address", "any port", false), rule("accept", "10.0.0.1", "80")}, {}},
        {"block above an accept for another port", {rule("block", "any address", "443"), rule("accept", "any address", "80")}, {}},
        {"another address", {rule("block", "10.0.0.1", "any port"), rule("accept", "10.0.0.2", "80")}, {}},
        {"a narrower rule above", {rule("block", "10.0.0.1", "80"), rule("accept", "10.0.0.1", "any port")}, {}},
        {"a port rule above an address rule", {rule("block", "any address", "80"), rule("accept", "10.0.0.1", "any port")}, {}},
        {"a rule that matches nothing covers nothing", {rule("block", "any address", "http"), rule("accept", "any address", "80")}, {}},
        {"leading zero", {rule("block", "010.0.0.1", "80")}, {K::BadAddress}},
        {"IPv6 not as connections show it", {rule("block", "2001:DB8::1", "443")}, {K::BadAddress}},
        {"a service name", {rule("block", "10.0.0.1", "http")}, {K::BadPort}},
        {"beyond the last port", {rule("block", "10.0.0.1", "70000")}, {K::BadPort}},
    };
    RuleTable table;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        table.setRules(c.rules);
        const std::vector<RuleFinding> findings = findNeverMatching(table);
        ASSERT_EQ(findings.size(), static_cast<std::size_t>(c.rules.size()));
        EXPECT_EQ(findings.back(), c.last);
        for (std::size_t row = 0; row + 1 < findings.size(); ++row)
            EXPECT_NE(findings[row].kind, K::ShadowedBy) << row;
    }
}

// A rule that names a program covers only that program's connections: it never makes a rule
// below it for any program, or for another program, unreachable. A rule for any program above,
// or one for the same program, does cover a program rule; a program cell that names no file
// matches nothing and so covers nothing. A rule for a program whose file is not there matches
// nothing until it is installed, and covers that program's rules below it all the same.
TEST(RuleCheck, ARuleForOneProgramShadowsNoRuleForAnyOrAnotherProgram) {
    using K = RuleFinding::Kind;
    const auto named = [](const char* program, Rule rule) {
        rule.program = program;
        return rule;
    };
    const Rule any = makeRule("block", "any address", "any port");
    const Rule narrow = makeRule("accept", "10.0.0.1", "80");
    const struct {
        const char* what;
        QList<Rule> rules;
        RuleFinding last;
    } cases[] = {
        {"a program rule above a rule for any program", {named("/usr/bin/curl", any), narrow}, {}},
        {"a rule for another program above", {named("/usr/bin/wget", any), named("/usr/bin/env", narrow)}, {}},
        {"a rule for any program above a program rule", {any, named("/usr/bin/curl", narrow)}, {K::ShadowedBy, 0}},
        {"the same program above", {named("/usr/bin/curl", makeRule("block", "10.0.0.1", "any port")), named("/usr/bin/curl", narrow)}, {K::ShadowedBy, 0}},
        {"a cell that names no file above", {named("curl", any), narrow}, {}},
        {"a cell that names no file", {named("curl", narrow)}, {K::BadProgram}},
        {"no file at the path", {named("/nonexistent/tarvok", narrow)}, {K::MissingProgram}},
        {"no file, a rule above", {named("/nonexistent/tarvok", any), named("/nonexistent/tarvok", narrow)}, {K::ShadowedBy, 0}},
    };
    RuleTable table;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        table.setRules(c.rules);
        EXPECT_EQ(findNeverMatching(table).back(), c.last);
    }
    table.setRules({named("/nonexistent/tarvok", narrow)});
    const test::FakeLocaliser language;
    const RuleListModel list(table, language);
    EXPECT_TRUE(list.index(0, 0).data(RuleListModel::WarningRole).toBool());
    EXPECT_EQ(list.findingText(0).toStdString(),
              "Matches nothing now: there is no program file at \"/nonexistent/tarvok\"");
}
