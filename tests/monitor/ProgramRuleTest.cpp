// Rules for a whole program made from the alert and the per-application list, in the whole
// program with its real enforcer (program filter attached to this test's own cgroup), and the
// rule column deciding a row by its program.

#include "app/AppTestSupport.h"
#include "engine/EnforcementEngine.h"
#include "engine/KernelTable.h"
#include "fakes/FakePrompter.h"
#include "monitor/ActivityTab.h"
#include "monitor/AlertRows.h"
#include "monitor/AlertWindow.h"
#include "platform/NfTables.h"
#include "policy/PolicyCommands.h"
#include "policy/PolicyFile.h"
#include "policy/RuleEditorDialog.h"
#include "records/EventList.h"
#include "policy/RuleListController.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "support/Accessibility.h"
#include "support/EnforcerSupport.h"
#include "support/HoldClient.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <algorithm>
#include <regex>

using namespace tarvok;

namespace {

using Client = test::HoldClient;

// Whether a connection from address:port is in the TCP table.
bool open(const char* address, std::uint16_t port) {
    platform::SockDiag diag;
    std::vector<TcpRow> rows;
    diag.readTcp(rows);
    return std::any_of(rows.begin(), rows.end(), [&](const TcpRow& row) {
        return row.localAddress == test::address(address) &&
               row.localPort == platform::portField(port) && row.state != platform::StateTimeWait;
    });
}

// Counts the SYNs to a port before anything else sees them.
struct SynCounter {
    platform::NftScripts nft;
    explicit SynCounter(std::uint16_t port) {
        EXPECT_TRUE(nft.run("table inet tarvok_syns {\n\tflags owner\n\tchain out {\n\t\ttype filter "
                            "hook output priority raw - 10; policy accept;\n\t\ttcp dport " +
                            std::to_string(port) + " tcp flags & (syn | ack) == syn counter\n\t}\n}\n"))
            << nft.error();
    }
    static int packets() {
        std::smatch found;
        const std::string text = test::listedTable("tarvok_syns");
        return std::regex_search(text, found, std::regex("packets ([0-9]+)")) ? std::stoi(found[1]) : -1;
    }
};

// The whole program in a fresh folder, with the policy rules given.
struct Program {
    test::ProgramFolder folder;
    test::FakePrompter prompter;
    std::optional<Application> app;

    explicit Program(const QList<Rule>& rules) {
        EXPECT_TRUE(test::writeFile(folder.file("Normal.rlsp"), policyText(rules, RuleWords{})));
        app.emplace(folder.path(), &prompter);
        EXPECT_TRUE(app->start({}));
    }
    ~Program() { app->shutdown(false); }
    RuleTable& rules() { return app->rules(); }
    QString savedProgram(int rule) const {
        const QByteArray key = "Program_" + QByteArray::number(rule) + "=";
        for (const QByteArray& line : folder.read("Normal.rlsp").split('\n'))
            if (line.startsWith(key))
                return QString::fromUtf8(line.mid(key.size())).trimmed();
        return {};
    }
};

} // namespace

