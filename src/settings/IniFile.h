#pragma once
// INI access with the semantics every Tarvok file relies on: an empty default, section and
// key names matched without regard to case, blanks around a value removed, a value in double
// quotes read without them, values cut to 354 characters, and a missing file, section or key
// read as the empty text.

#include <QByteArray>
#include <QString>

#include <memory>

namespace tarvok::ini {

// The longest value a read returns; longer values are cut to this many characters.
constexpr int MaxValueLength = 354;

// ReadINI: the value of key in [section] of the file at path. The file's text is UTF-8 when
// its bytes are valid UTF-8, otherwise Windows-1252 (files brought over from Windows).
QString read(const QString& section, const QString& key, const QString& path);

// writeini: sets one key, creating the file or section as needed and keeping every other
// line. Returns false when the file could not be written; the file is then unchanged.
bool write(const QString& section, const QString& key, const QString& value, const QString& path);

struct ParsedFile;

// One read of a file for many look-ups: the file is read (or found unchanged in the cache)
// once, when the reader is made, instead of once per key. Look-ups behave as read(),
// readBytes() and isUtf8() below.
class Reader {
public:
    explicit Reader(const QString& path);
    // Look-ups in bytes the caller has already read (from a file it opened with its own checks).
    static Reader ofBytes(QByteArray bytes);
    ~Reader();
    QString read(const QString& section, const QString& key) const;
    QByteArray readBytes(const QString& section, const QString& key) const;
    bool isUtf8() const;

private:
    Reader() = default;
    std::shared_ptr<const ParsedFile> m_parsed;
};

// For files whose text is in a code page of their own (language files): the value's bytes
// as stored, with the blanks around it and one pair of double quotes removed, not cut.
QByteArray readBytes(const QString& section, const QString& key, const QString& path);

// The UTF-8 text written after "key=" so that a read gives value back: line breaks cannot be
// stored and become blanks, and a value that a read would change (blanks at either end, or a
// pair of enclosing double quotes) is put in double quotes.
QByteArray encodeValue(QString value);

// Whether the file's bytes are valid UTF-8 (a missing or empty file counts as valid).
bool isUtf8(const QString& path);

// UTF-8 bytes as text, a leading U+FEFF included (QString::fromUtf8 drops it as a byte-order
// mark, but inside a file's value it is part of the value).
QString fromUtf8Value(QByteArrayView bytes);

// Text in Windows-1252, decoded the way Windows does it (the five unassigned bytes map to
// the control characters of the same number).
QString fromWindows1252(QByteArrayView bytes);

} // namespace tarvok::ini
