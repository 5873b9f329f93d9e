#include "policy/RuleListModel.h"

#include "engine/EngineServices.h"
#include "settings/LanguageFile.h"
#include "settings/LanguageKeys.h"

#include <QTimer>

#include <algorithm>

namespace tarvok {

RuleListModel::RuleListModel(RuleTable& table, const Localiser& language, QObject* parent)
    : QIdentityProxyModel(parent), m_table(table), m_language(language) {
    setSourceModel(&table);
    // Every change of a rule moves the generation; a hit count alone does not, and is let by.
    for (const auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(&table, signal, this, &RuleListModel::scheduleCheck);
    connect(&table, &QAbstractItemModel::rowsMoved, this, &RuleListModel::scheduleCheck);
    connect(&table, &QAbstractItemModel::modelReset, this, &RuleListModel::scheduleCheck);
    connect(&table, &QAbstractItemModel::dataChanged, this, &RuleListModel::scheduleCheck);
    connect(&table, &RuleTable::wordsChanged, this, &RuleListModel::scheduleCheck);
    checkNow();
}

void RuleListModel::scheduleCheck() {
    if (m_scheduled ||
        (m_checked && !m_filesChanged && m_checkedGeneration == m_table.generation()))
        return;
    m_scheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_scheduled = false;
        checkNow();
    });
}

void RuleListModel::recheck() {
    // The findings shown stay current until the new ones replace them.
    m_filesChanged = true;
    scheduleCheck();
}

void RuleListModel::checkNow() {
    if (m_checked && !m_filesChanged && m_checkedGeneration == m_table.generation())
        return;
    m_filesChanged = false;
    std::vector<RuleFinding> findings = findNeverMatching(m_table);
    std::vector<bool> udpOpen(findings.size());
    for (std::size_t row = 0; row < udpOpen.size(); ++row)
        udpOpen[row] = leavesUdpOpen(m_table, static_cast<int>(row));
    m_checked = true;
    m_checkedGeneration = m_table.generation();
    if (findings == m_findings && udpOpen == m_udpOpen)
        return;
    m_findings = std::move(findings);
    m_udpOpen = std::move(udpOpen);
    m_neverMatching = static_cast<int>(std::count_if(
        m_findings.begin(), m_findings.end(),
        [](const RuleFinding& finding) { return finding.kind != RuleFinding::Fine; }));
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1),
                         {WarningRole, Qt::ToolTipRole, Qt::AccessibleDescriptionRole});
    emit findingsChanged(m_neverMatching);
}

QString RuleListModel::findingText(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= m_findings.size() || row >= m_table.count())
        return {};
    const RuleFinding& finding = m_findings[static_cast<std::size_t>(row)];
    const Rule& rule = m_table.rule(row);
    switch (finding.kind) {
    case RuleFinding::ShadowedBy:
        return localisedOr(m_language, language::insight::ShadowedBy,
                           QStringLiteral("Never matches: rule #%1 above it covers every "
                                          "connection that this rule covers"))
            .arg(finding.by + 1);
    case RuleFinding::BadAddress:
        return localisedOr(m_language, language::insight::BadAddress,
                           QStringLiteral("Never matches: \"%1\" is not an address as "
                                          "connections show it (for example 192.0.2.7)"))
            .arg(rule.address);
    case RuleFinding::BadPort:
        return localisedOr(m_language, language::insight::BadPort,
                           QStringLiteral("Never matches: \"%1\" is not a port number "
                                          "(0 to 65535)"))
            .arg(rule.port);
    case RuleFinding::BadProgram:
        return localisedOr(m_language, language::insight::BadProgram,
                           QStringLiteral("Never matches: \"%1\" is not the full path of a "
                                          "program (for example /usr/bin/curl)"))
            .arg(rule.program);
    case RuleFinding::MissingProgram:
        return localisedOr(m_language, language::insight::MissingProgram,
                           QStringLiteral("Matches nothing now: there is no program file at "
                                          "\"%1\""))
            .arg(rule.program);
    case RuleFinding::Fine: break;
    }
    if (static_cast<std::size_t>(row) < m_udpOpen.size() && m_udpOpen[static_cast<std::size_t>(row)])
        return localisedOr(m_language, language::insight::TcpOnly,
                           QStringLiteral("This rule blocks TCP only; programs can still reach "
                                          "this address over UDP (for example HTTP/3)"));
    return {};
}

QVariant RuleListModel::data(const QModelIndex& index, int role) const {
    // Findings are read only while they belong to the table as it is; a change waiting for
    // its check shows no stale warning on a row that moved.
    const bool current = m_checked && m_checkedGeneration == m_table.generation();
    switch (role) {
    case WarningRole:
        return current && !findingText(index.row()).isEmpty();
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole:
        if (current)
            if (QString text = findingText(index.row()); !text.isEmpty())
                return text;
        break;
    default: break;
    }
    return QIdentityProxyModel::data(index, role);
}

} // namespace tarvok
