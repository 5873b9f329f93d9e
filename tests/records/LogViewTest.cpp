#include "records/EventList.h"
#include "records/FrmLog.h"
#include "records/LogFileModel.h"
#include "records/LogSort.h"
#include "records/LogText.h"

#include "fakes/FakeLocaliser.h"
#include "settings/LanguageFile.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

using namespace tarvok;

namespace {

EventRecord blocked() {
    return {"09:15 - 3/5/24",     "TCP", "192.168.1.10", "50000", "203.0.113.7", "443", "https",
            "BLOCKED CONNECTION", "(3)"};
}

EventRecord withRemotePort(const QString& port) {
    EventRecord r = blocked();
    r.remotePort = port;
    return r;
}

} // namespace

TEST(RecordText, EventListAndViewerDifferOnlyInTheLocalPortLabel) {
    const QString viewer = QStringLiteral(
        "Time - Date: 09:15 - 3/5/24\r\nProtocol: TCP\r\nLocal Address: 192.168.1.10\r\n"
        "Local Port: 50000\r\nRemote Address: 203.0.113.7\r\nRemote Port: 443\r\n"
        "Service: https\r\nStatus: BLOCKED CONNECTION");
    EXPECT_EQ(recordText(blocked(), RecordTextStyle::LogViewer), viewer);
    EXPECT_EQ(recordText(blocked(), RecordTextStyle::EventList),
              QString(viewer).replace("Local Port: ", "Local Port :"));
}

TEST(SortColumn, OrdersEachKindByValueOnAnyColumn) {
    const QLocale usLocale(QLocale::English, QLocale::UnitedStates);
    const struct {
        SortKind kind;
        QStringList texts, ascending;
    } cases[] = {
        {SortKind::Text, {"10", "9", "b", "A"}, {"10", "9", "A", "b"}},
        // Day before month in text order, but by date the year and month lead.
        {SortKind::Date,
         {"9:05 AM - 2/1/24", "10:00 AM - 1/15/24", "9:00 AM - 1/15/24", "junk"},
         {"junk", "9:00 AM - 1/15/24", "10:00 AM - 1/15/24", "9:05 AM - 2/1/24"}},
    };
    for (const auto& c : cases) {
        QStringList sorted;
        for (int row : SortColumn(
                 c.texts.size(), [&](int row) { return c.texts.at(row); }, c.kind, true, usLocale))
            sorted.append(c.texts.at(row));
        EXPECT_EQ(sorted, c.ascending) << static_cast<int>(c.kind);
    }
}

// Both port columns sort by value: the local port sorted as text (9, 10, 100), and numbers of
// ten digits or more sorted as text behind a key padded to ten digits. Non-numbers sort first.
TEST(LogFileModel, PortColumnsSortByValueAtAnyLength) {
    const QStringList ports{"100", "10000000000", "x", "9", "-1", "9999999999", "2.5", "10"};
    const QStringList ascending{"x", "-1", "2.5", "9", "10", "100", "9999999999", "10000000000"};
    for (const int column : {3, 5}) {
        LogFileModel model;
        QList<EventRecord> records;
        for (const QString& port : ports) {
            records.append(withRemotePort(port));
            records.last().localPort = port;
        }
        model.setRecords(records);
        model.sortBy(column, true);
        QStringList sorted;
        for (int row = 0; row < model.rowCount(); ++row)
            sorted.append(model.index(row, column).data().toString());
        EXPECT_EQ(sorted, ascending) << column;
    }
}

// Whatever the desktop's formats, the time written into a record sorts by its moment.
TEST(SortColumn, ReadsBackTheEventTimesThatTheLogWrites) {
    const QDateTime moment(QDate(2026, 12, 6), QTime(21, 7));
    for (const char* name : {"en_US", "de_DE", "ja_JP", "ru_RU", "en_GB", "C"}) {
        const QLocale locale{QString::fromLatin1(name)};
        const QString written = EventList::eventTime(moment, locale);
        EXPECT_EQ(eventTimeSortKey(written, locale), QStringLiteral("20261206210700"))
            << name << " " << written.toStdString();
    }
}

