#include "shell/ShellWindows.h"

#include "app/AppTestSupport.h"
#include "fakes/FakePrompter.h"
#include "monitor/AlertRows.h"
#include "monitor/AlertWindow.h"
#include "monitor/ResolveWindow.h"
#include "records/EventList.h"
#include "records/FrmLog.h"
#include "records/LogFileModel.h"
#include "records/LogText.h"
#include "settings/FrmPreferences.h"
#include "settings/LanguageFile.h"
#include "settings/Settings.h"
#include "shell/FrmAbout.h"
#include "shell/HelpFile.h"
#include "shell/HelpWindow.h"
#include "shell/MainWindow.h"
#include "shell/TrayIcon.h"
#include "support/Accessibility.h"

#include <QAbstractSpinBox>
#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QHelpEngine>
#include <QHelpSearchEngine>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

// A program folder with the built language files, a main window and the commands on it.
class ShellWindowsTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid() && QDir(dir.path()).mkpath(QStringLiteral("Logs")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        language.setPath(dir.file(QStringLiteral("Language/%1.lng").arg(GetParam())));
        settings.setValue(QStringLiteral("Language"), QString::fromLatin1(GetParam()));
        window.setModels(&rules, &eventList, &history);
        windows = std::make_unique<ShellWindows>(ShellWindows::Parts{
            dir.path(), &window, &eventList, &settings, &language, &prompter, &tray});
        windows->setUrlOpener([this](const QUrl& url) { opened.append(url); });
    }
    QAction* action(const char* name) { return window.action(QLatin1String(name)); }
    QString text(const char* section, int key) { return language.text(section, key); }
    // The window is shown, no control is nameless, and each caption of keys names one of role.
    void expectNamed(QWidget* w, QAccessible::Role role = QAccessible::NoRole,
                     const char* section = "", std::initializer_list<int> keys = {}) {
        const QList<Control> controls = walk(QAccessible::queryAccessibleInterface(w));
        EXPECT_FALSE(controls.isEmpty()) << w->objectName().toStdString();
        for (const auto& [role, name] : controls)
            EXPECT_FALSE(name.isEmpty()) << w->objectName().toStdString() << " role " << role;
        for (int key : keys)
            EXPECT_TRUE(controls.contains(Control{role, text(section, key).remove(u'&')}))
                << section << " " << key;
    }

    ProgramFolder dir;
    QTemporaryDir config;
    Settings settings{dir.path()};
    EventList eventList{dir.path(), settings};
    QStandardItemModel rules, history;
    LanguageFile language;
    FakePrompter prompter;
    TrayIcon tray;
    MainWindow window;
    std::unique_ptr<ShellWindows> windows;
    QList<QUrl> opened;
};

// Answers each HTTP request on 127.0.0.2 with one status and body; never without a status.
// The body "endless" is 16 MB of "3.0" lines without a length, as a stream that never ends.
class VersionServer : public QTcpServer {
public:
    VersionServer(const QByteArray& status, const QByteArray& body) {
        connect(this, &QTcpServer::newConnection, this, [this, status, body] {
            while (QTcpSocket* socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [socket, status, body] {
                    if (status.isEmpty() || !socket->peek(1 << 16).contains("\r\n\r\n"))
                        return;
                    socket->readAll();
                    if (body == "endless") {
                        socket->write("HTTP/1.1 " + status + "\r\nConnection: close\r\n\r\n");
                        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
                            static const QByteArray chunk = QByteArray("3.0\n").repeated(1 << 14);
                            if (socket->property("sent").toLongLong() >= (16 << 20))
                                return socket->disconnectFromHost();
                            socket->setProperty("sent", socket->property("sent").toLongLong() +
                                                            socket->write(chunk));
                        });
                        return;
                    }
                    socket->write("HTTP/1.1 " + status +
                                  "\r\nContent-Length: " + QByteArray::number(body.size()) +
                                  "\r\nConnection: close\r\n\r\n" + body);
                    socket->disconnectFromHost();
                });
        });
        EXPECT_TRUE(listen(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    }
    QUrl url() const { return QStringLiteral("http://127.0.0.2:%1/v.txt").arg(serverPort()); }
};

} // namespace

