#include "settings/IniFile.h"
#include "settings/SaveFile.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QStringDecoder>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>

namespace tarvok::ini {

// A parsed file: for each section name (case-folded), the first value of each key.
// Sections of the same name count as one, in file order, so the first key wins.
struct ParsedFile {
    QByteArray bytes;
    bool utf8 = true;
    QHash<QString, QHash<QString, QByteArray>> sections;
};

namespace {

using Parsed = ParsedFile;

constexpr QByteArrayView Utf8Bom("\xEF\xBB\xBF");

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

QByteArrayView trimmed(QByteArrayView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// Names asked for are trimmed the way names in a file are.
QString trimmedName(const QString& name) {
    qsizetype begin = 0;
    qsizetype end = name.size();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t' || c == u'\r'; };
    while (begin < end && blank(name[begin]))
        ++begin;
    while (end > begin && blank(name[end - 1]))
        --end;
    return name.mid(begin, end - begin);
}

QByteArrayView withoutQuotes(QByteArrayView value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return value.sliced(1, value.size() - 2);
    return value;
}

// One line of an INI file as the reader and the writer both see it.
struct Line {
    enum Kind { Other, Section, Entry };
    Kind kind = Other;
    qsizetype begin = 0; // first byte of the line
    qsizetype end = 0;   // one past the last byte before the line end
    qsizetype next = 0;  // first byte of the following line
    QByteArrayView name; // section or key name, blanks removed
    QByteArrayView value; // entry value, blanks removed, quotes kept
};

// Splits text (without a byte-order mark) into lines. A line is a section header when it
// starts with "[", a comment when it starts with ";", and otherwise a key, with or without
// "=" (a key without "=" has the empty value).
QList<Line> splitLines(QByteArrayView text) {
    QList<Line> lines;
    qsizetype pos = 0;
    while (pos < text.size()) {
        Line line;
        line.begin = pos;
        qsizetype newline = text.indexOf('\n', pos);
        if (newline < 0)
            newline = text.size();
        line.next = newline < text.size() ? newline + 1 : newline;
        line.end = newline;
        if (line.end > line.begin && text[line.end - 1] == '\r')
            --line.end;
        const QByteArrayView content = trimmed(text.sliced(line.begin, line.end - line.begin));
        if (content.startsWith('[')) {
            line.kind = Line::Section;
            qsizetype close = content.indexOf(']');
            if (close < 0)
                close = content.size();
            line.name = trimmed(content.sliced(1, close - 1));
        } else if (!content.isEmpty() && !content.startsWith(';')) {
            line.kind = Line::Entry;
            const qsizetype equals = content.indexOf('=');
            if (equals < 0) {
                line.name = content;
            } else {
                line.name = trimmed(content.first(equals));
                line.value = trimmed(content.sliced(equals + 1));
            }
        }
        lines.append(line);
        pos = line.next;
    }
    return lines;
}

QByteArrayView withoutBom(QByteArrayView bytes) {
    return bytes.startsWith(Utf8Bom) ? bytes.sliced(Utf8Bom.size()) : bytes;
}

QString decode(QByteArrayView bytes, bool utf8) {
    return utf8 ? fromUtf8Value(bytes) : fromWindows1252(bytes);
}

QString folded(QByteArrayView name, bool utf8) { return decode(name, utf8).toCaseFolded(); }

std::shared_ptr<const Parsed> parse(QByteArray bytes) {
    auto parsed = std::make_shared<Parsed>();
    parsed->bytes = std::move(bytes);
    const QByteArrayView text = withoutBom(parsed->bytes);
    parsed->utf8 = text.isValidUtf8();
    QHash<QString, QByteArray>* section = nullptr;
    for (const Line& line : splitLines(text)) {
        if (line.kind == Line::Section) {
            section = &parsed->sections[folded(line.name, parsed->utf8)];
        } else if (line.kind == Line::Entry && section) {
            const QString key = folded(line.name, parsed->utf8);
            if (!section->contains(key))
                section->insert(key, withoutQuotes(line.value).toByteArray());
        }
    }
    return parsed;
}

qint64 nowNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Parsed files by path, trusted while the file's identity (device, inode, size, modification
// time) is unchanged. A file modified within the last two seconds before it was cached may
// have been changed again within the same timestamp tick, so its bytes are compared until it
// is older than that.
class Cache {
public:
    std::shared_ptr<const Parsed> get(const QString& path) {
        const QByteArray native = QFile::encodeName(path);
        struct stat info {};
        if (::stat(native.constData(), &info) != 0 || !S_ISREG(info.st_mode))
            return {};
        const Identity identity = identityOf(info);
        QMutexLocker lock(&m_mutex);
        auto it = m_entries.find(path);
        if (it != m_entries.end() && it->identity == identity &&
            it->cachedAtNs - identity.mtimeNs > RacyWindowNs)
            return it->parsed;
        lock.unlock();

        // A FIFO swapped in after the stat above must not hold the reader: the open never
        // waits, and the opened file must still be a regular one.
        const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        QFile file;
        if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            if (fd >= 0)
                ::close(fd);
            return {};
        }
        struct stat opened {};
        if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode))
            return {};
        const qint64 cachedAt = nowNs();
        QByteArray bytes = file.readAll();
        if (file.error() != QFile::NoError)
            return {};

