// Feeds arbitrary bytes to the language reader as a language file and checks that the rule
// words it gives can never change what a rule does or matches.

#include "FuzzCheck.h"
#include "engine/RuleIndex.h"
#include "settings/LanguageFile.h"

#include <QSet>
#include <QTemporaryDir>

using namespace tarvok;
using tarvok::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("Fuzz.lng"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        std::abort();
    file.close();

    const LanguageFile language(path);
    const RuleWords words = language.ruleWords();
    const RuleWords english;
    const QStringList all = {words.accept,     words.block,   words.enabled, words.disabled,
                             words.anyAddress, words.anyPort, words.noLog,   words.noDescription};
    check(QSet<QString>(all.begin(), all.end()).size() == all.size(), "rule words distinct");
    for (const QString& word : all)
        check(!word.trimmed().isEmpty(), "no blank rule word");
    check(words.anyAddress == english.anyAddress ||
              parseAddressCell(words.anyAddress, english).kind == AddressPattern::Nothing,
          "the any-address word is no address");
    check(words.anyPort == english.anyPort ||
              parsePortCell(words.anyPort, english).kind == PortPattern::Nothing,
          "the any-port word is no port");
    TextHolders holders;
    language.fill(holders);
    check(holders.accept == words.accept && holders.anyPort == words.anyPort,
          "holders carry the rule words");
    check(language.text(QStringLiteral("Main"), 1).size() <= ini::MaxValueLength, "values cut");
    return 0;
}