TEST_P(ShellWindowsTest, LogTabMenuCopiesTheSelectedRecordAndClearsAfterWriting) {
    for (const char* remote : {"192.0.2.1", "192.0.2.2"})
        eventList.append({"09:15 - 3/5/24", "TCP", "10.0.0.2", "5", remote, "80", "", "-", ""},
                         true);
    QTreeView* list = window.list(QStringLiteral("ListLog"));
    list->setCurrentIndex(list->model()->index(1, 0));
    action("mnuCopyText")->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              recordText(eventList.record(1), RecordTextStyle::EventList));

    // Cleared without a question, once the records not yet written are in the day's file.
    action("mnuClearLogWindow")->trigger();
    EXPECT_EQ(eventList.count(), 0);
    EXPECT_TRUE(prompter.calls.isEmpty());
    EXPECT_EQ(test::readFile(eventList.dayFilePath()).count("\r\n"), 2);
}

TEST_P(ShellWindowsTest, OpenLogFileShowsTheFileInOneViewerOrSaysItCannot) {
    const QString path = dir.file(QStringLiteral("day.tvl"));
    ASSERT_TRUE(writeFile(path, "\"09:15 - 3/5/24\",\"TCP\",\"10.0.0.2\",\"50000\",\"192.0.2.9\","
                                "\"80\",\"http\",\"BLOCKED CONNECTION\"\r\n"));
    prompter.files = {QString(), dir.file(QStringLiteral("missing.tvl")), path, path};
    action("mnuOpenLogFile")->trigger(); // cancelled
    action("mnuOpenLogFile")->trigger();
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_TRUE(prompter.messages()[0].text.contains(QStringLiteral("missing.tvl")));
    EXPECT_EQ(windows->logViewer(), nullptr); // not shown empty
    EXPECT_EQ(prompter.calls[1].text, text("Main", 104));
    EXPECT_EQ(prompter.calls[1].filter, QStringLiteral("Tarvok Log File|*.tvl"));
    action("mnuOpenLogFile")->trigger();
    QPointer<FrmLog> viewer = windows->logViewer();
    ASSERT_TRUE(viewer);
    EXPECT_EQ(viewer->windowTitle(), text("Log", 1) + " - " + path);
    EXPECT_FALSE(viewer->list()->model()->index(0, 0).data(Qt::DecorationRole).isNull());
    expectNamed(viewer);
    action("mnuOpenLogFile")->trigger();
    EXPECT_EQ(windows->logViewer(), viewer);
    EXPECT_EQ(viewer->model()->rowCount(), 1); // the file read once, not appended twice
    QTest::keyClick(viewer, Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(!viewer || !viewer->isVisible());
}

// The minor digit was compared with >=: 4.1 was not newer than 3.2.
TEST(UpdateCheckTest, VersionTextIsFirstDigitMajorAndLastDigitMinor) {
    // One character is both digits (4.4); a character that is not a digit counts as 0.
    const std::tuple<const char*, ProgramVersion, bool> cases[] = {
        {"3.0", {3, 0}, false},     {"3.1", {3, 0}, true}, {"4.0", {3, 0}, true},
        {"2.9", {3, 0}, false},     {"4", {3, 0}, true},   {"x.y", {3, 0}, false},
        {" 3.1\r\n", {3, 0}, true}, {"", {3, 0}, false},   {"4.1", {3, 2}, true},
        {"3.1", {3, 2}, false},     {"3.3", {3, 2}, true}};
    for (const auto& [version, current, newer] : cases)
        EXPECT_EQ(isNewerVersion(QString::fromLatin1(version), current), newer)
            << '"' << version << "\" against " << current.major << '.' << current.minor;
}

// A captive portal's page (status 200) said "up to date"; an endless answer grew without a
// bound and then did too. Without a network the check showed nothing, ever.
TEST_P(ShellWindowsTest, AnErrorPageACaptivePortalAnEndlessAnswerOrNoAnswerIsAFailedCheck) {
    // Only a short version number with a success status is a version file. Without an answer
    // (nothing listens on 127.0.0.3, or the server never answers) the check failed too. The
    // up-to-date message is the whole text; the others hold the part given.
    const QString offer = text("About", 2) + " %1\r\n\r\n";
    const std::tuple<QByteArray, QByteArray, int, QString> cases[] = {
        {"200 OK", "3.0", Prompter::Information, text("Main", 107)},
        {"200 OK", "3.1", Prompter::Question, offer.arg("3.1")},
        {"200 OK", "4.2", Prompter::Question, offer.arg("4.2")},
        {"404 Not Found", "4.2", Prompter::Exclamation, "404"},
        {"200 OK", "<html><title>Hotel Wi-Fi</title></html>", Prompter::Exclamation, "Hotel Wi-Fi"},
        {"200 OK", "endless", Prompter::Exclamation, "3.0 3.0"},
        {"200 OK", "", Prompter::Exclamation, "\"\""},
        {"", "unreachable", Prompter::Exclamation, "127.0.0.3"},
        {"", "silent", Prompter::Exclamation, "127.0.0.2"}};
    windows->setHomePage(QUrl(QStringLiteral("https://home.test/")));
    for (const auto& [status, body, style, part] : cases) {
        SCOPED_TRACE((status + " " + body).constData());
        VersionServer server(status, body);
        windows->setVersionFile(body == "unreachable" ? QUrl("http://127.0.0.3:9/v.txt")
                                                      : server.url());
        prompter.calls.clear();
        // No on the offer of 3.1 opens nothing; Yes on 4.2 opens the home page.
        prompter.answers = {body == "3.1" ? Prompter::No : Prompter::Yes};
        QSignalSpy answered(windows->updateCheck(), &UpdateCheck::answered);
        action("mnuCheckUpdate")->trigger();
        ASSERT_TRUE(answered.wait(UpdateCheck::TimeoutMs + 3000));
        ASSERT_EQ(prompter.messages().size(), 1);
        for (const auto& shown : prompter.messages()) {
            EXPECT_EQ(shown.style, style);
            EXPECT_TRUE(style == Prompter::Information ? shown.text == part
                                                       : shown.text.contains(part))
                << shown.text.toStdString();
        }
    }
    EXPECT_EQ(opened, QList<QUrl>{QUrl(QStringLiteral("https://home.test/"))});
}

TEST_P(ShellWindowsTest, PreferencesNameEveryControlAndTabFromTheTopBox) {
    action("mnuPreferences")->trigger();
    FrmPreferences* dialog = windows->preferences();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), text("Preferences", 1));
    expectNamed(dialog, QAccessible::CheckBox, "Preferences", {2, 3, 4, 5, 6, 7});
    expectNamed(dialog, QAccessible::PageTab, "Preferences", {8, 9});
    expectNamed(dialog, QAccessible::EditableText, "Preferences", {10, 12});
    expectNamed(dialog, QAccessible::PushButton, "Tray", {5});
    // The keyboard walks the boxes from the top, then the tab strip, the fields and OK.
    QStringList order;
    QWidget* widget = dialog->findChild<QCheckBox*>(QStringLiteral("ChkStartUp"));
    for (int i = 0; i < 20 && widget; ++i, widget = widget->nextInFocusChain()) {
        // A spin box's own field is where its focus goes, not a stop of its own.
        const bool proxy = qobject_cast<QAbstractSpinBox*>(widget->parentWidget()) != nullptr;
        if (widget->focusPolicy() & Qt::TabFocus && !proxy)
            order << widget->objectName();
    }
    EXPECT_EQ(order.mid(0, 12),
              (QStringList{"ChkStartUp", "ChkMinimized", "ChkPopup", "ChkManuallyClose",
                           "ChkDBClick", "ChkFilePropertiesDBClick", "ChkJournal",
                           "ChkKeepPolicy", "ChkAskUnknownPrograms", "txtAskTimeout",
                           "cboAskDefault", "TabStrip1"}));
}

