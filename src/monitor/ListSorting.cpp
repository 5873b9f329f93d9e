#include "monitor/ListSorting.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <cmath>

namespace tarvok {

void SortListView(ListSortState& state, int column) {
    state.sorted = true;
    state.key = column - 1;
    state.order = state.order == 0 ? 1 : 0;
}

void SortListViewAuto(ListSortState& state, int column) {
    state.sorted = true;
    state.key = column - 1;
}

int compareListText(const QString& a, const QString& b) {
    const int folded = QString::compare(a.toCaseFolded(), b.toCaseFolded());
    return folded != 0 ? folded : a.compare(b, Qt::CaseSensitive);
}

namespace {

// |value| with ten integer digits and twenty decimals, zero-padded.
QString fixedDigits(double magnitude) {
    QString text = QString::number(magnitude, 'f', 20);
    const qsizetype point = text.indexOf(QLatin1Char('.'));
    const qsizetype integerDigits = point < 0 ? text.size() : point;
    if (integerDigits < 10)
        text.prepend(QString(10 - integerDigits, QLatin1Char('0')));
    return text;
}

QDateTime parseDate(const QString& text) {
    const QLocale locale = QLocale::system();
    for (const QLocale::FormatType format : {QLocale::ShortFormat, QLocale::LongFormat}) {
        QDateTime value = locale.toDateTime(text, format);
        if (value.isValid())
            return value;
        const QDate date = locale.toDate(text, format);
        if (date.isValid())
            return date.startOfDay();
    }
    QDateTime value = QDateTime::fromString(text, Qt::ISODate);
    return value;
}

} // namespace

QString sortKey(const QString& text, SortKind kind) {
    switch (kind) {
    case SortKind::Text:
        return text;
    case SortKind::Number: {
        bool ok = false;
        const double value = text.trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(value))
            return QString();
        if (value >= 0)
            return fixedDigits(value);
        QString digits = fixedDigits(-value);
        for (QChar& c : digits) {
            if (c.isDigit())
                c = QChar(u'0' + (9 - c.digitValue()));
            else if (c == QLatin1Char('-'))
                c = QLatin1Char(' ');
        }
        return QLatin1Char('&') + digits;
    }
    case SortKind::Date: {
        const QDateTime value = parseDate(text);
        return value.isValid() ? value.toString(QStringLiteral("yyyyMMddHHmmss")) : QString();
    }
    }
    return text;
}

void SortColumn(std::vector<QStringList>& rows, int column, SortKind kind, bool ascending) {
    const int index = column - 1;
    const bool keyed = kind != SortKind::Text && column == 1;
    std::vector<std::pair<QString, std::size_t>> keys;
    keys.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const QString cell = index >= 0 && index < rows[i].size() ? rows[i][index] : QString();
        keys.emplace_back(keyed ? sortKey(cell, kind) : cell, i);
    }
    std::stable_sort(keys.begin(), keys.end(), [ascending](const auto& a, const auto& b) {
        const int order = compareListText(a.first, b.first);
        return ascending ? order < 0 : order > 0;
    });
    std::vector<QStringList> sorted;
    sorted.reserve(rows.size());
    for (const auto& key : keys)
        sorted.push_back(std::move(rows[key.second]));
    rows = std::move(sorted);
}

} // namespace tarvok