        lock.relock();
        it = m_entries.find(path);
        std::shared_ptr<const Parsed> parsed;
        if (it != m_entries.end() && it->parsed->bytes == bytes)
            parsed = it->parsed;
        else
            parsed = parse(std::move(bytes));
        if (m_entries.size() >= MaxEntries && !m_entries.contains(path))
            m_entries.clear();
        m_entries.insert(path, Entry{identityOf(opened), cachedAt, parsed});
        return parsed;
    }

    void forget(const QString& path) {
        QMutexLocker lock(&m_mutex);
        m_entries.remove(path);
    }

private:
    static constexpr qint64 RacyWindowNs = 2'000'000'000;
    static constexpr qsizetype MaxEntries = 32;

    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        qint64 mtimeNs = 0;
        bool operator==(const Identity&) const = default;
    };
    struct Entry {
        Identity identity;
        qint64 cachedAtNs = 0;
        std::shared_ptr<const Parsed> parsed;
    };

    static Identity identityOf(const struct stat& info) {
        return {info.st_dev, info.st_ino, info.st_size,
                qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
    }

    QMutex m_mutex;
    QHash<QString, Entry> m_entries;
};

Cache& cache() {
    static Cache instance;
    return instance;
}

const QByteArray* lookup(const Parsed& parsed, const QString& section, const QString& key) {
    const auto s = parsed.sections.constFind(trimmedName(section).toCaseFolded());
    if (s == parsed.sections.cend())
        return nullptr;
    const auto k = s->constFind(trimmedName(key).toCaseFolded());
    return k == s->cend() ? nullptr : &*k;
}

QString cut(QString text) {
    if (text.size() > MaxValueLength) {
        qsizetype length = MaxValueLength;
        // Never leave half of a surrogate pair behind.
        if (text.at(length - 1).isHighSurrogate())
            --length;
        text.truncate(length);
    }
    return text;
}

bool isAscii(QStringView text) {
    for (QChar c : text)
        if (c.unicode() > 0x7F)
            return false;
    return true;
}

} // namespace

QString fromWindows1252(QByteArrayView bytes) {
    static constexpr char16_t High[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        *out++ = QChar(byte >= 0x80 && byte < 0xA0 ? High[byte - 0x80] : char16_t(byte));
    }
    return text;
}

QString fromUtf8Value(QByteArrayView bytes) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

QByteArray encodeValue(QString value) {
    value.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    QByteArray bytes = value.toUtf8();
    const bool needsQuotes = !bytes.isEmpty() &&
        (isBlank(bytes.front()) || isBlank(bytes.back()) ||
         (bytes.size() >= 2 && bytes.front() == '"' && bytes.back() == '"'));
    return needsQuotes ? '"' + bytes + '"' : bytes;
}

Reader::Reader(const QString& path) : m_parsed(cache().get(path)) {}

Reader Reader::ofBytes(QByteArray bytes) {
    Reader reader;
    reader.m_parsed = parse(std::move(bytes));
    return reader;
}

Reader::~Reader() = default;

QString Reader::read(const QString& section, const QString& key) const {
    const QByteArray* value = m_parsed ? lookup(*m_parsed, section, key) : nullptr;
    return value ? cut(decode(*value, m_parsed->utf8)) : QString();
}

