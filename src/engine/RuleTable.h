#pragma once
// The policy: an ordered list of rules, held as the texts the Policy list shows. There is no
// other rule structure; the enforcement pass, the policy file and the editors all use this.

#include <QAbstractTableModel>
#include <QList>
#include <QString>

namespace tarvok {

// The localised words that rule cells are compared with. They start with the built-in
// English wording and are replaced by the language file's words when it is applied.
struct RuleWords {
    QString accept = QStringLiteral("accept");            // Add 17
    QString block = QStringLiteral("block");              // Add 18
    QString enabled = QStringLiteral("true");             // Add 14
    QString disabled = QStringLiteral("false");           // Add 15
    QString anyAddress = QStringLiteral("any address");   // Add 5
    QString anyPort = QStringLiteral("any port");         // Add 8
    QString noLog = QStringLiteral("disabled");           // Add 12
    QString noDescription = QStringLiteral("none");       // Add 34

    bool operator==(const RuleWords&) const = default;
};

// One row of the rule table; every cell is text.
struct Rule {
    QString action;      // the accept word, or anything else for block
    QString number;      // rule number as written when the row was made
    QString enabled;     // empty when enabled, the disabled word when disabled
    QString address;     // dotted remote address, or the any-address word
    QString port;        // remote port in decimal, or the any-port word
    QString log;         // empty when logged, the no-log word when not
    QString description; // free text
    QString protocol = QStringLiteral("TCP");
    QString program{};   // absolute path of the executable the rule names; empty for any program
    int icon = 0;        // small icon: 1 accept, 2 block, 0 none

    bool operator==(const Rule&) const = default;
};

class RuleTable : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        Action,
        Number,
        Enabled,
        Address,
        Port,
        Log,
        Description,
        Protocol,
        Program, // the program path as stored: empty for any program (see parseProgramCell)
        ColumnCount
    };
    // A column of the list only, after the rule's own cells: how many connections the rule
    // decided since start. No rule cell, file or editor holds it.
    static constexpr int HitsColumn = ColumnCount;
    // The Program column shows a rule that names no program with this text (its display role
    // only: the cell, the edit role and the file keep the empty text).
    static inline const QString AnyProgramEnglish = QStringLiteral("Any program");
    // Role under which data() gives a row's small icon number (1 accept, 2 block).
    static constexpr int IconRole = Qt::UserRole + 1;

    explicit RuleTable(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool removeRows(int row, int count, const QModelIndex& parent = {}) override;

    int count() const { return static_cast<int>(m_rules.size()); }
    // Row by 0-based index; the rule's position in notices and records is row + 1.
    const Rule& rule(int row) const { return m_rules.at(row); }
    const QList<Rule>& rules() const { return m_rules; }
    QString cell(int row, Column column) const;

    void setCell(int row, Column column, const QString& text);
    void setRule(int row, const Rule& rule);
    // The row's small icon only; matching does not use it, so the generation stays.
    void setIcon(int row, int icon);
    void insertRule(int row, const Rule& rule);
    void appendRule(const Rule& rule) { insertRule(count(), rule); }
    void removeRule(int row);
    void moveRule(int from, int to);
    void setRules(QList<Rule> rules);
    void clear() { setRules({}); }

    // Hit counts. A count follows its rule through moves and edits; a new or opened rule
    // starts at zero. addHit changes no generation (matching does not use the counts) and
    // tells no view: publishHits does that once for every count changed since the last call.
    qint64 hits(int row) const { return m_hits.at(row); }
    void addHit(int row);
    void publishHits();

    const RuleWords& words() const { return m_words; }
    void setWords(const RuleWords& words);
    // What the Program column shows for a rule that names no program, in the user's language.
    // Display only: no rule's meaning changes, so the generation stays.
    const QString& anyProgramText() const { return m_anyProgramText; }
    void setAnyProgramText(const QString& text);

    // Grows by one on every change of a cell, a row or a word, so that a reader can tell
    // cheaply whether anything it derived from the table is out of date.
    quint64 generation() const { return m_generation; }

    // The rule tests, each comparing a cell with the word in use.
    bool isAccept(int row) const { return m_rules.at(row).action == m_words.accept; }
    bool isEnabled(int row) const { return m_rules.at(row).enabled != m_words.disabled; }
    bool isLogged(int row) const { return m_rules.at(row).log != m_words.noLog; }

signals:
    void wordsChanged();

private:
    static QString& cellRef(Rule& rule, Column column);
    void touch() { ++m_generation; }

    QList<Rule> m_rules;
    QList<qint64> m_hits; // one per rule, in the same order
    int m_firstUnpublished = -1;
    int m_lastUnpublished = -1;
    RuleWords m_words;
    QString m_anyProgramText = AnyProgramEnglish;
    quint64 m_generation = 0;
};

} // namespace tarvok
