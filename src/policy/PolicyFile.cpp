#include "policy/PolicyFile.h"

#include "engine/RuleIndex.h"
#include "monitor/DesktopEntries.h"
#include "records/TextFiles.h"
#include "settings/IniFile.h"
#include "settings/LanguageFile.h"
#include "settings/LanguageKeys.h"

#include <cmath>
#include <utility>

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

// A rule's program path, read whole (other values are cut at ini::MaxValueLength, which would
// turn a long path into another one). A path is UTF-8 on Linux, so its bytes are read as
// UTF-8 whenever they are valid UTF-8, even in a file whose other values are Windows-1252.
QString programOf(const ini::Reader& file, int n) {
    const QByteArray bytes = file.readBytes(Section, QStringLiteral("Program_%1").arg(n));
    return bytes.isValidUtf8() ? ini::fromUtf8Value(bytes) : ini::fromWindows1252(bytes);
}

// The stored form of a program path, which reads back as the same text: blanks at either end
// or enclosing quotes are kept by quoting. A line break cannot be stored; it becomes a tab,
// so that a text that matches nothing (a control character) still matches nothing when it
// is read again, rather than becoming a path of some other file.
QByteArray storedProgram(QString program) {
    program.replace(QLatin1Char('\r'), QLatin1Char('\t')).replace(QLatin1Char('\n'), QLatin1Char('\t'));
    return ini::encodeValue(program);
}

// Whether a Count text begins with a number at all (blanks, a sign, then a digit or a point
// and a digit); without one the file holds no count of rules.
bool hasLeadingNumber(const QString& text) {
    qsizetype pos = 0;
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    while (pos < text.size() && blank(text[pos]))
        ++pos;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-'))
        ++pos;
    if (pos < text.size() && text[pos] == u'.')
        ++pos;
    return pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9';
}

} // namespace

std::optional<int> policyCount(const QString& countText) {
    const double count = roundHalfEven(leadingNumber(countText));
    if (!std::isfinite(count) || count < -32768 || count > MaxPolicyRules)
        return std::nullopt;
    return static_cast<int>(count);
}

PolicyRead readPolicy(const QString& path, const RuleWords& words) {
    PolicyRead read;
    // A regular file only, read once: a FIFO or a device put in its place never holds the
    // window, and what is checked is what is read.
    std::optional<QByteArray> bytes = readSmallRegularFile(path, MaxPolicyBytes, &read.detail);
    if (!bytes) {
        read.failure = PolicyRead::Failure::Unreadable;
        return read;
    }
    const ini::Reader file = ini::Reader::ofBytes(std::move(*bytes));
    const auto value = [&file](const char* stem, int n) {
        return file.read(Section, QLatin1String(stem) + QString::number(n));
    };
    const QString countText = file.read(Section, QStringLiteral("Count"));
    if (!hasLeadingNumber(countText)) {
        read.failure = PolicyRead::Failure::NotAPolicy;
        return read;
    }
    const std::optional<int> count = policyCount(countText);
    if (!count || *count < 0) {
        read.failure = PolicyRead::Failure::BadCount;
        read.detail = countText;
        return read;
    }
    read.rules.reserve(*count);
    for (int n = 1; n <= *count; ++n) {
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
        // Absent (every file before the choice) or unknown: TCP.
        const QString protocol = value("Proto_", n);
        rule.protocol = protocolCell(protocol == QLatin1String("UDP") ? RuleUdp
                                     : protocol == Any               ? RuleTcpUdp
                                                                     : RuleTcp);
        // Absent or empty: any program, as every file before the key means.
        rule.program = programOf(file, n);
        read.rules.append(rule);
    }
    return read;
}

QString policyReadFailure(const PolicyRead& read, const Localiser* language) {
    const auto text = [language](int key, const QString& english) {
        return language ? localisedOr(*language, key, english) : english;
    };
    switch (read.failure) {
    case PolicyRead::Failure::None:
        return {};
    case PolicyRead::Failure::Unreadable:
        return read.detail;
    case PolicyRead::Failure::NotAPolicy:
        return text(language::policyRead::NotAPolicy,
                    QStringLiteral("it is not a policy file: it has no [Rules] section with a "
                                   "Count of rules"));
    case PolicyRead::Failure::BadCount:
        return text(language::policyRead::BadCount,
                    QStringLiteral("its Count of rules, \"%1\", is not a number from 0 to 32767"))
            .arg(read.detail);
    }
    return {};
}

PolicyRead ReadPolicyFile(const QString& path, RuleTable& table) {
    PolicyRead read = readPolicy(path, table.words());
    if (!read.rules.isEmpty())
        table.setRules(table.rules() + std::exchange(read.rules, {}));
    return read;
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
        // Only a rule that covers more than TCP has the key, so that a file of TCP rules
        // reads the same in an older Tarvok and is written exactly as it always was.
        const std::uint8_t protocols = parseProtocolCell(rule.protocol);
        if (protocols != RuleTcp)
            line("Proto_", protocols == RuleUdp ? QStringLiteral("UDP") : Any);
        // Likewise only a rule that names a program has Program_n; an older Tarvok ignores it.
        if (!rule.program.isEmpty())
            text += "Program_" + n + '=' + storedProgram(rule.program) + "\r\n";
        text += "\r\n";
    }
    // The text is written as one line of output, which ends it with one more line end.
    text += "\r\n";
    return text;
}

} // namespace tarvok