QByteArray Reader::readBytes(const QString& section, const QString& key) const {
    const QByteArray* value = m_parsed ? lookup(*m_parsed, section, key) : nullptr;
    return value ? *value : QByteArray();
}

bool Reader::isUtf8() const { return !m_parsed || m_parsed->utf8; }

QString read(const QString& section, const QString& key, const QString& path) {
    return Reader(path).read(section, key);
}

QByteArray readBytes(const QString& section, const QString& key, const QString& path) {
    return Reader(path).readBytes(section, key);
}

bool isUtf8(const QString& path) { return Reader(path).isUtf8(); }

bool write(const QString& section, const QString& key, const QString& value, const QString& path) {
    const QString sectionName = trimmedName(section);
    const QString keyName = trimmedName(key);
    const auto breaksLine = [](const QString& name) {
        return name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r'));
    };
    // Names that could not be read back as written are refused.
    if (sectionName.isEmpty() || keyName.isEmpty() || breaksLine(sectionName) ||
        breaksLine(keyName) || sectionName.contains(QLatin1Char(']')) ||
        keyName.contains(QLatin1Char('=')) || keyName.startsWith(QLatin1Char('[')) ||
        keyName.startsWith(QLatin1Char(';')))
        return false;

    QByteArray bytes;
    QFile existing(path);
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly))
            return false;
        bytes = existing.readAll();
        if (existing.error() != QFile::NoError)
            return false;
        existing.close();
    }

    const bool hasBom = bytes.startsWith(Utf8Bom);
    QByteArray text = hasBom ? bytes.sliced(Utf8Bom.size()) : bytes;
    bool utf8 = text.isValidUtf8();
    // New text is UTF-8. A Windows-1252 file stays byte for byte as it is while the new
    // text is plain ASCII; otherwise the whole file becomes UTF-8, so that every value still
    // reads as before.
    if (!utf8 && !(isAscii(sectionName) && isAscii(keyName) && isAscii(value))) {
        text = fromWindows1252(text).toUtf8();
        utf8 = true;
    }
    const QByteArray eol = text.contains("\r\n") || !text.contains('\n') ? "\r\n" : "\n";
    const QString wantedSection = sectionName.toCaseFolded();
    const QString wantedKey = keyName.toCaseFolded();
    const QByteArray stored = encodeValue(value);

    const QList<Line> lines = splitLines(text);
    const Line* firstSection = nullptr; // header of the first section of that name
    const Line* lastInFirst = nullptr;  // last non-blank line of that section
    const Line* match = nullptr;
    bool inWanted = false;
    bool inFirst = false;
    for (const Line& line : lines) {
        if (line.kind == Line::Section) {
            inWanted = folded(line.name, utf8) == wantedSection;
            inFirst = inWanted && !firstSection;
            if (inFirst)
                firstSection = lastInFirst = &line;
        } else if (line.kind == Line::Entry && inWanted && folded(line.name, utf8) == wantedKey) {
            match = &line;
            break;
        }
        if (inFirst && line.kind != Line::Section && line.end > line.begin &&
            !trimmed(QByteArrayView(text).sliced(line.begin, line.end - line.begin)).isEmpty())
            lastInFirst = &line;
    }

    QByteArray result;
    if (match) {
        const QByteArray keyText = match->name.toByteArray();
        result = text.first(match->begin) + keyText + '=' + stored + text.sliced(match->end);
    } else if (firstSection) {
        const QByteArray entry = keyName.toUtf8() + '=' + stored + eol;
        const qsizetype at = lastInFirst->next;
        const bool needsBreak = at == 0 || text[at - 1] != '\n'; // last line, no line end
        result = text.first(at) + (needsBreak ? eol : QByteArray()) + entry + text.sliced(at);
    } else {
        result = text;
        if (!result.isEmpty() && !result.endsWith('\n'))
            result += eol;
        if (!result.isEmpty() && !lines.isEmpty() &&
            !trimmed(QByteArrayView(text).sliced(lines.last().begin,
                                                 lines.last().end - lines.last().begin))
                 .isEmpty())
            result += eol;
        result += '[' + sectionName.toUtf8() + ']' + eol + keyName.toUtf8() + '=' + stored + eol;
    }
    if (hasBom)
        result.prepend(Utf8Bom.toByteArray());

    const bool ok = saveFileAtomically(path, result);
    cache().forget(path);
    return ok;
}

} // namespace tarvok::ini
