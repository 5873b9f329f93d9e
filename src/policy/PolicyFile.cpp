#include "policy/PolicyFile.h"

#include "records/TextFiles.h"
#include "settings/IniFile.h"

#include <cmath>

namespace tarvok {
namespace {

const QString Section = QStringLiteral("Rules");
const QString Any = QStringLiteral("*");
const QString Yes = QStringLiteral("1");
const QString No = QStringLiteral("2");

// A line break inside a value would end its line and could make the rest of the value read
// as another key, so it is stored as a blank.
QByteArray storedValue(QString value) {
    value.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    return value.toUtf8();
}

} // namespace

std::optional<int> policyCount(const QString& countText) {
    const double count = roundHalfEven(leadingNumber(countText));
    if (!std::isfinite(count) || count < -32768 || count > MaxPolicyRules)
        return std::nullopt;
    return static_cast<int>(count);
}

QList<Rule> readPolicyRules(const QString& path, const RuleWords& words) {
    // One read of the file for every key of every rule.
    const ini::Reader file(path);
    const auto value = [&file](const char* stem, int n) {
        return file.read(Section, QLatin1String(stem) + QString::number(n));
    };
    const int count = policyCount(file.read(Section, QStringLiteral("Count"))).value_or(0);
    QList<Rule> rules;
    rules.reserve(std::max(count, 0));
    for (int n = 1; n <= count; ++n) {
        Rule rule;
        const bool accept = value("Action_", n) == Yes;
        rule.action = accept ? words.accept : words.block;
        rule.icon = accept ? 1 : 2;
        rule.number = QString::number(n);
        rule.enabled = value("Enabled_", n) == Yes ? QString() : words.disabled;
        const QString address = value("RemAddr_", n);
        rule.address = address == Any ? words.anyAddress : address;
        const QString port = value("RemP_", n);
        rule.port = port == Any ? words.anyPort : port;
        rule.description = value("Desc_", n);
        if (rule.description.isEmpty())
            rule.description = words.noDescription;
        rule.log = value("Log_", n) == Yes ? QString() : words.noLog;
        rules.append(rule);
    }
    return rules;
}

void ReadPolicyFile(const QString& path, RuleTable& table) {
    const QList<Rule> rules = readPolicyRules(path, table.words());
    if (!rules.isEmpty())
        table.setRules(table.rules() + rules);
}

QByteArray policyText(const QList<Rule>& rules, const RuleWords& words) {
    QByteArray text = "[Rules]\r\nCount=" + QByteArray::number(rules.size()) + "\r\n\r\n";
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const Rule& rule = rules.at(i);
        const QByteArray n = QByteArray::number(i + 1);
        const auto line = [&](const char* stem, const QString& value) {
            text += stem + n + '=' + storedValue(value) + "\r\n";
        };
        line("Action_", rule.action == words.accept ? Yes : No);
        line("Enabled_", rule.enabled.isEmpty() ? Yes : No);
        line("RemAddr_", rule.address == words.anyAddress ? Any : rule.address);
        line("RemP_", rule.port == words.anyPort ? Any : rule.port);
        line("Log_", rule.log.isEmpty() ? Yes : No);
        line("Desc_", rule.description.isEmpty() ? words.noDescription : rule.description);
        text += "\r\n";
    }
    // The text is written as one line of output, which ends it with one more line end.
    text += "\r\n";
    return text;
}

} // namespace tarvok
