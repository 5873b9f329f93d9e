#include "control/ControlProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <tuple>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::control;

TEST(ControlProtocol, CommandLinesBecomeOneCommandOrABadArgumentsError) {
    // Each command is also run from a terminal against the real binary (Control.*); these are
    // the spellings and mistakes that test does not type.
    const std::pair<QStringList, std::optional<Command>> rows[] = {
        {{"--json", "--status"}, Command::StatusJson},
        {{"--level", "allow"}, Command::LevelAllow},
        {{"--level=normal"}, Command::LevelNormal},
        {{"--help"}, {}},
        {{"--level"}, {}},
        {{"--level", "BLOCK"}, {}},
        {{"--pause", "--json"}, {}},
        {{"--status", "-minimized"}, {}},
        {{"--status", "extra"}, {}},
        {{"--exit", "--discard"}, Command::ExitDiscard},
        {{"--discard"}, {}},
        {{"--status", "--discard"}, {}},
        {{"-platform", "offscreen", "--status", "--style=fusion"}, Command::Status},
    };
    for (const auto& [arguments, command] : rows) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        EXPECT_TRUE(isControlArguments(arguments));
        const Arguments parsed = parseArguments(arguments);
        EXPECT_EQ(parsed.command, command);
        EXPECT_EQ(parsed.help, arguments == QStringList{"--help"});
        EXPECT_EQ(parsed.error.isEmpty(), command || parsed.help) << parsed.error.toStdString();
        // What the client sends is what the instance reads back.
        if (command) {
            EXPECT_EQ(parseRequest(requestLine(*command)), command);
        }
    }
    // A start keeps its own switches, Qt's included.
    for (const QStringList& start :
         {QStringList{}, QStringList{"-minimized"}, QStringList{"/minimized", "-platform", "offscreen"},
          QStringList{"--style", "fusion", "--reverse"}, QStringList{"-qwindowtitle", "--status"}})
        EXPECT_FALSE(isControlArguments(start)) << start.join(' ').toStdString();
}

// A mistyped switch used to start a second Tarvok, which then said that one was running.
TEST(ControlProtocol, AnUnknownLongSwitchIsABadArgumentNotAStart) {
    for (const QStringList& arguments : {QStringList{"--stauts"}, QStringList{"-minimized", "--exti"},
                                         QStringList{"--style=fusion", "--minimized"}}) {
        EXPECT_TRUE(isControlArguments(arguments)) << arguments.join(' ').toStdString();
        EXPECT_FALSE(parseArguments(arguments).error.isEmpty());
    }
}

TEST(ControlProtocol, OnlyExactRequestsAreCommandsAndAnswersEndInTheirStatusLine) {
    for (const QByteArray& bad :
         {QByteArray(), QByteArray("STATUS"), QByteArray("status "), QByteArray("level"),
          QByteArray("status\0", 7), QByteArray("\xff\xfe\x00\x01", 4),
          QByteArray(MaxRequestBytes * 4, 's')})
        EXPECT_FALSE(parseRequest(bad)) << bad.toHex().left(40).toStdString();
    using Kind = Request::Kind;
    const std::pair<QByteArray, Kind> received[] = {
        {"status\r\n", Kind::Command},  {"status\nlevel block\n", Kind::Command},
        {"stat", Kind::Incomplete},       {QByteArray(MaxRequestBytes, 's'), Kind::Incomplete},
        {"status \n", Kind::Unknown},     {QByteArray(MaxRequestBytes + 1, 's'), Kind::TooLong},
        {QByteArray(MaxRequestBytes + 1, 's') + "\n", Kind::TooLong}};
    for (const auto& [bytes, kind] : received)
        EXPECT_EQ(decodeRequest(bytes).kind, kind) << bytes.left(40).toStdString();
    EXPECT_EQ(decodeRequest("exit discard\n").command, Command::ExitDiscard);

    const struct {
        QByteArray bytes;
        ExitCode code;
        QStringList body;
        QString text;
    } answers[] = {
        {"Level: block\nOK\n", Done, {"Level: block"}, ""},
        {okLine("Paused."), Done, {}, "Paused."},
        {refusedLine("paused"), Refused, {}, "paused"},
        {busyLine("try again"), Busy, {}, "try again"},
        {errorLine("unknown command"), BadArguments, {}, "unknown command"},
        {"Level: blo", NotRunning, {"Level: blo"}, ""}, // cut off
        {"", NotRunning, {}, ""},
    };
    for (const auto& a : answers) {
        const Answer read = readAnswer(a.bytes);
        EXPECT_EQ(read.code, a.code) << a.bytes.toStdString();
        EXPECT_EQ(read.body, a.body);
        EXPECT_EQ(read.text, a.text);
    }
}

TEST(ControlProtocol, StatusReadsAsLinesAndAsJsonWithTheDocumentedKeys) {
    const Status status{SecurityLevel::Block, true, {"monitor only", "no permission"},
                        "/opt/t/Normal.rlsp", true, 5, 3, 2, 42, "3.0", "no BTF"};
    EXPECT_EQ(
        statusLines(status),
        QStringList({"Level: block", "Paused: yes", "Enforcement: monitor only: no permission",
                     "Policy file: /opt/t/Normal.rlsp", "Unsaved changes: yes", "Rules: 5",
                     "Enabled rules: 3",
                     "Program rules: 2 (cut after connect \u2013 no BTF)", "Blocked since start: 42",
                     "Version: 3.0"}));
    const QJsonObject json = QJsonDocument::fromJson(statusJson(status)).object();
    EXPECT_EQ(json.keys(),
              QStringList({"blocked", "enabled_rules", "enforcement", "enforcement_reason", "level",
                           "paused", "policy_file", "program_rules", "program_rules_cut_only", "rules", "unsaved_changes",
                           "version"}));
    EXPECT_EQ(json["blocked"].toInteger(), 42);
    EXPECT_EQ(json["program_rules"].toInt(), 2);
    EXPECT_EQ(json["program_rules_cut_only"].toString(), "no BTF");
    EXPECT_TRUE(json["paused"].toBool());
    EXPECT_FALSE(statusJson(status).contains('\n'));

    // Program rules are the enabled rules that name a program, one that names no file included.
    RuleTable table;
    const auto rule = [&table](const QString& program, bool enabled) {
        Rule r;
        r.enabled = enabled ? QString() : table.words().disabled;
        r.program = program;
        return r;
    };
    table.setRules({rule("/usr/bin/curl", true), rule("/usr/bin/wget", false), rule("", true),
                    rule("curl", true)});
    Status counted;
    countRules(table, counted);
    EXPECT_EQ(std::tuple(counted.rules, counted.enabledRules, counted.programRules),
              std::tuple(4, 3, 2));
}
