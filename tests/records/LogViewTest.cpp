#include "records/EventList.h"
#include "records/FrmLog.h"
#include "records/LogFileModel.h"
#include "records/LogText.h"
#include "records/LogSort.h"

#include "fakes/FakeLocaliser.h"
#include "support/ScratchFiles.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QTreeView>

#include <gtest/gtest.h>

using namespace tarvok;

namespace {

EventRecord blocked() {
    return {"09:15 - 3/5/24", "TCP", "192.168.1.10", "50000", "203.0.113.7", "443", "https",
            "BLOCKED CONNECTION", "(3)"};
}

EventRecord withColumn(int column, const QString& text) {
    EventRecord r = blocked();
    QString* fields[] = {&r.time,          &r.protocol,   &r.localAddress, &r.localPort,
                         &r.remoteAddress, &r.remotePort, &r.service,      &r.status};
    *fields[column] = text;
    return r;
}

const QLocale usLocale(QLocale::English, QLocale::UnitedStates);

QStringList columnTexts(const LogFileModel& model, int column) {
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts.append(model.index(row, column).data().toString());
    return texts;
}

} // namespace

TEST(RecordText, EventListAndViewerDifferOnlyInTheLocalPortLabel) {
    const QString expected = QStringLiteral(
        "Time - Date: 09:15 - 3/5/24\r\nProtocol: TCP\r\nLocal Address: 192.168.1.10\r\n"
        "Local Port :50000\r\nRemote Address: 203.0.113.7\r\nRemote Port: 443\r\n"
        "Service: https\r\nStatus: BLOCKED CONNECTION");
    EXPECT_EQ(recordText(blocked(), RecordTextStyle::EventList), expected);
    QString viewer = expected;
    viewer.replace(QStringLiteral("Local Port :"), QStringLiteral("Local Port: "));
    EXPECT_EQ(recordText(blocked(), RecordTextStyle::LogViewer), viewer);
}

TEST(TypedSortOrder, OrdersEachKindByValueOnAnyColumn) {
    struct Case {
        SortKind kind;
        QStringList texts;
        QStringList ascending;
    };
    const Case cases[] = {
        // Non-numbers sort first and keep their text.
        {SortKind::Number,
         {"10", "x", "-1", "2.5", "0", "-5"},
         {"x", "-5", "-1", "0", "2.5", "10"}},
        {SortKind::Text, {"10", "9", "b", "A"}, {"10", "9", "A", "b"}},
        // Day before month in text order, but by date the year and month lead.
        {SortKind::Date,
         {"9:05 AM - 2/1/24", "10:00 AM - 1/15/24", "9:00 AM - 1/15/24", "junk"},
         {"junk", "9:00 AM - 1/15/24", "10:00 AM - 1/15/24", "9:05 AM - 2/1/24"}},
    };
    for (const Case& c : cases) {
        const auto order = typedSortOrder(
            c.texts.size(), [&](int row) { return c.texts.at(row); }, c.kind, true, usLocale);
        QStringList sorted;
        for (int row : order)
            sorted.append(c.texts.at(row));
        EXPECT_EQ(sorted, c.ascending) << static_cast<int>(c.kind);
        const auto down = typedSortOrder(
            c.texts.size(), [&](int row) { return c.texts.at(row); }, c.kind, false, usLocale);
        EXPECT_EQ(c.texts.at(down.front()), c.ascending.back());
    }
}

TEST(TypedSortOrder, ReadsBackTheEventTimesThatTheLogWrites) {
    // Whatever the desktop's formats, the time written into a record sorts by its moment.
    const QDateTime moment(QDate(2026, 12, 6), QTime(21, 7));
    for (const char* name : {"en_US", "de_DE", "ja_JP", "ru_RU", "en_GB", "C"}) {
        const QLocale locale{QString::fromLatin1(name)};
        const QString written = EventList::eventTime(moment, locale);
        EXPECT_EQ(eventTimeSortKey(written, locale), QStringLiteral("20261206210700"))
            << name << " " << written.toStdString();
    }
}

TEST(LogFileModel, EachColumnKeepsItsOwnDirectionAndItsKind) {
    LogFileModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setLocale(usLocale);
    model.setRecords({withColumn(3, "9"), withColumn(3, "10"), withColumn(3, "100")});
    model.sortByClick(3);
    EXPECT_EQ(columnTexts(model, 3), (QStringList{"9", "10", "100"}));
    model.sortByClick(3);
    EXPECT_EQ(columnTexts(model, 3), (QStringList{"100", "10", "9"}));
    // Another column starts ascending: the remote address sorts as text.
    model.sortByClick(4);
    EXPECT_TRUE(model.nextAscending(3));
    EXPECT_FALSE(model.nextAscending(4));
    EXPECT_EQ(model.index(0, 0).data(LogFileModel::ImageRole).toInt(), 4);
}

TEST(FrmLog, CopiesTheSelectedRecordOrOnlyItsRemoteAddress) {
    FrmLog viewer;
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("before"));
    viewer.copyRow(); // an empty list copies nothing
    EXPECT_EQ(clipboard->text(), QStringLiteral("before"));

    EventRecord other = blocked();
    other.remoteAddress = QStringLiteral("198.51.100.4");
    other.status = QStringLiteral("ESTABLISHED");
    viewer.setRecords({other, blocked()});
    viewer.list()->setCurrentIndex(viewer.list()->model()->index(1, 0));
    viewer.findChild<QAction*>(QStringLiteral("RemA"))->trigger();
    EXPECT_EQ(clipboard->text(), QStringLiteral("203.0.113.7"));
    viewer.findChild<QAction*>(QStringLiteral("Row"))->trigger();
    EXPECT_EQ(clipboard->text(), recordText(blocked(), RecordTextStyle::LogViewer));
}

TEST(FrmLog, TakesItsTextsFromTheLanguageAndSortsOnHeaderClicks) {
    FrmLog viewer;
    viewer.applyLanguage(test::FakeLocaliser());
    EXPECT_EQ(viewer.windowTitle(), QStringLiteral("Log/1"));
    EXPECT_EQ(viewer.list()->model()->headerData(7, Qt::Horizontal).toString(),
              QStringLiteral("Log/9"));
    EXPECT_EQ(viewer.contextMenu()->actions().at(1)->text(), QStringLiteral("Log/11"));

    viewer.setRecords({withColumn(5, "8080"), withColumn(5, "25")});
    emit viewer.list()->header()->sectionClicked(5);
    EXPECT_EQ(viewer.list()->model()->index(0, 5).data().toString(), QStringLiteral("25"));
    // Resizing spreads the columns over the new width.
    viewer.resize(1000, 400);
    viewer.show();
    int total = 0;
    for (int c = 0; c < 8; ++c)
        total += viewer.list()->header()->sectionSize(c);
    EXPECT_LE(total, viewer.list()->viewport()->width());
    EXPECT_GT(total, viewer.list()->viewport()->width() * 9 / 10);
}
