#pragma once
// What the Policy list shows of the rule table: its rows and columns as they are, with each
// rule that can never decide a connection marked by a warning picture and a tooltip that
// names the rule above that covers it, or what is wrong with its cell. The check runs once
// the table has settled after a change (a policy opened, an edit, a move), so that a burst of
// changes costs one check.

#include "engine/RuleCheck.h"

#include <QIdentityProxyModel>

namespace tarvok {

class Localiser;

class RuleListModel : public QIdentityProxyModel {
    Q_OBJECT
public:
    // True on every cell of a rule that can never match.
    static constexpr int WarningRole = Qt::UserRole + 2;

    RuleListModel(RuleTable& table, const Localiser& language, QObject* parent = nullptr);

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // The findings of the last check, one per row, and how many rules can never match.
    const std::vector<RuleFinding>& findings() const { return m_findings; }
    int neverMatchingCount() const { return m_neverMatching; }
    // Why the rule at row can never match, in the user's language; empty when it can.
    QString findingText(int row) const;
    // Checks at once when the table changed since the last check.
    void checkNow();
    // Checks again soon though the table is unchanged: a program file a rule names appeared,
    // went or was replaced.
    void recheck();

signals:
    void findingsChanged(int neverMatching);

private:
    void scheduleCheck();

    RuleTable& m_table;
    const Localiser& m_language;
    std::vector<RuleFinding> m_findings;
    std::vector<bool> m_udpOpen; // rows that leavesUdpOpen() warns on
    int m_neverMatching = 0;
    quint64 m_checkedGeneration = 0;
    bool m_checked = false;
    bool m_filesChanged = false; // a program file changed since the last check
    bool m_scheduled = false;
};

} // namespace tarvok
