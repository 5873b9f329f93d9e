#pragma once
// Ways to make the real enforcer fail as it would on a real machine: a table of its name that
// another program owns (its writes are refused, its cuts work), and an enforcer started without
// CAP_NET_ADMIN (nothing works). Both only in the test's own network namespace.

#include "enforcer/Enforcer.h"
#include "engine/ConnectionTables.h"
#include "engine/EnforcerLink.h"
#include "platform/NfTables.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvok::test {

// A file as the enforcer's records name a program: stat's device and inode.
inline enforcer::ProgramFile programFile(const QString& path) {
    struct stat file {};
    EXPECT_EQ(::stat(path.toLocal8Bit().constData(), &file), 0) << path.toStdString();
    return {file.st_dev, file.st_ino};
}

// A fresh enforcer of this build, its table named apart from every other one's.
inline quint64 nextInstance() {
    static quint64 count = 0;
    return (quint64{static_cast<unsigned>(::getpid())} << 20) + ++count;
}

// Lets the tables cut through a fresh enforcer of this build while it lives. Declare it right
// after the tables, so that it outlives every engine that cuts through them.
struct Enforcing {
    EnforcerLink link;
    explicit Enforcing(ConnectionTables& tables,
                       const QString& program = QStringLiteral(TARVOK_TEST_ENFORCER)) {
        EXPECT_TRUE(link.start(program, nextInstance())) << link.failure().toStdString();
        tables.setEnforcer(&link);
    }
};

// The table that the instance of a program folder writes, and whether the kernel holds it.
inline std::string instanceTable(const QString& programFolder) {
    return enforcer::Enforcer::tableName(::getuid(), EnforcerLink::instanceFor(programFolder));
}
// The table as nft lists it; empty when there is none.
inline std::string listedTable(const std::string& name) {
    std::string text;
    if (FILE* pipe = ::popen(("nft list table inet " + name + " 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, n);
        ::pclose(pipe);
    }
    return text;
}
inline bool tableExists(const std::string& name) {
    return !listedTable(name).empty();
}

// Holds an owned table of the name that instance's enforcer would write, for its lifetime.
inline std::unique_ptr<platform::NftScripts> squatTable(quint64 instance) {
    auto squatter = std::make_unique<platform::NftScripts>();
    const std::string name = enforcer::Enforcer::tableName(::getuid(), instance);
    if (!squatter->run("table inet " + name + " {\n\tflags owner\n}\n"))
        ADD_FAILURE() << squatter->error();
    return squatter;
}

// While it lives, every Tarvok started names an enforcer that runs without CAP_NET_ADMIN.
class UnprivilegedEnforcer {
public:
    UnprivilegedEnforcer() : m_before(qgetenv("TARVOK_ENFORCER")) {
        QFile script(program());
        EXPECT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nexec setpriv --bounding-set -net_admin " TARVOK_TEST_ENFORCER "\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        qputenv("TARVOK_ENFORCER", program().toLocal8Bit());
    }
    ~UnprivilegedEnforcer() { qputenv("TARVOK_ENFORCER", m_before); }
    QString program() const { return m_folder.path() + QStringLiteral("/enforcer"); }

private:
    QTemporaryDir m_folder;
    QByteArray m_before;
};

} // namespace tarvok::test
