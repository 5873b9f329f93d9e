#pragma once
// The rows of one connection list (ListConnections or ListConnPROC): eight text columns, a
// row tag and an icon key per row. A rebuild hands over the new rows in one piece and the
// model changes only what differs, with inserts, removals and dataChanged rather than a reset,
// so that a view keeps its scroll position and nothing flickers.

#include "engine/ProgramIdentity.h"
#include "platform/TableRows.h"

#include <QAbstractTableModel>
#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <vector>

namespace tarvok {

struct ListRow {
    std::array<QString, 8> cells; // the row text (column 0) and columns 1 to 7
    int tag = 0;                  // position of the row's entry in the table read it came from
    QString icon;                 // key for the IconSource; empty for no icon
    // The TCP entry of a TCP row, or the endpoints of a connected UDP socket (udp): what the
    // rules decide. An unconnected UDP socket has none.
    std::optional<platform::TcpRow> connection{};
    bool udp = false;
    // The executable of the process behind the row, when the list knows it: the rules that
    // name a program decide the row by it.
    std::optional<ProgramIdentity> program{};

    bool operator==(const ListRow&) const = default;
};

// Supplies the picture of an icon key (a program path, or one of the keys below). Lives in the
// GUI; the model only passes its answer on.
class IconSource {
public:
    static constexpr const char* Established = ":established";
    static constexpr const char* Listening = ":listening";
    static constexpr const char* Udp = ":udp";
    static constexpr const char* UnknownProgram = ":unknown";

    virtual ~IconSource() = default;
    virtual QVariant icon(const QString& key) = 0;
};

class ConnectionListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int ColumnCount = 8;
    static constexpr int TagRole = Qt::UserRole + 1;

    explicit ConnectionListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    void setIconSource(IconSource* icons) { m_icons = icons; }

    // What decides a connection now ("#3 accept", a level's word, or empty for a row that
    // the firewall passes over). Once set, the list has a last column that shows it for each
    // row that holds a connection (udp for a connected UDP socket; owner the row's program,
    // or nullptr); it is asked only for the rows a view shows.
    using RuleColumn =
        std::function<QString(const platform::TcpRow&, bool udp, const ProgramIdentity* owner)>;
    void setRuleColumn(RuleColumn column);
    // The texts of the rule column may have changed: the policy or the level did.
    void rulesChanged();

    // Replaces the rows: the unchanged rows at the head and the tail stay as they are, the
    // middle is rewritten in place, and only the difference in length is inserted or removed.
    void update(std::vector<ListRow> rows);

    const std::vector<ListRow>& rows() const { return m_rows; }
    const ListRow& row(int index) const { return m_rows.at(static_cast<std::size_t>(index)); }
    QString cell(int row, int column) const;

private:
    std::vector<ListRow> m_rows;
    IconSource* m_icons = nullptr;
    RuleColumn m_ruleColumn;
};

} // namespace tarvok
