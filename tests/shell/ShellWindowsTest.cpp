#include "shell/ShellWindows.h"

#include "fakes/FakePrompter.h"
#include "records/EventList.h"
#include "records/FrmLog.h"
#include "records/LogFileModel.h"
#include "records/LogText.h"
#include "settings/LanguageFile.h"
#include "settings/Settings.h"
#include "shell/FrmAbout.h"
#include "shell/HelpWindow.h"
#include "shell/MainWindow.h"
#include "shell/TrayIcon.h"
#include "support/ScratchFiles.h"

#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QHelpEngine>
#include <QHelpSearchEngine>
#include <QHelpSearchResult>
#include <QTabWidget>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QStandardItemModel>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTreeView>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

EventRecord record(const QString& remote, const QString& status) {
    return {QStringLiteral("09:15 - 3/5/24"), QStringLiteral("TCP"), QStringLiteral("10.0.0.2"),
            QStringLiteral("50000"),          remote,
            QStringLiteral("80"),             QStringLiteral("http"),
            status,                           QStringLiteral("(1)")};
}

// A program folder with the built language files, a main window and the commands on it.
class ShellWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QDir(dir.path()).mkpath(QStringLiteral("Logs"));
        language.setPath(QStringLiteral(TARVOK_TEST_LANGUAGE_DIR) + QStringLiteral("/English.lng"));
        window.setModels(&rules, &eventList, &history);
        windows = std::make_unique<ShellWindows>(
            ShellWindows::Parts{dir.path(), &window, &eventList, &settings, &language, &prompter,
                                &tray});
    }
    QAction* action(const char* name) { return window.action(QLatin1String(name)); }

    QTemporaryDir dir;
    Settings settings{dir.path()};
    EventList eventList{dir.path(), settings};
    QStandardItemModel rules, history;
    LanguageFile language;
    FakePrompter prompter;
    TrayIcon tray;
    MainWindow window;
    std::unique_ptr<ShellWindows> windows;
};

} // namespace

TEST_F(ShellWindowsTest, LogTabMenuCopiesTheSelectedRecordAndClearsWithoutWriting) {
    eventList.append(record(QStringLiteral("192.0.2.1"), QStringLiteral("ESTABLISHED")), true);
    eventList.append(record(QStringLiteral("192.0.2.2"), QStringLiteral("BLOCKED CONNECTION")), true);
    QTreeView* list = window.list(QStringLiteral("ListLog"));
    list->setCurrentIndex(list->model()->index(1, 0));

    action("mnuCopyText")->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              recordText(eventList.record(1), RecordTextStyle::EventList));

    // Cleared records are dropped without a question and never reach a file.
    action("mnuClearLogWindow")->trigger();
    EXPECT_EQ(eventList.count(), 0);
    EXPECT_TRUE(prompter.calls.isEmpty());
    EXPECT_TRUE(eventList.flushAtExit());
    EXPECT_FALSE(QFile::exists(eventList.dayFilePath()));
}

TEST_F(ShellWindowsTest, OpenLogFileShowsTheFileInOneViewer) {
    const QString path = dir.filePath(QStringLiteral("Logs/day.tvl"));
    ASSERT_TRUE(writeFile(path, "\"09:15 - 3/5/24\",\"TCP\",\"10.0.0.2\",\"50000\",\"192.0.2.9\","
                                "\"80\",\"http\",\"BLOCKED CONNECTION\"\r\n"));
    prompter.files = {QString(), path, path};
    action("mnuOpenLogFile")->trigger(); // cancelled
    EXPECT_EQ(windows->logViewer(), nullptr);
    action("mnuOpenLogFile")->trigger();
    ASSERT_EQ(prompter.calls.size(), 2);
    EXPECT_EQ(prompter.calls[1].text, language.text(QStringLiteral("Main"), 104));
    EXPECT_EQ(prompter.calls[1].filter, QStringLiteral("Tarvok Log File|*.tvl"));
    FrmLog* viewer = windows->logViewer();
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(viewer->windowTitle(), language.text(QStringLiteral("Log"), 1) + " - " + path);
    EXPECT_FALSE(viewer->list()->model()->index(0, 0).data(Qt::DecorationRole).isNull());
    action("mnuOpenLogFile")->trigger();
    EXPECT_EQ(windows->logViewer(), viewer);
    EXPECT_EQ(viewer->model()->rowCount(), 1); // the file read once, not appended twice
}

