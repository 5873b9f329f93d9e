#pragma once
// Helpers for the program's own text files: the quoted comma-separated lines of the log and
// history files, the decoding of files brought from other systems, and numbers held as text.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace tarvok {

// Text of a file the program reads: UTF-8 (a leading byte-order mark is dropped) when the
// bytes are valid UTF-8, otherwise Windows-1252, so that files written on Windows load.
QString decodeFileText(const QByteArray& bytes);

// One record line: every field between double quotes, fields separated by one comma, ended
// by CR LF, in UTF-8. Quotes inside a field are written as they stand.
QByteArray quotedLine(const QStringList& fields);

// Splits text into records of exactly fieldCount fields, one record per non-blank line (CR LF,
// LF or CR ends a line). A quoted field ends at its closing quote, anything after it up to the
// next comma is dropped; an unquoted field ends at the next comma, without blanks at its ends.
// A short or damaged line keeps the fields it has and the rest are empty; extra fields are
// ignored.
QList<QStringList> parseQuotedLines(QStringView text, int fieldCount);

// The number a text begins with, as a leading-number conversion reads it: blanks, an optional
// sign, digits with an optional fraction and exponent. A text without a leading number gives 0;
// a number too large for a double gives an infinity.
double leadingNumber(QStringView text);

// Rounds half to even, as the conversion of a number to a whole number does.
double roundHalfEven(double value);

} // namespace tarvok