TEST_P(ShellWindowsTest, TheMainWindowAlertAndResolverNameEveryListAndField) {
    window.applyLanguage(language);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    for (const auto view : {MainWindow::ConnectionView::PerConnection,
                            MainWindow::ConnectionView::PerApplication}) {
        window.setConnectionView(view);
        for (int tab = 0; tab < MainWindow::PageCount; ++tab) {
            window.tabStrip()->setCurrentIndex(tab);
            expectNamed(&window, QAccessible::PageTab, "Main", {44, 45, 46, 47});
        }
    }
    AlertRows rows(prompter, language);
    AlertWindow alert(rows, language, &window);
    rows.add(QStringLiteral("/usr/bin/one"), QStringLiteral("127.0.0.2"), 1);
    alert.announce();
    expectNamed(&alert, QAccessible::Tree, "Alert", {1});
    ResolveWindow resolver(&prompter, language);
    resolver.resolve(QStringLiteral("127.0.0.2"));
    expectNamed(&resolver, QAccessible::EditableText, "Resolve", {2, 3});
}

TEST_P(ShellWindowsTest, OneAboutBoxFromMenuAndToolbar) {
    action("mnuAbout")->trigger();
    FrmAbout* about = windows->about();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->parentWidget(), &window);
    EXPECT_EQ(about->windowTitle(), text("About", 1));
    expectNamed(about, QAccessible::PushButton, "About", {6});
    EXPECT_EQ(about->findChild<QLabel*>("lblVer_JP")->text(), QStringLiteral("3.0"));
    EXPECT_TRUE(about->findChild<QLabel*>("lblLink")->text().contains(
        ShellWindows::defaultHomePage().toString()));
    action("tbAbout")->trigger();
    EXPECT_EQ(windows->about(), about); // brought forward
    about->findChild<QPushButton*>(QStringLiteral("cmdClose"))->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(windows->about(), nullptr);
}