TEST_F(ShellWindowsTest, UnreadableLogFileIsReportedNotShownEmpty) {
    EXPECT_FALSE(windows->showLogFile(dir.filePath(QStringLiteral("Logs/missing.tvl"))));
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_TRUE(prompter.messages()[0].text.contains(QStringLiteral("missing.tvl")));
    EXPECT_EQ(windows->logViewer(), nullptr);
}

namespace {

// An HTTP server on 127.0.0.2 inside the test's own network namespace that answers every
// request with one status and body, or holds the connection without answering.
class VersionServer : public QObject {
public:
    VersionServer() {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    m_request += socket->readAll();
                    if (!m_request.contains("\r\n\r\n") || silent)
                        return;
                    socket->write("HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\n"
                                  "Content-Length: " + QByteArray::number(body.size()) +
                                  "\r\nConnection: close\r\n\r\n" + body);
                    socket->disconnectFromHost();
                });
            }
        });
    }
    bool listen() { return m_server.listen(QHostAddress(QStringLiteral("127.0.0.2")), 0); }
    QUrl url() const {
        return QUrl(QStringLiteral("http://127.0.0.2:%1/tarvok.txt").arg(m_server.serverPort()));
    }

    QByteArray status = "200 OK";
    QByteArray body;
    bool silent = false;

private:
    QTcpServer m_server;
    QByteArray m_request;
};

} // namespace

TEST_F(ShellWindowsTest, UpdateCheckAnswersFromTheVersionFileOnlyOnSuccess) {
    struct Case {
        QByteArray status;
        QByteArray body;
        UpdateCheck::Outcome outcome;
    };
    using O = UpdateCheck::Outcome;
    const Case cases[] = {
        {"200 OK", "3.0", O::UpToDate}, {"200 OK", "3.1", O::Newer},
        {"200 OK", "4.0", O::Newer},    {"200 OK", "2.9", O::UpToDate},
        {"200 OK", "4.2", O::Newer},    {"200 OK", "4", O::Newer}, // one character: 4.4
        {"200 OK", "x.y", O::UpToDate}, // not digits: 0.0
        // An error page is not a version file, whatever it holds.
        {"404 Not Found", "4.2", O::Failed}, {"500 Internal Server Error", "9.9", O::Failed},
    };
    QList<QUrl> opened;
    windows->setUrlOpener([&](const QUrl& url) { opened.append(url); });
    windows->setHomePage(QUrl(QStringLiteral("https://home.test/")));
    for (const Case& c : cases) {
        VersionServer server;
        ASSERT_TRUE(server.listen());
        server.status = c.status;
        server.body = c.body;
        windows->setVersionFile(server.url());
        prompter.calls.clear();
        // No on the offer of 3.1 opens nothing; Yes opens the home page.
        prompter.answers = {c.body == "3.1" ? Prompter::No : Prompter::Yes};
        QSignalSpy answered(windows->updateCheck(), &UpdateCheck::answered);
        action("mnuCheckUpdate")->trigger();
        ASSERT_TRUE(answered.wait(5000)) << c.body.constData();
        EXPECT_EQ(answered[0][0].value<UpdateCheck::Outcome>(), c.outcome) << c.body.constData();
        ASSERT_EQ(prompter.messages().size(), 1) << c.body.constData();
        const auto shown = prompter.messages()[0];
        switch (c.outcome) {
        case O::UpToDate:
            EXPECT_EQ(shown.text, language.text(QStringLiteral("Main"), 107));
            EXPECT_EQ(shown.style, Prompter::Information);
            break;
        case O::Newer:
            EXPECT_EQ(shown.style, Prompter::Question);
            EXPECT_TRUE(shown.text.contains(language.text(QStringLiteral("About"), 2) + " " +
                                            QString::fromLatin1(c.body) + "\r\n\r\n"));
            break;
        default:
            EXPECT_TRUE(shown.text.contains(QString::fromLatin1(c.status.left(3))));
            EXPECT_NE(shown.text, language.text(QStringLiteral("Main"), 107));
            break;
        }
    }
    EXPECT_EQ(opened.size(), 3);
    EXPECT_EQ(opened.value(0), QUrl(QStringLiteral("https://home.test/")));
}