// Block in the alert: a block rule for the program at the top, saved at once (nothing else was
// unsaved); its open connection is cut, its next one refused before a packet leaves, and
// another program connects.
TEST(ProgramRuleFromTheAlert, BlocksTheProgramInTheKernelCutsItsConnectionAndSavesTheRule) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::ownCgroup()) << "needs root and a cgroup v2 mount";
    QTemporaryDir copies;
    test::TcpListener listener("127.0.0.2");
    Client a;
    ASSERT_TRUE(a.start(copies.filePath("a-client"), "127.0.0.5", listener));
    Program program({});
    AlertRows& alert = *program.app->activity()->alertRows();
    const auto rowOfA = [&] {
        for (int row = 0; row < alert.rowCount(); ++row)
            if (alert.row(row).path == a.path)
                return row;
        return -1;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return rowOfA() >= 0; }, 5000));
    AlertWindow* window = program.app->activity()->alertWindow();
    EXPECT_EQ(test::nameless(window), QStringList());
    window->list()->setCurrentIndex(alert.index(rowOfA(), 0));
    window->findChild<QPushButton*>("cmdBlock")->click();

    EXPECT_EQ(rowOfA(), -1) << "the row left the alert";
    ASSERT_EQ(program.rules().count(), 1);
    const Rule& made = program.rules().rule(0);
    const RuleWords& words = program.rules().words();
    EXPECT_EQ(QStringList({made.action, made.address, made.port, made.protocol, made.log, made.program}),
              QStringList({words.block, words.anyAddress, words.anyPort, "TCP/UDP", "", a.path}));
    EXPECT_EQ(program.savedProgram(1), a.path);
    EXPECT_FALSE(program.app->policy()->SaveChanges());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !open("127.0.0.5", a.port); }, 5000))
        << "the program's open connection was cut";

    SynCounter syns(listener.port());
    Client again, b;
    EXPECT_FALSE(again.start(a.path, "127.0.0.5", listener));
    EXPECT_EQ(SynCounter::packets(), 0) << "no packet of the refused connection left";
    EXPECT_TRUE(b.start(copies.filePath("b-client"), "127.0.0.6", listener));
    // The cut and the filter's refusal both count for the program rule.
    EXPECT_TRUE(QTest::qWaitFor([&] { return program.rules().hits(0) == 2; }, 3000))
        << program.rules().hits(0);
    // The refusal's record names the program's file.
    const QList<EventRecord>& records = program.app->events()->records();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const EventRecord& r) {
        return r.status == "BLOCKED CONNECTION" && r.program == a.path;
    }));
}

// "Allow this program" in the per-application list: an accept rule at the top, above an address
// block that then no longer stops that program, in the kernel or in the pass; another program
// stays blocked. With another change unsaved, the rule joins it and nothing is written.
TEST(ProgramRuleFromTheList, AllowsTheProgramAboveAnAddressBlockAndJoinsUnsavedChanges) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE(test::ownCgroup()) << "needs root and a cgroup v2 mount";
    QTemporaryDir copies;
    test::TcpListener blocked("127.0.0.2"), other("127.0.0.3");
    Client a;
    ASSERT_TRUE(a.start(copies.filePath("a-client"), "127.0.0.5", other));
    Program program({{"block", {}, {}, "127.0.0.2", "any port", {}, "addresses", "TCP"}});
    const QByteArray saved = program.folder.read("Normal.rlsp");
    program.app->policy()->setSaveChanges(true); // another edit, not saved yet
    QTreeView* list = program.app->window()->list("ListConnPROC");
    const auto rowOfA = [&] {
        program.app->monitor()->RefConNetworkTCP_UDP();
        for (int row = 0; row < list->model()->rowCount(); ++row)
            if (list->model()->index(row, 7).data() == a.path)
                return row;
        return -1;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return rowOfA() >= 0; }, 5000));
    program.app->activity()->alertWindow()->close();
    EXPECT_EQ(test::nameless(program.app->window()), QStringList());
    QAction* allow = program.app->window()->action("mnuAllowProgramXP");
    const int row = rowOfA();
    emit list->customContextMenuRequested(list->visualRect(list->model()->index(row, 0)).center());
    program.app->window()->menu("mnuListConnXP")->hide();
    ASSERT_TRUE(allow->isEnabled());
    // An editor open on rule 1 holds nothing back: the rule goes in at once, and the editor
    // follows its rule to row 2.
    QTreeView* rules = program.app->window()->list("ListRules");
    rules->setCurrentIndex(rules->model()->index(0, 0));
    program.app->window()->action("mnuEditRule")->trigger();
    auto* editor = program.app->window()->findChild<RuleListController*>()->editor();
    ASSERT_TRUE(editor);
    allow->trigger();
    EXPECT_EQ(program.rules().count(), 2) << "the rule waited for the editor";
    const Rule edited = program.rules().rule(1);
    editor->findChild<QPushButton*>("cmdModify")->click();
    EXPECT_EQ(program.rules().rule(1).address, edited.address) << "the editor lost its row";

    ASSERT_EQ(program.rules().count(), 2);
    EXPECT_EQ(program.rules().rule(0).program, a.path);
    EXPECT_TRUE(program.rules().isAccept(0));
    EXPECT_EQ(program.rules().rule(1).address, "127.0.0.2");
    EXPECT_TRUE(program.app->policy()->SaveChanges());
    EXPECT_EQ(program.folder.read("Normal.rlsp"), saved);

    ASSERT_TRUE(program.app->kernelTable()->waitForWrite(5000));
    Client again, b;
    ASSERT_TRUE(again.start(a.path, "127.0.0.6", blocked)) << "the kernel let the program through";
    EXPECT_FALSE(b.start(copies.filePath("b-client"), "127.0.0.7", blocked));
    ASSERT_TRUE(program.app->engine()->programOwners().waitForWalk(5000));
    program.app->engine()->runPass();
    ASSERT_TRUE(program.app->engine()->programOwners().waitForWalk(5000));
    program.app->engine()->runPass();
    EXPECT_TRUE(open("127.0.0.6", again.port)) << "the pass cut what the kernel let through";
}

