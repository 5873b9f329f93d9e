#pragma once
// What the rules do, where the user looks for it: the connection lists' column of the rule that
// decides each connection now, their "Show the rule" command, which opens the Policy tab on
// that rule, and the line of panel 1's tooltip that counts the rules that can never match.

#include <QObject>
#include <QString>

#include "engine/ProgramIdentity.h"
#include "platform/TableRows.h"

namespace tarvok {

class ActivityTab;
class EnforcementEngine;
class Localiser;
class MainWindow;
class RuleListModel;
class RuleTable;
class SecurityLevels;

class RuleInsight : public QObject {
    Q_OBJECT
public:
    struct Parts {
        EnforcementEngine& engine;
        SecurityLevels& levels;
        RuleTable& rules;
        RuleListModel& ruleList;
        ActivityTab& activity;
        MainWindow& window;
        const Localiser& language;
    };
    // Wires the parts together; window becomes the parent.
    explicit RuleInsight(const Parts& parts);

    // The rule column's text for a connection (udp: a connected UDP socket; owner: its
    // program, when known): "#3 accept", a level's word, or empty.
    QString decisionText(const platform::TcpRow& row, bool udp = false,
                         const ProgramIdentity* owner = nullptr) const;
    // Selects the rule (0-based) on the Policy tab and shows the tab.
    void showRule(int rule);
    // Panel 1's tooltip line on rules that can never match; empty when there are none.
    QString panelToolTipLine() const;

signals:
    void panelToolTipLineChanged();

private:
    Parts m_parts;
};

} // namespace tarvok
