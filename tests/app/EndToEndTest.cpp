// The real binary, started in an empty program folder inside this test's own network
// namespace (child processes inherit it), cutting a real connection and ending on SIGTERM.

#include "AppTestSupport.h"
#include "policy/PolicyFile.h"
#include "settings/Settings.h"
#include "support/Loopback.h"
#include "support/Sandbox.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <cerrno>
#include <csignal>

using namespace tarvok;
using tarvok::test::ProgramFolder;

namespace {

// Copies the binary into the folder, as an unpacked program, and starts it there; with
// withoutNetAdmin, through capsh with CAP_NET_ADMIN dropped from its bounding set.
class RunningTarvok {
public:
    explicit RunningTarvok(const ProgramFolder& folder, bool withoutNetAdmin = false) {
        const QString binary = folder.file("tarvok");
        QFile::copy(QStringLiteral(TARVOK_BINARY), binary);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        if (withoutNetAdmin)
            m_process.start("capsh", {"--drop=cap_net_admin", "--", "-c", "exec \"$0\"", binary});
        else
            m_process.start(binary, {});
        EXPECT_TRUE(m_process.waitForStarted(10000));
    }
    ~RunningTarvok() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    // Sends SIGTERM and waits for the orderly end.
    bool terminate() {
        ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
        return m_process.waitForFinished(20000) && m_process.exitStatus() == QProcess::NormalExit &&
               m_process.exitCode() == 0;
    }
    bool running() const { return m_process.state() == QProcess::Running; }

private:
    QProcess m_process;
};

// Waits, within a bounded time, until the predicate holds.
template <typename Predicate>
bool waitFor(Predicate holds, int milliseconds) {
    QDeadlineTimer deadline(milliseconds);
    while (!holds()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

TEST(EndToEnd, FirstStartWritesTheProgramFilesAndSigtermEndsInOrder) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    RunningTarvok tarvok(folder);
    ASSERT_TRUE(waitFor([&] { return QFileInfo(folder.file("Logs")).isDir(); }, 20000))
        << "start-up did not finish";
    EXPECT_EQ(folder.read("config.ini"), Settings::defaultFileText());
    EXPECT_TRUE(QFileInfo(folder.file("Normal.rlsp")).isFile());
    EXPECT_EQ(folder.read("History.tvh"), QByteArray());

    ASSERT_TRUE(tarvok.terminate());
    const QByteArray history = folder.read("History.tvh");
    EXPECT_EQ(history.count("\r\n"), 1);
    EXPECT_TRUE(history.endsWith(",\"0\"\r\n")) << history.toStdString();
    const QByteArray config = folder.read("config.ini");
    EXPECT_TRUE(config.startsWith("[Settings]\r\n\r\nHeight=")) << config.toStdString();
}

TEST(EndToEnd, APolicyBlockCutsARealConnectionAndTheRunIsRecorded) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    Rule block;
    block.action = "block";
    block.number = "1";
    block.address = "127.0.0.2";
    block.port = QString::number(listener.port());
    block.description = "test";
    QFile policy(folder.file("Normal.rlsp"));
    ASSERT_TRUE(policy.open(QIODevice::WriteOnly));
    policy.write(policyText({block}, RuleWords{}));
    policy.close();

    // A comment in config.ini is not kept: its absence after the exit shows the file was
    // rewritten.
    QFile config(folder.file("config.ini"));
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("; written by hand\r\n" + Settings::defaultFileText());
    config.close();

    RunningTarvok tarvok(folder);
    ASSERT_TRUE(waitFor([&] { return QFileInfo(folder.file("Logs")).isDir(); }, 20000));
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    EXPECT_EQ(test::readOutcome(connection.client.get(), 5000), -ECONNABORTED);
    // An unrelated connection lives on.
    test::TcpListener other("127.0.0.4");
    test::TcpConnection kept = test::connect("127.0.0.5", other);
    QThread::msleep(300);
    EXPECT_EQ(test::readOutcome(kept.client.get(), 10), -ETIMEDOUT);

    ASSERT_TRUE(tarvok.terminate());
    const QByteArray history = folder.read("History.tvh");
    EXPECT_TRUE(history.endsWith(",\"1\"\r\n")) << history.toStdString();
    const QStringList days = QDir(folder.file("Logs")).entryList({"*.tvl"}, QDir::Files);
    ASSERT_EQ(days.size(), 1);
    const QByteArray log = folder.read("Logs/" + days[0]);
    EXPECT_TRUE(log.contains("\"TCP\",\"127.0.0.3\"")) << log.toStdString();
    EXPECT_TRUE(log.contains("\"BLOCKED CONNECTION\"")) << log.toStdString();
    EXPECT_TRUE(folder.read("config.ini").startsWith("[Settings]\r\n\r\nHeight="));
}

TEST(EndToEnd, WithoutNetAdminABlockRuleCutsNothingAndSaysSo) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    Rule block;
    block.action = "block";
    block.number = "1";
    block.address = "127.0.0.2";
    block.port = QString::number(listener.port());
    block.description = "test";
    QFile policy(folder.file("Normal.rlsp"));
    ASSERT_TRUE(policy.open(QIODevice::WriteOnly));
    policy.write(policyText({block}, RuleWords{}));
    policy.close();

    RunningTarvok tarvok(folder, true);
    ASSERT_TRUE(waitFor([&] { return QFileInfo(folder.file("Logs")).isDir(); }, 20000));
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    QThread::msleep(500);
    EXPECT_EQ(test::readOutcome(connection.client.get(), 10), -ETIMEDOUT) << "it lives";

    ASSERT_TRUE(tarvok.terminate());
    const QByteArray history = folder.read("History.tvh");
    EXPECT_TRUE(history.endsWith(",\"0\"\r\n")) << "nothing counted: " << history.toStdString();
    const QStringList days = QDir(folder.file("Logs")).entryList({"*.tvl"}, QDir::Files);
    ASSERT_EQ(days.size(), 1);
    const QByteArray log = folder.read("Logs/" + days[0]);
    EXPECT_TRUE(log.contains("\"Unable to close connection\"")) << log.toStdString();
    EXPECT_FALSE(log.contains("BLOCKED CONNECTION")) << log.toStdString();
}