// The rule column decides a row by its program: a program rule for that program's row, the
// address rule below it for another program's row to the same end.
TEST(ProgramRuleColumn, ShowsTheProgramRuleForItsProgramAndTheAddressRuleForAnother) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    QTemporaryDir copies;
    test::TcpListener listener("127.0.0.2");
    Client a, b;
    ASSERT_TRUE(a.start(copies.filePath("a-client"), "127.0.0.5", listener));
    ASSERT_TRUE(b.start(copies.filePath("b-client"), "127.0.0.6", listener));
    Client aOverUdp; // the same program, a connected UDP socket
    ASSERT_TRUE(aOverUdp.start(a.path, "127.0.0.7", listener, true));
    platform::SockDiag diag;
    ConnectionTables tables{diag};
    RuleTable rules;
    Rule forA{"accept", "1", {}, "any address", "any port", {}, {}, "TCP/UDP", a.path};
    rules.setRules({forA, {"accept", "2", {}, "127.0.0.2", "any port", {}, {}}});
    EnforcementEngine engine{tables, rules};
    engine.timer()->stop();
    ConnectionMonitor monitor{tables};
    monitor.setYield([] {});
    monitor.setProgramsMatter([] { return true; });
    // The per-connection list names owners as the pass has learnt them.
    monitor.setOwnerLookup([&engine](const platform::SocketId& id) { return engine.programOwners().known(id); });
    engine.runPass();
    ASSERT_TRUE(engine.programOwners().waitForWalk(5000));
    engine.runPass();
    for (const ConnectionMonitor::View view :
         {ConnectionMonitor::View::PerApplication, ConnectionMonitor::View::PerConnection}) {
        ConnectionListModel& list = *monitor.model(view);
        list.setRuleColumn([&engine](const TcpRow& row, bool udp, const ProgramIdentity* owner) {
            return QString::number(engine.decide(row, udp, owner).row + 1);
        });
        monitor.setView(view);
        monitor.rebuildCurrent();
        const int localColumn = view == ConnectionMonitor::View::PerConnection ? 1 : 2;
        QStringList decided;
        for (const char* local : {"127.0.0.5", "127.0.0.6", "127.0.0.7"})
            for (int row = 0; row < list.rowCount(); ++row)
                if (list.cell(row, localColumn) == local)
                    decided << list.index(row, 8).data().toString();
        EXPECT_EQ(decided, QStringList({"1", "2", "1"}))
            << (view == ConnectionMonitor::View::PerConnection ? "per connection" : "per application");
    }
}
