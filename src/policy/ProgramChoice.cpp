#include "policy/ProgramChoice.h"

#include "engine/RuleIndex.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvok {

ProgramCheck checkProgramPath(const QString& path) {
    if (path.isEmpty())
        return ProgramCheck::Ok;
    if (!path.startsWith(QLatin1Char('/')))
        return ProgramCheck::NotAbsolute;
    for (const QChar c : path)
        if (c.category() == QChar::Other_Control)
            return ProgramCheck::ControlCharacter;
    if (path.toUtf8().size() > MaxProgramPathBytes)
        return ProgramCheck::TooLong;
    // Whatever else the rule table would refuse to match (a broken UTF-16 text) is no text a
    // path can hold either.
    return parseProgramCell(path).kind == ProgramPattern::Path ? ProgramCheck::Ok
                                                               : ProgramCheck::ControlCharacter;
}

QString realProgramFile(const QString& path) {
    const QString real = QFileInfo(path).canonicalFilePath();
    return real.isEmpty() ? path : real;
}

ScriptLine readScriptLine(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    // Looked at before it is opened, so that no device is ever opened; opened without
    // blocking, so that a FIFO put in its place meanwhile is not waited on, and looked at
    // again through the descriptor.
    struct stat info {};
    if (::stat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return {};
    char buffer[ScriptPrefixBytes];
    qsizetype length = 0;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        for (int reads = 0; reads < 4 && length < ScriptPrefixBytes; ++reads) {
            const ssize_t got = ::read(fd, buffer + length, sizeof buffer - std::size_t(length));
            if (got <= 0)
                break;
            length += got;
        }
    }
    ::close(fd);
    const QByteArray prefix(buffer, length);
    if (!prefix.startsWith("#!"))
        return {};
    ScriptLine line;
    line.script = true;
    QByteArray text = prefix.mid(2);
    if (const qsizetype end = text.indexOf('\n'); end >= 0)
        text.truncate(end);
    // The kernel splits the line at the first blank after the interpreter and passes the rest,
    // blanks around it removed, as one argument.
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    qsizetype at = 0;
    while (at < text.size() && blank(text[at]))
        ++at;
    qsizetype end = at;
    while (end < text.size() && !blank(text[end]))
        ++end;
    line.interpreter = QFile::decodeName(text.mid(at, end - at));
    line.argument = QFile::decodeName(text.mid(end).trimmed());
    return line;
}

namespace {

// The file an "env" line runs: the first word of its argument that is no option and no
// VAR=value, found on the path like a shell finds a command.
QString envProgram(const QString& argument, const QString& pathVariable) {
    QString name;
    for (const QString& word : argument.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString trimmed = word.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('-')) ||
            trimmed.contains(QLatin1Char('=')))
            continue;
        name = trimmed;
        break;
    }
    if (name.isEmpty())
        return {};
    if (name.contains(QLatin1Char('/')))
        return name.startsWith(QLatin1Char('/')) && QFileInfo(name).isFile()
                   ? realProgramFile(name)
                   : QString();
    for (const QString& folder : pathVariable.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (!folder.startsWith(QLatin1Char('/')))
            continue; // a relative folder depends on where the script is started from
        const QFileInfo candidate(folder + QLatin1Char('/') + name);
        if (candidate.isFile() && candidate.isExecutable())
            return realProgramFile(candidate.filePath());
    }
    return {};
}

} // namespace

QString interpreterFile(const ScriptLine& line, const QString& pathVariable) {
    if (!line.script || !line.interpreter.startsWith(QLatin1Char('/')))
        return {};
    const QFileInfo interpreter(line.interpreter);
    if (!interpreter.isFile())
        return {};
    if (interpreter.fileName() == QLatin1String("env"))
        return envProgram(line.argument, pathVariable);
    return realProgramFile(line.interpreter);
}

bool isUnstableProgramPath(const QString& path, const QString& homeFolder) {
    if (path.startsWith(QLatin1String("/tmp/.mount_")) ||
        path.startsWith(QLatin1String("/var/lib/flatpak/")))
        return true;
    return !homeFolder.isEmpty() &&
           path.startsWith(homeFolder + QLatin1String("/.local/share/flatpak/"));
}

ProgramChoice chooseProgram(const QString& path, const QString& pathVariable,
                            const QString& homeFolder) {
    ProgramChoice choice;
    choice.path = realProgramFile(path);
    const ScriptLine line = readScriptLine(choice.path);
    choice.script = line.script;
    choice.interpreter = interpreterFile(line, pathVariable);
    choice.unstable = isUnstableProgramPath(path, homeFolder) ||
                      isUnstableProgramPath(choice.path, homeFolder);
    return choice;
}

} // namespace tarvok
