#include "policy/RuleEditor.h"

#include "engine/RuleIndex.h"
#include "policy/ProgramChoice.h"

#include <QByteArray>

#include <arpa/inet.h>

#include <cstring>

namespace tarvok {

QString canonicalAddress(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    if (QString::fromLatin1(bytes) != text || bytes.isEmpty())
        return {};
    // inet_pton reads only plain dotted quads for IPv4 and every written form of IPv6;
    // inet_ntop writes the one form a connection's address is shown in.
    char written[INET6_ADDRSTRLEN] = {};
    in_addr v4{};
    if (::inet_pton(AF_INET, bytes.constData(), &v4) != 1) {
        in6_addr v6{};
        if (::inet_pton(AF_INET6, bytes.constData(), &v6) != 1)
            return {};
        if (!IN6_IS_ADDR_V4MAPPED(&v6))
            return ::inet_ntop(AF_INET6, &v6, written, sizeof written) ? QString::fromLatin1(written)
                                                                       : QString();
        std::memcpy(&v4, &v6.s6_addr[12], sizeof v4);
    }
    return ::inet_ntop(AF_INET, &v4, written, sizeof written) ? QString::fromLatin1(written)
                                                              : QString();
}

namespace {

// A rule's address as a connection would show it; texts that are no address stay as written.
QString shownAddress(const QString& text) {
    const QString canonical = canonicalAddress(text);
    return canonical.isEmpty() ? text : canonical;
}

} // namespace

bool isPortNumber(const QString& text) {
    if (text.isEmpty())
        return false;
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c.unicode() - u'0');
        if (value > 65535)
            return false;
    }
    return true;
}

EditorCheck checkFields(const EditorFields& fields, const RuleWords& words) {
    if ((fields.specificPort && fields.port.isEmpty()) ||
        (fields.specificAddress && fields.address.isEmpty()))
        return EditorCheck::Empty;
    if (fields.address != words.anyAddress && canonicalAddress(fields.address).isEmpty())
        return EditorCheck::BadAddress;
    if (fields.port != words.anyPort && !isPortNumber(fields.port))
        return EditorCheck::BadPort;
    return static_cast<EditorCheck>(checkProgramPath(fields.program));
}

int duplicateRow(const RuleTable& table, const QString& address, const QString& port,
                 const QString& program) {
    const QString wanted = shownAddress(address);
    for (int row = 0; row < table.count(); ++row) {
        const Rule& rule = table.rule(row);
        if (rule.port == port && rule.program == program && shownAddress(rule.address) == wanted)
            return row;
    }
    return -1;
}

EditorFields blankFields(const RuleWords& words, const QString& description) {
    EditorFields fields;
    fields.address = words.anyAddress;
    fields.port = words.anyPort;
    fields.description = description;
    return fields;
}

EditorFields fieldsOfRule(const Rule& rule, const RuleWords& words) {
    EditorFields fields;
    fields.accept = rule.action == words.accept;
    fields.enabled = rule.enabled != words.disabled;
    fields.specificAddress = rule.address != words.anyAddress;
    fields.address = rule.address;
    fields.specificPort = rule.port != words.anyPort;
    fields.port = rule.port;
    fields.logged = rule.log != words.noLog;
    fields.description = rule.description;
    fields.protocol = rule.protocol;
    fields.program = rule.program;
    return fields;
}

Rule ruleOfFields(const EditorFields& fields, const RuleWords& words, const Rule& base) {
    Rule rule = base;
    rule.action = fields.accept ? words.accept : words.block;
    rule.icon = fields.accept ? 1 : 2;
    rule.enabled = fields.enabled ? QString() : words.disabled;
    rule.address = fields.address == words.anyAddress ? fields.address : shownAddress(fields.address);
    rule.port = fields.port;
    rule.log = fields.logged ? QString() : words.noLog;
    rule.description = fields.description;
    rule.protocol = protocolCell(parseProtocolCell(fields.protocol));
    rule.program = fields.program;
    return rule;
}

} // namespace tarvok
