// Feeds arbitrary bytes to the INI reader and writer as a file on disk and checks what both
// promise: reading never fails, a written key reads back as written, and a write changes no
// other key.

#include "FuzzCheck.h"
#include "settings/IniFile.h"
#include "settings/LanguageFile.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cstdint>
#include <unistd.h>

using namespace tarvok;
using tarvok::fuzz::check;

namespace {

QString scratchPath() {
    static const QString path = [] {
        const QString folder = QDir::tempPath() + QStringLiteral("/tarvok-ini-fuzz-") +
                               QString::number(::getpid());
        QDir().mkpath(folder);
        return folder + QStringLiteral("/fuzz.ini");
    }();
    return path;
}

// The text a read gives for a written value.
QString expectedRead(QString value) {
    value.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (value.size() > ini::MaxValueLength) {
        qsizetype length = ini::MaxValueLength;
        if (value.at(length - 1).isHighSurrogate())
            --length;
        value.truncate(length);
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks the code page of a language-file read, the next eight the value
    // written; the rest is the file.
    if (size < 9)
        return 0;
    const int characterSets[] = {0, 128, 129, 134, 136, 161, 204, 238};
    const int characterSet = characterSets[data[0] % 8];
    const QString value = ini::fromUtf8Value(QByteArrayView(data + 1, 8));
    const QByteArray file(reinterpret_cast<const char*>(data + 9), qsizetype(size - 9));

    const QString path = scratchPath();
    {
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(file) != file.size())
            return 0;
    }

    static const QStringList sections = {"S", "Settings", "s", "a", "1"};
    static const QStringList keys = {"k", "K", "1", "a", "Key", "CharacterSet"};
    QList<QString> before;
    for (const QString& section : sections)
        for (const QString& key : keys) {
            before.append(ini::read(section, key, path));
            check(before.last().size() <= ini::MaxValueLength, "value longer than the limit");
        }
    decodeCodePage(ini::readBytes("S", "k", path), codePageForCharacterSet(characterSet));

    check(ini::write("S", "k", value, path), "write failed");
    check(ini::read("s", "K", path) == expectedRead(value), "written value does not read back");
    qsizetype i = 0;
    for (const QString& section : sections)
        for (const QString& key : keys) {
            const bool written = section.compare("S", Qt::CaseInsensitive) == 0 &&
                                 key.compare("k", Qt::CaseInsensitive) == 0;
            if (!written)
                check(ini::read(section, key, path) == before[i], "write changed another key");
            ++i;
        }
    return 0;
}
