#include "control/ControlProtocol.h"

#include "engine/EngineServices.h"
#include "engine/TextKeys.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace tarvok::control {
namespace {

struct Row {
    Command command;
    const char* request;
};
constexpr Row Requests[] = {
    {Command::Status, "status"},
    {Command::StatusJson, "status json"},
    {Command::LevelAllow, "level allow"},
    {Command::LevelNormal, "level normal"},
    {Command::LevelBlock, "level block"},
    {Command::Pause, "pause"},
    {Command::Resume, "resume"},
    {Command::Reload, "reload"},
    {Command::Exit, "exit"},
    {Command::ExitDiscard, "exit discard"},
    {Command::ShowWindow, "show window"},
};

const QStringList& switches() {
    static const QStringList list = {QStringLiteral("--status"), QStringLiteral("--json"),
                                     QStringLiteral("--level"),  QStringLiteral("--pause"),
                                     QStringLiteral("--resume"), QStringLiteral("--reload"),
                                     QStringLiteral("--exit"),   QStringLiteral("--help")};
    return list;
}

// The options Qt's start-up reads (QCoreApplication, QGuiApplication, QApplication and the
// xcb platform), and where their value is: none, the next argument (or after "="), or only
// after "=".
enum class Value { None, Next, Joined };
struct QtOption {
    const char* name;
    Value value;
};
constexpr QtOption QtOptions[] = {
    {"-platform", Value::Next},      {"-platformpluginpath", Value::Next},
    {"-platformtheme", Value::Next}, {"-plugin", Value::Next},
    {"-qwindowgeometry", Value::Next}, {"-geometry", Value::Next},
    {"-qwindowtitle", Value::Next},  {"-title", Value::Next},
    {"-qwindowicon", Value::Next},   {"-icon", Value::Next},
    {"-session", Value::Next},       {"-style", Value::Next},
    {"-stylesheet", Value::Next},    {"-display", Value::Next},
    {"-name", Value::Next},          {"-visual", Value::Next},
    {"-reverse", Value::None},       {"-testability", Value::None},
    {"-widgetcount", Value::None},   {"-nograb", Value::None},
    {"-dograb", Value::None},        {"-sync", Value::None},
    {"-qmljsdebugger", Value::Joined},
};

const QtOption* qtOption(const QString& argument) {
    // Qt reads "--style" as "-style".
    const QString word = argument.startsWith(QLatin1String("--")) ? argument.mid(1) : argument;
    const qsizetype equals = word.indexOf(QLatin1Char('='));
    const QString name = word.left(equals);
    for (const QtOption& option : QtOptions)
        if (name == QLatin1String(option.name))
            return (equals >= 0 ? option.value == Value::None : option.value == Value::Joined)
                       ? nullptr
                       : &option;
    return nullptr;
}

// The arguments without Qt's options and their values.
QStringList withoutQtOptions(const QStringList& arguments) {
    QStringList rest;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QtOption* option = qtOption(arguments[i]);
        if (!option)
            rest.append(arguments[i]);
        else if (option->value == Value::Next && !arguments[i].contains(QLatin1Char('=')))
            ++i;
    }
    return rest;
}

QString yesNo(bool on) {
    return on ? QStringLiteral("yes") : QStringLiteral("no");
}

} // namespace

QByteArray requestLine(Command command) {
    for (const Row& row : Requests)
        if (row.command == command)
            return row.request;
    return {};
}

std::optional<Command> parseRequest(QByteArrayView line) {
    for (const Row& row : Requests)
        if (line == QByteArrayView(row.request))
            return row.command;
    return std::nullopt;
}

Request decodeRequest(QByteArrayView received) {
    const qsizetype end = received.indexOf('\n');
    if (end > MaxRequestBytes || (end < 0 && received.size() > MaxRequestBytes))
        return {Request::Kind::TooLong};
    if (end < 0)
        return {Request::Kind::Incomplete};
    QByteArrayView line = received.first(end);
    if (line.endsWith('\r'))
        line.chop(1);
    if (const auto command = parseRequest(line))
        return {Request::Kind::Command, *command};
    return {Request::Kind::Unknown};
}

bool isControlArguments(const QStringList& arguments) {
    // "-minimized" and Qt's own options still start the program.
    for (const QString& argument : withoutQtOptions(arguments))
        if (argument.startsWith(QLatin1String("--")) && argument.size() > 2)
            return true;
    return false;
}

