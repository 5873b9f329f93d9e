#include "shell/RuleInsight.h"

#include "engine/EnforcementEngine.h"
#include "engine/SecurityLevels.h"
#include "monitor/ActivityTab.h"
#include "policy/RuleListModel.h"
#include "settings/LanguageFile.h"
#include "settings/LanguageKeys.h"
#include "shell/MainWindow.h"

#include <QTabWidget>
#include <QTreeView>

namespace tarvok {

RuleInsight::RuleInsight(const Parts& parts) : QObject(&parts.window), m_parts(parts) {
    m_parts.activity.setRuleColumn(
        [this](const platform::TcpRow& row, bool udp, const ProgramIdentity* owner) {
            return decisionText(row, udp, owner);
        });
    m_parts.activity.decidingRule = [this](const platform::TcpRow& row, bool udp,
                                           const ProgramIdentity* owner) {
        if (m_parts.levels.paused())
            return -1;
        const EnforcementEngine::Decision decision = m_parts.engine.decide(row, udp, owner);
        return decision.kind == EnforcementEngine::Decision::Rule ? decision.row : -1;
    };
    m_parts.activity.showRule = [this](int rule) { showRule(rule); };

    // The rule column follows every change of the policy and of the level; a hit count
    // changes no decision.
    ActivityTab* activity = &m_parts.activity;
    const auto decisionsChanged = [activity] { activity->rulesChanged(); };
    RuleTable* rules = &m_parts.rules;
    connect(rules, &QAbstractItemModel::rowsInserted, this, decisionsChanged);
    connect(rules, &QAbstractItemModel::rowsRemoved, this, decisionsChanged);
    connect(rules, &QAbstractItemModel::rowsMoved, this, decisionsChanged);
    connect(rules, &QAbstractItemModel::modelReset, this, decisionsChanged);
    connect(rules, &RuleTable::wordsChanged, this, decisionsChanged);
    connect(rules, &QAbstractItemModel::dataChanged, this,
            [activity](const QModelIndex& topLeft) {
                if (topLeft.column() != RuleTable::HitsColumn)
                    activity->rulesChanged();
            });
    connect(&m_parts.levels, &SecurityLevels::changed, this, decisionsChanged);
    connect(&m_parts.ruleList, &RuleListModel::findingsChanged, this,
            &RuleInsight::panelToolTipLineChanged);
}

QString RuleInsight::decisionText(const platform::TcpRow& row, bool udp,
                                  const ProgramIdentity* owner) const {
    if (m_parts.levels.paused())
        return {}; // nothing decides while no pass runs
    const EnforcementEngine::Decision decision = m_parts.engine.decide(row, udp, owner);
    switch (decision.kind) {
    case EnforcementEngine::Decision::Rule: {
        const RuleWords& words = m_parts.rules.words();
        return QStringLiteral("#%1 %2").arg(decision.row + 1).arg(
            m_parts.rules.isAccept(decision.row) ? words.accept : words.block);
    }
    case EnforcementEngine::Decision::Level: return m_parts.levels.levelWord();
    case EnforcementEngine::Decision::Nothing: break;
    }
    return {};
}

void RuleInsight::showRule(int rule) {
    QTreeView* list = m_parts.window.list(QStringLiteral("ListRules"));
    if (!list || rule < 0 || rule >= m_parts.rules.count())
        return;
    m_parts.window.tabStrip()->setCurrentIndex(MainWindow::PolicyPage);
    const QModelIndex index = list->model()->index(rule, 0);
    list->setCurrentIndex(index);
    list->scrollTo(index);
    list->setFocus(Qt::OtherFocusReason);
}

QString RuleInsight::panelToolTipLine() const {
    const int count = m_parts.ruleList.neverMatchingCount();
    if (count == 0)
        return {};
    return localisedOr(m_parts.language, language::insight::NeverMatching,
                       QStringLiteral("Rules that can never match: %1 (marked on the Policy tab)"))
        .arg(count);
}

} // namespace tarvok