TEST_F(ShellWindowsTest, UpdateCheckWithoutAnAnswerShowsNothing) {
    QList<QUrl> opened;
    windows->setUrlOpener([&](const QUrl& url) { opened.append(url); });
    VersionServer silent;
    ASSERT_TRUE(silent.listen());
    silent.silent = true;
    // Nothing listens on 127.0.0.3; the second server accepts and never answers.
    for (const QUrl& url : {QUrl(QStringLiteral("http://127.0.0.3:9/tarvok.txt")), silent.url()}) {
        windows->setVersionFile(url);
        QSignalSpy answered(windows->updateCheck(), &UpdateCheck::answered);
        windows->checkForUpdates();
        ASSERT_TRUE(answered.wait(UpdateCheck::TimeoutMs + 3000));
        EXPECT_EQ(answered[0][0].value<UpdateCheck::Outcome>(), UpdateCheck::Outcome::NoAnswer);
    }
    EXPECT_TRUE(prompter.calls.isEmpty());
    EXPECT_TRUE(opened.isEmpty());
}

TEST_F(ShellWindowsTest, AboutBoxFromMenuToolbarAndTray) {
    action("mnuAbout")->trigger();
    FrmAbout* about = windows->about();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->parentWidget(), &window);
    EXPECT_EQ(about->windowTitle(), language.text(QStringLiteral("About"), 1));
    EXPECT_EQ(about->findChild<QLabel*>(QStringLiteral("lblVer_JP"))->text(), QStringLiteral("3.0"));
    EXPECT_TRUE(about->findChild<QLabel*>(QStringLiteral("lblLink"))->text().contains(
        ShellWindows::defaultHomePage().toString()));
    action("tbAbout")->trigger();
    EXPECT_EQ(windows->about(), about); // one box, brought forward
    QTest::keyClick(about, Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(windows->about(), nullptr);
    emit tray.aboutRequested();
    ASSERT_NE(windows->about(), nullptr);
    windows->about()->findChild<QPushButton*>(QStringLiteral("cmdClose"))->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(windows->about(), nullptr);
}

TEST_F(ShellWindowsTest, HelpOpensOnTheContentsAndItsSearchFindsThePolicyPage) {
    const QString built = QStringLiteral(TARVOK_TEST_LANGUAGE_DIR "/../tarvok.qch");
    ASSERT_TRUE(QFile::copy(built, dir.filePath(QStringLiteral("tarvok.qch")))) << built.toStdString();
    action("mnuHelpF1")->trigger();
    HelpWindow* help = windows->helpWindow();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_TRUE(prompter.calls.isEmpty());
    EXPECT_EQ(help->tabs()->currentIndex(), 0);
    ASSERT_TRUE(QTest::qWaitFor([help] { return !help->currentPage().isEmpty(); }, 5000));
    EXPECT_TRUE(help->currentPage().path().endsWith(QStringLiteral("/index.html")));

    QSignalSpy finished(help->engine()->searchEngine(), &QHelpSearchEngine::searchingFinished);
    help->search(QStringLiteral("policy"));
    ASSERT_TRUE(finished.wait(10000));
    QStringList pages;
    const int count = help->engine()->searchEngine()->searchResultCount();
    for (const QHelpSearchResult& result : help->engine()->searchEngine()->searchResults(0, count))
        pages << result.url().fileName();
    EXPECT_TRUE(pages.contains(QStringLiteral("policy.html"))) << pages.join(' ').toStdString();
}

TEST_F(ShellWindowsTest, HelpWithoutAReadableFileShowsTheMessage) {
    settings.setValue(QStringLiteral("Language"), QStringLiteral("Japanese"));
    // Missing, then present but not a help file.
    for (int attempt = 0; attempt < 2; ++attempt) {
        prompter.calls.clear();
        windows->openHelp();
        EXPECT_EQ(windows->helpWindow(), nullptr);
        ASSERT_EQ(prompter.messages().size(), 1);
        EXPECT_EQ(prompter.messages()[0].text, language.text(QStringLiteral("Main"), 103));
        EXPECT_EQ(prompter.messages()[0].title, language.text(QStringLiteral("Add"), 23));
        EXPECT_EQ(prompter.messages()[0].style, Prompter::Critical);
        ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("tarvok_jp.qch")), "not a help file"));
    }
}