TEST_P(ShellWindowsTest, HelpOpensOnTheContentsAndItsSearchFindsThePolicyPage) {
    // The language's own help file: a missing one, and one that is not a help file, are said so.
    const QString path = helpFilePath(dir.path(), QString::fromLatin1(GetParam()));
    for (const int told : {1, 2}) {
        ASSERT_TRUE(told == 1 ? !QFile::exists(path) : writeFile(path, "not a help file"));
        action("mnuHelpF1")->trigger();
        EXPECT_EQ(windows->helpWindow(), nullptr);
        ASSERT_EQ(prompter.messages().size(), told);
        EXPECT_EQ(prompter.messages().last().text, text("Main", 103));
        EXPECT_EQ(prompter.messages().last().title, text("Add", 23));
        EXPECT_EQ(prompter.messages().last().style, Prompter::Critical);
    }
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::copy(TARVOK_TEST_LANGUAGE_DIR "/../" + QFileInfo(path).fileName(), path));
    action("mnuHelpF1")->trigger();
    QPointer<HelpWindow> help = windows->helpWindow();
    ASSERT_TRUE(help);
    EXPECT_EQ(help->windowTitle(), text("Main", 191));
    expectNamed(help, QAccessible::PageTab, "Main", {192, 193, 194});
    EXPECT_EQ(help->tabs()->currentIndex(), 0);
    ASSERT_TRUE(QTest::qWaitFor([help] { return !help->currentPage().isEmpty(); }, 5000));
    EXPECT_TRUE(help->currentPage().path().endsWith(QStringLiteral("/index.html")));

    QHelpSearchEngine* search = help->engine()->searchEngine();
    QSignalSpy finished(search, &QHelpSearchEngine::searchingFinished);
    help->search(QStringLiteral("policy"));
    ASSERT_TRUE(finished.wait(10000));
    QStringList pages;
    for (const QHelpSearchResult& result : search->searchResults(0, search->searchResultCount()))
        pages << result.url().fileName();
    EXPECT_TRUE(pages.contains(QStringLiteral("policy.html"))) << pages.join(' ').toStdString();
    QTest::keyClick(help, Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(help);
}

INSTANTIATE_TEST_SUITE_P(Languages, ShellWindowsTest,
                         ::testing::Values("English", "Japanese", "Russian"));
