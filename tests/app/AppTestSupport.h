#pragma once
// A fresh program folder holding only the language files, as after an unpacked download.

#include "support/ScratchFiles.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace tarvok::test {

class ProgramFolder {
public:
    // subfolder: the program folder is that folder inside the temporary one, for a deep path.
    explicit ProgramFolder(const QString& subfolder = {})
        : m_path(subfolder.isEmpty() ? m_dir.path() : m_dir.path() + "/" + subfolder) {
        const QString languages = QStringLiteral(TARVOK_TEST_LANGUAGE_DIR);
        QDir().mkpath(path() + "/Language");
        for (const QString& name : QDir(languages).entryList({"*.lng"}, QDir::Files))
            QFile::copy(languages + "/" + name, path() + "/Language/" + name);
        EXPECT_TRUE(QFile::exists(path() + "/Language/English.lng"))
            << "language files not found in " << languages.toStdString();
    }
    QString path() const { return m_path; }
    QString file(const QString& name) const { return path() + "/" + name; }
    QByteArray read(const QString& name) const { return readFile(file(name)); }

private:
    QTemporaryDir m_dir;
    QString m_path;
};

// This process's environment with extra "NAME=value" settings, and without the names in unset.
inline QProcessEnvironment environmentWith(const QStringList& settings,
                                           std::initializer_list<const char*> unset = {}) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : unset)
        environment.remove(name);
    for (const QString& setting : settings)
        environment.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
    return environment;
}

} // namespace tarvok::test
