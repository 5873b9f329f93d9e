#pragma once
// Column widths of the program's lists. Each column takes its share of the list's width, but a
// column of short, known texts (states, ports, times, dates) never less than the widest text it
// can hold, so that none of them is cut; free text (paths, services, descriptions) gives way
// first and is elided, whole in its tooltip. A header too wide for its column is written on
// two lines before it is cut.

#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QStringList>

#include <functional>
#include <vector>

class QDateTime;
class QFontMetrics;
class QTreeView;

namespace tarvok {

class Localiser;

struct ColumnFit {
    double share = 0;     // part of the list's width; 0: the column keeps the width it has
    QStringList widest;   // the widest texts the column can hold; empty for free text
    bool yields = false;  // its widest texts give way before the headers are cut (addresses)
    bool fitRows = false; // also as wide as the texts its rows hold now, up to twice its share
    bool picture = false; // its cells draw a picture before the text
};

// Gives a list its column headers, whatever model it shows; the tooltip holds each header
// whole. fitColumns() sets how each header is shown: on one line or on two.
class HeaderLabels : public QIdentityProxyModel {
    Q_OBJECT
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    void setLabels(const QStringList& labels);
    const QStringList& labels() const { return m_labels; }
    void setShown(const QStringList& shown);

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QStringList m_labels;
    QStringList m_shown;
};

// A list's header that measures its texts as it draws them. Qt keeps room for a section
// drawn in bold, as a highlighted one is; where no section is highlighted that room is lost.
class ListHeader : public QHeaderView {
    Q_OBJECT
public:
    explicit ListHeader(QWidget* parent);
    // The font the section sizes are measured in.
    QFont measuringFont() const;

protected:
    QSize sectionSizeFromContents(int logicalIndex) const override;
};

// text on two lines, broken where the longer line is shortest: at a space, or between two
// ideographs; text itself when it cannot be broken.
QString twoLines(const QString& text, const QFontMetrics& metrics);

// Sizes the first columns.size() columns of view: each its share of shareWidth, together
// within room as far as the floors allow. Wider columns give way, floor by floor: down to
// the whole header and the widest known text; to the header on two lines; then free text and
// a yielding column's texts down to a few letters. Headers and the other known texts are
// never cut: beyond that the list scrolls. A column that keeps its width starts at the width
// its header and texts need. A HeaderLabels model shows its headers on two lines where their
// columns are narrower than one.
void fitColumns(QTreeView* view, int shareWidth, int room, const std::vector<ColumnFit>& columns);

// The widest texts of each kind a column holds.
namespace widest {
QStringList protocols();
// IPv4 addresses (IPv6 text is free text) and the listeners' "localhost".
QStringList addresses();
QStringList ports();
// Every state name the connection lists show.
QStringList states();
// An event record's statuses: the states, a cut or refusal, and a failed or manual close in
// the language (the built-in English texts without one).
QStringList recordStatuses(const Localiser* language);
// A moment of every month and weekday, morning and evening, as format writes it.
QStringList moments(const std::function<QString(const QDateTime&)>& format);
} // namespace widest

} // namespace tarvok
