#include "records/LogSort.h"

#include <QDateTime>
#include <QHash>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>

namespace tarvok {

namespace {

// Reads dates and times in the locale's formats. Parsing by format is slow and a log repeats
// its days and minutes, so each distinct text is read once.
class DateKeys {
public:
    explicit DateKeys(const QLocale& locale)
        : m_locale(locale),
          m_dateFormats{locale.dateFormat(QLocale::ShortFormat),
                        locale.dateFormat(QLocale::LongFormat), QStringLiteral("yyyy-MM-dd")},
          m_timeFormats{locale.timeFormat(QLocale::ShortFormat),
                        locale.timeFormat(QLocale::LongFormat), QStringLiteral("HH:mm:ss"),
                        QStringLiteral("HH:mm")} {}

    QString key(const QString& text) {
        const QString trimmed = text.trimmed();
        const qsizetype dash = trimmed.indexOf(QLatin1String(" - "));
        const QDate date = dateOf(dash >= 0 ? trimmed.mid(dash + 3).trimmed() : trimmed);
        if (!date.isValid())
            return {};
        const QTime time = dash >= 0 ? timeOf(trimmed.left(dash).trimmed()) : QTime(0, 0);
        return QDateTime(date, time.isValid() ? time : QTime(0, 0))
            .toString(QStringLiteral("yyyyMMddHHmmss"));
    }

private:
    QDate dateOf(const QString& text) {
        if (auto it = m_dates.constFind(text); it != m_dates.cend())
            return *it;
        QDate date;
        for (const QString& format : m_dateFormats) {
            date = m_locale.toDate(text, format);
            if (date.isValid())
                break;
        }
        // A two-digit year reads as 19xx; a log holds this century's days.
        if (date.isValid() && date.year() < 1970)
            date = date.addYears(100);
        m_dates.insert(text, date);
        return date;
    }
    QTime timeOf(const QString& text) {
        if (auto it = m_times.constFind(text); it != m_times.cend())
            return *it;
        QTime time;
        for (const QString& format : m_timeFormats) {
            time = m_locale.toTime(text, format);
            if (time.isValid())
                break;
        }
        m_times.insert(text, time);
        return time;
    }

    QLocale m_locale;
    QStringList m_dateFormats;
    QStringList m_timeFormats;
    QHash<QString, QDate> m_dates;
    QHash<QString, QTime> m_times;
};

} // namespace

QString eventTimeSortKey(const QString& text, const QLocale& locale) {
    return DateKeys(locale).key(text);
}

std::vector<int> SortColumn(int rowCount, const std::function<QString(int)>& textOf,
                            SortKind kind, bool ascending, const QLocale& locale) {
    const size_t count = static_cast<size_t>(std::max(rowCount, 0));
    // Text compares as the lists do (compareListText): case-folded first, then as written.
    // The folded key is made once per row rather than at every comparison. Numbers compare by
    // value, of any length; a text that is no number sorts before every number.
    std::vector<QString> keys(kind == SortKind::Number ? 0 : count);
    std::vector<QString> texts(kind == SortKind::Text ? count : 0);
    std::vector<std::optional<double>> numbers(kind == SortKind::Number ? count : 0);
    DateKeys dates(locale);
    for (size_t row = 0; row < count; ++row) {
        const QString text = textOf(static_cast<int>(row));
        switch (kind) {
        case SortKind::Date: keys[row] = dates.key(text); break;
        case SortKind::Number: {
            bool ok = false;
            const double value = text.trimmed().toDouble(&ok);
            if (ok && std::isfinite(value))
                numbers[row] = value;
            break;
        }
        case SortKind::Text:
            keys[row] = text.toCaseFolded();
            texts[row] = text;
            break;
        }
    }
    std::vector<int> order(count);
    std::iota(order.begin(), order.end(), 0);
    const auto compare = [&](int a, int b) {
        if (kind == SortKind::Number)
            return numbers[a] < numbers[b] ? -1 : numbers[b] < numbers[a] ? 1 : 0;
        const int c = keys[a].compare(keys[b]);
        return c == 0 && kind == SortKind::Text ? texts[a].compare(texts[b]) : c;
    };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const int c = compare(a, b);
        return ascending ? c < 0 : c > 0;
    });
    return order;
}

} // namespace tarvok