// Texts from the language; each header click sorts its column by kind, in the column's own
// direction; the menu copies the selected record or only its remote address; a resize spreads
// the columns over the new width.
TEST(FrmLog, SortsOnHeaderClicksCopiesTheSelectedRecordAndFillsItsWidth) {
    FrmLog viewer;
    viewer.applyLanguage(test::FakeLocaliser());
    EXPECT_EQ(viewer.list()->model()->headerData(7, Qt::Horizontal).toString(), "Log/9");
    EXPECT_EQ(viewer.contextMenu()->actions().at(1)->text(), QStringLiteral("Log/11"));
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("before"));
    viewer.findChild<QAction*>(QStringLiteral("Row"))->trigger(); // an empty list copies nothing
    EXPECT_EQ(clipboard->text(), QStringLiteral("before"));

    QAbstractItemModelTester tester(viewer.model(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    EventRecord other = withRemotePort("100");
    other.remoteAddress = QStringLiteral("198.51.100.4");
    viewer.setRecords({withRemotePort("9"), other, withRemotePort("10")});
    QHeaderView* header = viewer.list()->header();
    emit header->sectionClicked(5);
    EXPECT_EQ(viewer.model()->index(0, 5).data().toString(), "9") << "by number, not by text";
    emit header->sectionClicked(5);
    EXPECT_EQ(viewer.model()->index(0, 5).data().toString(), "100");
    viewer.list()->setCurrentIndex(viewer.model()->index(0, 0));
    viewer.findChild<QAction*>(QStringLiteral("RemA"))->trigger();
    EXPECT_EQ(clipboard->text(), QStringLiteral("198.51.100.4"));
    viewer.findChild<QAction*>(QStringLiteral("Row"))->trigger();
    EXPECT_EQ(clipboard->text(), recordText(other, RecordTextStyle::LogViewer));
    emit header->sectionClicked(4); // another column starts ascending; addresses sort as text
    EXPECT_EQ(viewer.model()->index(0, 4).data().toString(), "198.51.100.4");
    EXPECT_EQ(viewer.model()->index(0, 0).data(LogFileModel::ImageRole).toInt(), 4);

    viewer.resize(1000, 400);
    viewer.show();
    int total = 0;
    for (int c = 0; c < 8; ++c)
        total += header->sectionSize(c);
    EXPECT_LE(total, viewer.list()->viewport()->width());
    EXPECT_GT(total, viewer.list()->viewport()->width() * 9 / 10);
}

// At its own size, in every shipped language: no header is cut ("Remote Por"), nor a time,
// protocol, port or status, also of a record written on another desktop or in another language.
TEST(FrmLog, KeepsHeadersAndKnownTextsWholeAtItsSizeInAnyLanguage) {
    const QDateTime evening(QDate(2026, 12, 28), QTime(22, 58, 58));
    QList<EventRecord> records;
    for (const char* status : {"BLOCKED CONNECTION", "ESTABLISHED", "CLOSED BY USER"})
        records.append({EventList::eventTime(evening, QLocale::system()), "TCP", "10.0.0.2", "65535",
                        "10.0.0.3", "65535", "https", status, "(3)"});
    records.append({"10:58:58 PM - 12/30/2026", "UDP", "10.0.0.2", "65535", "", "", "-",
                    "Не удалось закрыть соединение", "(3)"});
    for (const char* name : {"English", "Japanese", "Russian"}) {
        FrmLog viewer;
        viewer.applyLanguage(LanguageFile(QStringLiteral(TARVOK_TEST_LANGUAGE_DIR "/%1.lng").arg(name)));
        viewer.setRecords(records);
        viewer.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
        const QTreeView* view = viewer.list();
        for (int column = 0; column < LogFileModel::ColumnCount; ++column)
            EXPECT_GE(view->header()->sectionSize(column), view->header()->sectionSizeHint(column))
                << name << " header " << column;
        for (int row = 0; row < records.size(); ++row)
            for (const int column : {0, 1, 3, 5, 7}) {
                const QModelIndex index = view->model()->index(row, column);
                EXPECT_LE(view->sizeHintForIndex(index).width(), view->header()->sectionSize(column))
                    << name << " " << index.data().toString().toStdString();
            }
    }
}
