#pragma once
// Typed column sort: rows ordered by a key made from one column's text, so that numbers and
// dates sort by value although the list compares text. The number key is fixed-width digits
// (negative values after "&", their digits complemented, so larger magnitudes come first); the
// date key is "YYYYMMDDhhmmss". A text that is no number or date gets the empty key and sorts
// first, its row keeping its text.

#include <QLocale>
#include <QString>

#include <functional>
#include <vector>

namespace tarvok {

enum class SortKind { Text = 0, Number = 1, Date = 2 };

// Key of a number text: ten integer digits, a point, twenty decimals; empty when the text is
// not a number.
QString numberSortKey(const QString& text);
// Key of an event time "time - date" (or a date alone) in the locale's short formats, or in
// the ISO forms; empty when it reads as no date.
QString dateSortKey(const QString& text, const QLocale& locale = QLocale::system());
QString sortKey(const QString& text, SortKind kind, const QLocale& locale = QLocale::system());

// The row order that sorts rowCount rows by the keys of textOf(row): a stable sort, so rows
// of equal keys keep their order; descending reverses the comparison, not the ties.
std::vector<int> SortColumn(int rowCount, const std::function<QString(int)>& textOf,
                            SortKind kind, bool ascending,
                            const QLocale& locale = QLocale::system());

} // namespace tarvok