Arguments parseArguments(const QStringList& arguments) {
    Arguments result;
    QStringList words = withoutQtOptions(arguments);
    // "--level=block" is "--level block".
    for (qsizetype i = 0; i < words.size(); ++i)
        if (words[i].startsWith(QLatin1String("--level="))) {
            const QString value = words[i].mid(8);
            words[i] = QStringLiteral("--level");
            words.insert(i + 1, value);
        }
    bool json = false;
    bool discard = false;
    QStringList commands;
    QString level;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const QString& word = words[i];
        if (word == QLatin1String("--json")) {
            json = true;
        } else if (word == QLatin1String("--discard")) {
            discard = true;
        } else if (word == QLatin1String("--level")) {
            if (i + 1 >= words.size()) {
                result.error = QStringLiteral("--level needs one of allow, normal, block.");
                return result;
            }
            level = words[++i];
            commands.append(word);
        } else if (switches().contains(word)) {
            commands.append(word);
        } else {
            result.error = QStringLiteral("Unknown argument: %1").arg(word);
            return result;
        }
    }
    if (commands.contains(QLatin1String("--help"))) {
        result.help = true;
        return result;
    }
    if (commands.size() != 1) {
        result.error = !commands.isEmpty() ? QStringLiteral("Give one command at a time.")
                       : json              ? QStringLiteral("--json goes with --status.")
                                           : QStringLiteral("--discard goes with --exit.");
        return result;
    }
    const QString& command = commands.first();
    if (json && command != QLatin1String("--status")) {
        result.error = QStringLiteral("--json goes with --status.");
        return result;
    }
    if (discard && command != QLatin1String("--exit")) {
        result.error = QStringLiteral("--discard goes with --exit.");
        return result;
    }
    if (command == QLatin1String("--status"))
        result.command = json ? Command::StatusJson : Command::Status;
    else if (command == QLatin1String("--pause"))
        result.command = Command::Pause;
    else if (command == QLatin1String("--resume"))
        result.command = Command::Resume;
    else if (command == QLatin1String("--reload"))
        result.command = Command::Reload;
    else if (command == QLatin1String("--exit"))
        result.command = discard ? Command::ExitDiscard : Command::Exit;
    else if (level == QLatin1String("allow"))
        result.command = Command::LevelAllow;
    else if (level == QLatin1String("normal"))
        result.command = Command::LevelNormal;
    else if (level == QLatin1String("block"))
        result.command = Command::LevelBlock;
    else
        result.error = QStringLiteral("Unknown level: %1 (allow, normal or block).").arg(level);
    return result;
}

QString usage() {
    return QStringLiteral(
        "Usage: tarvok [-minimized]          start Tarvok\n"
        "       tarvok --status [--json]     show the state of the running Tarvok\n"
        "       tarvok --level allow|normal|block\n"
        "       tarvok --pause | --resume    pause or resume the firewall\n"
        "       tarvok --reload              read the current policy file again\n"
        "       tarvok --exit [--discard]    end the running Tarvok; refused while the\n"
        "                                    rules have unsaved changes, unless --discard\n"
        "                                    drops them\n"
        "Exit codes: 0 done, 1 Tarvok is not running, 2 bad arguments, 3 refused,\n"
        "            4 busy (try again).\n");
}

QByteArray okLine(const QString& text) {
    return text.isEmpty() ? QByteArray("OK\n") : "OK " + text.toUtf8() + '\n';
}

QByteArray refusedLine(const QString& reason) {
    return "REFUSED " + reason.toUtf8() + '\n';
}

QByteArray busyLine(const QString& reason) {
    return "BUSY " + reason.toUtf8() + '\n';
}

QByteArray errorLine(const QString& reason) {
    return "ERROR " + reason.toUtf8() + '\n';
}

Answer readAnswer(const QByteArray& bytes) {
    Answer answer;
    QList<QByteArray> lines = bytes.split('\n');
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.isEmpty())
        return answer;
    const QString status = QString::fromUtf8(lines.takeLast());
    for (const QByteArray& line : std::as_const(lines))
        answer.body.append(QString::fromUtf8(line));
    const struct {
        const char* word;
        ExitCode code;
    } kinds[] = {{"OK", Done}, {"REFUSED", Refused}, {"BUSY", Busy}, {"ERROR", BadArguments}};
    for (const auto& kind : kinds) {
        const QString word = QLatin1String(kind.word);
        if (status == word || status.startsWith(word + QLatin1Char(' '))) {
            answer.code = kind.code;
            answer.text = status.mid(word.size() + 1);
            return answer;
        }
    }
    answer.body.append(status); // cut off before its status line
    return answer;
}

