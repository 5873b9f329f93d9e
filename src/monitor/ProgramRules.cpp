#include "monitor/ProgramRules.h"

#include "engine/EngineServices.h"

#include <QFile>

namespace tarvok::monitor {

ProgramFile programFileOf(quint32 pid, const QString& knownPath) {
    ProgramFile file{knownPath, false};
    if (pid == 0 || !knownPath.startsWith(QLatin1Char('/')))
        return file;
    // The kernel adds this to the link of a file that was replaced or deleted after exec.
    static const QString Deleted = QStringLiteral(" (deleted)");
    const QString link = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    file.replaced = link == knownPath + Deleted;
    return file;
}

QString programRuleDescription(const Localiser& language, const ProgramFile& file, bool accept) {
    const auto text = [&language](int key, const char* fallback) {
        const QString found = language.text(QStringLiteral("Main"), key);
        return found.contains(QLatin1String("%1")) ? found : QString::fromLatin1(fallback);
    };
    const QString name = file.path.mid(file.path.lastIndexOf(QLatin1Char('/')) + 1);
    QString description =
        accept ? text(language::programRule::AllowedDescription, "Allow the program %1").arg(name)
               : text(language::programRule::BlockedDescription, "Block the program %1").arg(name);
    if (file.replaced)
        description = text(language::programRule::ReplacedNote,
                           "%1 (its file was replaced after the process started)")
                          .arg(description);
    return description;
}

} // namespace tarvok::monitor
