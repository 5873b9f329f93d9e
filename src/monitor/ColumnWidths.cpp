#include "monitor/ColumnWidths.h"

#include "engine/ConnectionTables.h"
#include "engine/EngineServices.h"
#include "monitor/ConnectionActions.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QHeaderView>
#include <QSet>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTreeView>

#include <algorithm>

namespace tarvok {

void HeaderLabels::setLabels(const QStringList& labels) {
    m_labels = labels;
    m_shown.clear();
    if (columnCount() > 0)
        emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
}

void HeaderLabels::setShown(const QStringList& shown) {
    if (shown == m_shown)
        return;
    m_shown = shown;
    if (columnCount() > 0)
        emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
}

QVariant HeaderLabels::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= m_labels.size() ||
        (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return QIdentityProxyModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole && section < m_shown.size())
        return m_shown.at(section);
    return m_labels.at(section);
}

ListHeader::ListHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    // As a tree view's own header.
    setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

QFont ListHeader::measuringFont() const {
    QFont measured = font();
    measured.setBold(highlightSections());
    return measured;
}

QSize ListHeader::sectionSizeFromContents(int logicalIndex) const {
    QSize size = QHeaderView::sectionSizeFromContents(logicalIndex);
    if (highlightSections() || !model())
        return size;
    const QString text = model()->headerData(logicalIndex, orientation()).toString();
    QFont bold = font();
    bold.setBold(true);
    size.rwidth() -= QFontMetrics(bold).size(0, text).width() - fontMetrics().size(0, text).width();
    return size;
}

namespace {

bool ideograph(QChar c) {
    const QChar::Script script = c.script();
    return script == QChar::Script_Han || script == QChar::Script_Hiragana ||
           script == QChar::Script_Katakana || script == QChar::Script_Hangul;
}

// The width a cell needs to show text whole, as the view's delegate measures it.
int cellWidth(const QTreeView* view, const QString& text, bool picture) {
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.font = view->font();
    option.features = QStyleOptionViewItem::HasDisplay;
    option.text = text;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    option.textElideMode = view->textElideMode();
    if (picture) {
        const int small = view->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, view);
        option.features |= QStyleOptionViewItem::HasDecoration;
        option.decorationSize = view->iconSize().isValid() ? view->iconSize() : QSize(small, small);
        option.decorationPosition = QStyleOptionViewItem::Left;
    }
    return view->style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), view).width();
}

// The cell width of the widest of texts; the font picks it, the style measures that one.
int widestCell(const QTreeView* view, const QStringList& texts, bool picture) {
    const QFontMetrics metrics = view->fontMetrics();
    const QString* widestText = nullptr;
    int widestAdvance = -1;
    for (const QString& text : texts) {
        const int advance = metrics.horizontalAdvance(text);
        if (advance > widestAdvance) {
            widestAdvance = advance;
            widestText = &text;
        }
    }
    return widestText ? cellWidth(view, *widestText, picture) : 0;
}

// The distinct texts of a column in the first rows (as a view sizes to contents, a thousand).
QStringList rowTexts(const QAbstractItemModel* model, int column) {
    QSet<QString> seen;
    const int rows = qMin(model->rowCount(), 1000);
    for (int row = 0; row < rows; ++row)
        seen.insert(model->index(row, column).data().toString());
    return QStringList(seen.cbegin(), seen.cend());
}

} // namespace

QString twoLines(const QString& text, const QFontMetrics& metrics) {
    int best = -1, bestWidth = metrics.horizontalAdvance(text);
    for (int at = 1; at < text.size(); ++at) {
        const bool space = text.at(at) == QLatin1Char(' ');
        if (!space && !(ideograph(text.at(at - 1)) && ideograph(text.at(at))))
            continue;
        const int width = qMax(metrics.horizontalAdvance(text.left(at)),
                               metrics.horizontalAdvance(text.mid(space ? at + 1 : at)));
        if (width < bestWidth) {
            best = at;
            bestWidth = width;
        }
    }
    if (best < 0)
        return text;
    const bool space = text.at(best) == QLatin1Char(' ');
    return text.left(best) + QLatin1Char('\n') + text.mid(space ? best + 1 : best);
}