Enforcement enforcementInForce(const EnforcementEngine& engine, const KernelTable* table,
                               const Localiser& language) {
    const auto reason = [&language](int key, const char* english) {
        const QString text = language.text(QStringLiteral("Main"), key);
        return text.isEmpty() ? QString::fromLatin1(english) : text;
    };
    switch (engine.cutAbility()) {
    case CutAbility::Works:
        if (table && table->inForce())
            return {QStringLiteral("kernel table and cutting"), {}};
        return {QStringLiteral("cutting only"),
                table ? reason(language::kernel::TableRefused, "the kernel refused Tarvok's packet filter table") +
                            QStringLiteral(": ") + table->failure()
                      : QString()};
    case CutAbility::NoPermission:
        return {QStringLiteral("monitor only"),
                reason(language::level::NoPermission, "no permission to close connections: grant CAP_NET_ADMIN")};
    case CutAbility::NotSupported:
        return {QStringLiteral("monitor only"),
                reason(language::level::NotSupported, "this kernel cannot close connections")};
    case CutAbility::NoEnforcer:
        return {QStringLiteral("monitor only"),
                reason(language::level::NoEnforcer, "tarvok-enforcer, which holds the privileges to cut connections, "
                            "could not be started")};
    }
    return {QStringLiteral("monitor only"), {}};
}

void countRules(const RuleTable& table, Status& status) {
    status.rules = table.count();
    status.enabledRules = status.programRules = 0;
    for (int row = 0; row < table.count(); ++row) {
        if (!table.isEnabled(row))
            continue;
        ++status.enabledRules;
        // A program cell that names no file still limits its rule to a program (to none).
        if (!table.rule(row).program.isEmpty())
            ++status.programRules;
    }
}

QString levelWord(SecurityLevel level) {
    switch (level) {
    case SecurityLevel::Allow:
        return QStringLiteral("allow");
    case SecurityLevel::Block:
        return QStringLiteral("block");
    case SecurityLevel::Normal:
        break;
    }
    return QStringLiteral("normal");
}

QStringList statusLines(const Status& s) {
    QString enforcement = s.enforcement.state;
    if (!s.enforcement.reason.isEmpty())
        enforcement += QStringLiteral(": ") + s.enforcement.reason;
    return {QStringLiteral("Level: ") + levelWord(s.level),
            QStringLiteral("Paused: ") + yesNo(s.paused),
            QStringLiteral("Enforcement: ") + enforcement,
            QStringLiteral("Policy file: ") + s.policyFile,
            QStringLiteral("Unsaved changes: ") + yesNo(s.unsavedChanges),
            QStringLiteral("Rules: %1").arg(s.rules),
            QStringLiteral("Enabled rules: %1").arg(s.enabledRules),
            QStringLiteral("Program rules: %1").arg(s.programRules) +
                (s.programRulesCutOnly.isEmpty()
                     ? QString()
                     : QStringLiteral(" (cut after connect \u2013 %1)").arg(s.programRulesCutOnly)),
            QStringLiteral("Blocked since start: %1").arg(s.blocked),
            QStringLiteral("Version: ") + s.version};
}

QByteArray statusJson(const Status& s) {
    const QJsonObject object{
        {QStringLiteral("level"), levelWord(s.level)},
        {QStringLiteral("paused"), s.paused},
        {QStringLiteral("enforcement"), s.enforcement.state},
        {QStringLiteral("enforcement_reason"), s.enforcement.reason},
        {QStringLiteral("policy_file"), s.policyFile},
        {QStringLiteral("unsaved_changes"), s.unsavedChanges},
        {QStringLiteral("rules"), s.rules},
        {QStringLiteral("enabled_rules"), s.enabledRules},
        {QStringLiteral("program_rules"), s.programRules},
        {QStringLiteral("program_rules_cut_only"), s.programRulesCutOnly},
        {QStringLiteral("blocked"), s.blocked},
        {QStringLiteral("version"), s.version},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace tarvok::control
