#include "records/TextFiles.h"

#include "settings/IniFile.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace tarvok {

QString decodeFileText(const QByteArray& bytes) {
    QByteArrayView text(bytes);
    if (text.startsWith("\xEF\xBB\xBF"))
        text = text.sliced(3);
    return text.isValidUtf8() ? QString::fromUtf8(text) : ini::fromWindows1252(text);
}

QByteArray quotedLine(const QStringList& fields) {
    QByteArray line;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += ',';
        line += '"' + fields.at(i).toUtf8() + '"';
    }
    line += "\r\n";
    return line;
}

namespace {

bool isBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QStringList parseLine(QStringView line, int fieldCount) {
    QStringList fields;
    fields.reserve(fieldCount);
    const qsizetype size = line.size();
    qsizetype pos = 0;
    // pos > size means the line is used up; pos == size after a comma means one more
    // (empty) field follows.
    while (fields.size() < fieldCount && pos <= size) {
        while (pos < size && isBlank(line[pos]))
            ++pos;
        QStringView field;
        qsizetype next;
        if (pos < size && line[pos] == QLatin1Char('"')) {
            const qsizetype close = line.indexOf(QLatin1Char('"'), pos + 1);
            if (close < 0) {
                field = line.sliced(pos + 1);
                next = -1;
            } else {
                field = line.sliced(pos + 1, close - pos - 1);
                next = line.indexOf(QLatin1Char(','), close + 1);
            }
        } else {
            next = line.indexOf(QLatin1Char(','), pos);
            field = (next < 0 ? line.sliced(pos) : line.sliced(pos, next - pos)).trimmed();
        }
        fields.append(field.toString());
        pos = next < 0 ? size + 1 : next + 1;
    }
    while (fields.size() < fieldCount)
        fields.append(QString());
    return fields;
}

} // namespace

QList<QStringList> parseQuotedLines(QStringView text, int fieldCount) {
    QList<QStringList> records;
    const qsizetype size = text.size();
    qsizetype pos = 0;
    while (pos < size) {
        qsizetype end = pos;
        while (end < size && text[end] != QLatin1Char('\n') && text[end] != QLatin1Char('\r'))
            ++end;
        const QStringView line = text.sliced(pos, end - pos);
        pos = end;
        if (pos < size && text[pos] == QLatin1Char('\r'))
            ++pos;
        if (pos < size && text[pos] == QLatin1Char('\n'))
            ++pos;
        if (!line.trimmed().isEmpty())
            records.append(parseLine(line, fieldCount));
    }
    return records;
}

double leadingNumber(QStringView text) {
    qsizetype pos = 0;
    const qsizetype size = text.size();
    while (pos < size &&
           (isBlank(text[pos]) || text[pos] == QLatin1Char('\n') || text[pos] == QLatin1Char('\r')))
        ++pos;
    const auto isDigit = [&](qsizetype at) {
        return at < size && text[at] >= QLatin1Char('0') && text[at] <= QLatin1Char('9');
    };
    QByteArray number;
    if (pos < size && (text[pos] == QLatin1Char('+') || text[pos] == QLatin1Char('-')))
        number += char(text[pos++].unicode());
    bool digits = false;
    for (; isDigit(pos); ++pos, digits = true)
        number += char(text[pos].unicode());
    if (pos < size && text[pos] == QLatin1Char('.')) {
        number += '.';
        for (++pos; isDigit(pos); ++pos, digits = true)
            number += char(text[pos].unicode());
    }
    if (!digits)
        return 0;
    // An exponent counts only when digits follow it ("12e" is 12). D is the old
    // double-precision exponent letter.
    if (pos < size && QStringView(u"eEdD").contains(text[pos])) {
        qsizetype at = pos + 1;
        QByteArray exponent = "e";
        if (at < size && (text[at] == QLatin1Char('+') || text[at] == QLatin1Char('-')))
            exponent += char(text[at++].unicode());
        if (isDigit(at)) {
            for (; isDigit(at); ++at)
                exponent += char(text[at].unicode());
            number += exponent;
        }
    }
    // from_chars is independent of the C locale, which a Qt application sets from the
    // environment; it leaves value alone when the number is out of range.
    double value = 0;
    const char* first = number.constData();
    if (*first == '+')
        ++first;
    const auto [end, status] = std::from_chars(first, number.constData() + number.size(), value);
    if (status == std::errc::result_out_of_range) {
        const bool negative = number.startsWith('-');
        const bool tiny = number.contains("e-");
        if (tiny)
            return negative ? -0.0 : 0.0;
        return negative ? -HUGE_VAL : HUGE_VAL;
    }
    return value;
}

double roundHalfEven(double value) {
    if (!std::isfinite(value))
        return value;
    const double floor = std::floor(value);
    const double fraction = value - floor;
    if (fraction > 0.5)
        return floor + 1;
    if (fraction < 0.5)
        return floor;
    return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

} // namespace tarvok