void fitColumns(QTreeView* view, int shareWidth, int room, const std::vector<ColumnFit>& columns) {
    QHeaderView* header = view->header();
    const int count = qMin(header->count(), static_cast<int>(columns.size()));
    if (count == 0)
        return;
    auto* labels = qobject_cast<HeaderLabels*>(view->model());
    // The font the header measures its sections in: Qt's own measures in bold.
    QFont measured = header->font();
    if (const auto* own = qobject_cast<const ListHeader*>(header))
        measured = own->measuringFont();
    else
        measured.setBold(true);
    const QFontMetrics headerFont(measured);
    const int freeFloor = cellWidth(view, QStringLiteral("xxxx\u2026"), false);

    // Per column: the width wanted; the whole header on one and on two lines; the widest known
    // text, and what the column keeps when that gives way (free text: a few letters).
    struct Fit {
        int width, oneLine, twoLines, known, least;
    };
    std::vector<Fit> fits(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const ColumnFit& column = columns[static_cast<std::size_t>(i)];
        Fit& fit = fits[static_cast<std::size_t>(i)];
        const int share = qRound(column.share * shareWidth);
        const QString shown = view->model()->headerData(i, Qt::Horizontal).toString();
        const QString label = labels && i < labels->labels().size() ? labels->labels().at(i) : shown;
        // What the header needs besides its text: margins, a sort indicator.
        const int padding = header->sectionSizeHint(i) - headerFont.size(0, shown).width();
        fit.oneLine = padding + headerFont.size(0, label).width();
        fit.twoLines = qMin(fit.oneLine, padding + headerFont.size(0, twoLines(label, headerFont)).width());
        fit.known = column.widest.isEmpty() ? 0 : widestCell(view, column.widest, column.picture);
        if (column.fitRows)
            fit.known = qMax(fit.known, qMin(2 * share, widestCell(view, rowTexts(view->model(), i),
                                                                   column.picture)));
        const bool free = column.widest.isEmpty() && !column.fitRows;
        fit.least = free || column.yields ? qMin(freeFloor, share) : fit.known;
        fit.known = qMax(fit.known, fit.least);
        if (column.share <= 0) {
            // It keeps its width, but starts at and grows to what its header and texts need.
            const int need = qMax(fit.oneLine, fit.known);
            const int kept = header->sectionSize(i) == header->defaultSectionSize()
                                 ? need
                                 : qMax(need, header->sectionSize(i));
            fit = {kept, kept, kept, kept, kept};
            continue;
        }
        fit.width = std::max({share, fit.known, fit.oneLine});
    }

    // What the columns take beyond room comes off those wider than a floor, in proportion to
    // what each has above it; each floor is lower than the one before.
    const auto giveWay = [&fits, room](auto floorOf) {
        int total = 0, spare = 0;
        for (const Fit& fit : fits) {
            total += fit.width;
            spare += qMax(0, fit.width - floorOf(fit));
        }
        const int excess = qMin(total - room, spare);
        if (excess <= 0)
            return;
        for (Fit& fit : fits) {
            const int above = qMax(0, fit.width - floorOf(fit));
            fit.width -= qMin(above, (above * excess + spare - 1) / spare);
        }
    };
    giveWay([](const Fit& fit) { return qMax(fit.known, fit.oneLine); });
    giveWay([](const Fit& fit) { return qMax(fit.known, fit.twoLines); });
    giveWay([](const Fit& fit) { return qMax(fit.least, fit.twoLines); });

    QStringList shown = labels ? labels->labels() : QStringList();
    for (int i = 0; i < count; ++i) {
        const Fit& fit = fits[static_cast<std::size_t>(i)];
        header->resizeSection(i, fit.width);
        if (i < shown.size() && fit.width < fit.oneLine && fit.twoLines < fit.oneLine)
            shown[i] = twoLines(shown.at(i), headerFont);
    }
    if (labels)
        labels->setShown(shown);
}

namespace widest {

namespace {
// pattern with every '9' replaced by each digit in turn.
QStringList digits(const char* pattern) {
    QStringList texts;
    for (char digit = '0'; digit <= '9'; ++digit)
        texts.append(QString::fromLatin1(pattern).replace(QLatin1Char('9'), QLatin1Char(digit)));
    return texts;
}
} // namespace

QStringList protocols() { return {QStringLiteral("TCP"), QStringLiteral("UDP")}; }

QStringList addresses() { return digits("999.999.999.999") << QStringLiteral("localhost"); }

QStringList ports() { return digits("99999"); }

QStringList moments(const std::function<QString(const QDateTime&)>& format) {
    QStringList texts;
    for (int month = 1; month <= 12; ++month)
        for (int day = 22; day <= 28; ++day)
            for (const QTime time : {QTime(10, 58, 58), QTime(22, 58, 58)})
                texts.append(format(QDateTime(QDate(2028, month, day), time)));
    texts.removeDuplicates();
    return texts;
}

QStringList states() {
    // Classic rows: 1 to 11 (a live table holds no 12); owner rows: 0 to 12; UDP rows.
    QStringList names;
    for (std::uint32_t state = 1; state <= 11; ++state)
        names.append(classicStateName(state));
    for (std::uint32_t state = 0; state <= 12; ++state)
        names.append(ownerStateName(state));
    names.append(QStringLiteral("Unknown"));
    names.removeDuplicates();
    return names;
}

QStringList recordStatuses(const Localiser* language) {
    QStringList statuses = states();
    statuses.append(classicStateName(platform::StateDeleteTcb)); // "BLOCKED CONNECTION"
    if (language) {
        for (int key : {ConnectionActions::KeyUnableClose, ConnectionActions::KeyClosed})
            statuses.append(language->text(QStringLiteral("Main"), key));
    } else {
        statuses << QStringLiteral("Unable to close connection") << QStringLiteral("CLOSED BY USER");
    }
    return statuses;
}

} // namespace widest

} // namespace tarvok
