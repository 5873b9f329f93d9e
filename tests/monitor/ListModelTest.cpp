#include "monitor/ConnectionListModel.h"
#include "monitor/ConnectionMonitor.h"
#include "monitor/FileProperties.h"
#include "monitor/ListSorting.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTreeView>

using namespace tarvok;

namespace {

ListRow row(int n) {
    ListRow r;
    r.cells[0] = QStringLiteral("row %1").arg(n);
    r.cells[2] = QString::number(n);
    r.tag = n;
    return r;
}

} // namespace

TEST(ListSorting, HeaderClicksFlipTheOrderOfTheWholeList) {
    // The first click sorts descending; another column flips again instead of starting
    // ascending; a rebuild keeps the order.
    ListSortState state;
    const struct { int column; bool rebuild; int order, key; } clicks[] = {
        {3, false, 1, 2}, {3, false, 0, 2}, {5, false, 1, 4}, {2, true, 1, 1}};
    for (const auto& c : clicks) {
        c.rebuild ? SortListViewAuto(state, c.column) : SortListView(state, c.column);
        EXPECT_EQ(std::tuple(state.order, state.key), std::tuple(c.order, c.key)) << c.column;
    }

    // Texts equal but for case take one order, whatever order they arrive in.
    platform::SockDiag diag;
    ConnectionTables tables{diag};
    ConnectionMonitor monitor{tables};
    for (const QStringList& arrival : {QStringList{"bash", "Bash", "BASH"}, {"Bash", "BASH", "bash"}}) {
        std::vector<ListRow> rows;
        for (const QString& name : arrival)
            rows.push_back(ListRow{{name}, 0, {}});
        monitor.perConnectionModel()->update(rows);
        QStringList sorted;
        for (int click = 0; click < 2; ++click, sorted.clear()) { // descending, then ascending
            monitor.columnClicked(ConnectionMonitor::View::PerConnection, 0);
            for (const ListRow& row : monitor.perConnectionModel()->rows())
                sorted.append(row.cells[0]);
            const QStringList ascending{"BASH", "Bash", "bash"};
            EXPECT_EQ(sorted, click ? ascending : QStringList(ascending.rbegin(), ascending.rend()));
        }
    }
}

// Rows come and go without a reset, so a view keeps its scroll position and selection.
TEST(ConnectionListModel, AnUpdateChangesOnlyTheDifferenceAndAViewKeepsItsPlace) {
    ConnectionListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    std::vector<ListRow> rows;
    for (int i = 0; i < 2000; ++i)
        rows.push_back(row(i));
    model.update(rows);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    rows.insert(rows.begin() + 4, row(5000));
    model.update(rows);
    ASSERT_EQ(inserted.size(), 1);
    EXPECT_EQ(inserted[0][1].toInt(), 4);
    EXPECT_EQ(changed.size(), 0) << "rows around the new one are untouched";

    QTreeView view;
    view.setModel(&model);
    view.resize(400, 300);
    view.show();
    view.scrollTo(model.index(500, 0), QAbstractItemView::PositionAtTop);
    view.setCurrentIndex(model.index(520, 0));
    const int scrolled = view.verticalScrollBar()->value();
    ASSERT_GT(scrolled, 0);
    rows.erase(rows.begin() + 1990, rows.begin() + 1992);
    rows[2].cells[6] = QStringLiteral("CLOSE_WAIT");
    model.update(rows);
    EXPECT_EQ(removed.size(), 1);
    ASSERT_EQ(changed.size(), 1) << "a row changed in place is announced";
    EXPECT_LE(changed[0][0].toModelIndex().row(), 2);
    EXPECT_GE(changed[0][1].toModelIndex().row(), 2);
    EXPECT_TRUE(model.rows() == rows);
    EXPECT_EQ(view.verticalScrollBar()->value(), scrolled);
    EXPECT_EQ(view.currentIndex().row(), 520);

    // Rows erased from the middle while others are appended keep the model's contract (the
    // tester fails on a removal announced at the wrong place).
    for (const auto& [erased, appended] : {std::pair{2, 1}, std::pair{1, 3}}) {
        rows.erase(rows.begin() + 5, rows.begin() + 5 + erased);
        for (int i = 0; i < appended; ++i)
            rows.push_back(row(100 + int(rows.size())));
        model.update(rows);
        EXPECT_TRUE(model.rows() == rows);
    }
}

TEST(FileProperties, ReadsFactsAndTheOwningPackageAlsoUnderAMergedUsrName) {
    const FileFacts facts = FileFacts::of("/usr/bin/sleep");
    EXPECT_GT(facts.size, 0);
    EXPECT_TRUE(facts.permissions.startsWith("-rwx"));
    EXPECT_FALSE(FileFacts::of("/no/such/file").exists);
    const QString output =
        "diversion by x from: /bin/sh\ncoreutils: /usr/bin/sleep\ncoreutils: /usr/bin\n";
    EXPECT_EQ(packageFromDpkgOutput(output, {"/usr/bin/sleep"}), "coreutils");
    EXPECT_EQ(packageFromDpkgOutput(output, {"/usr/bin/true"}), QString());

    // A program of a merged-/usr system is found under the name its package lists.
    QTemporaryDir root;
    QDir(root.path()).mkpath("usr/bin");
    QFile::link(root.path() + "/usr/bin", root.path() + "/bin");
    const QString base = root.path() + '/';
    EXPECT_EQ(packagePaths("/usr/bin/sleep", base), (QStringList{"/usr/bin/sleep", "/bin/sleep"}));
    EXPECT_EQ(packagePaths("/usr/sbin/x", base), QStringList{"/usr/sbin/x"})
        << "no /sbin link there";
    EXPECT_EQ(packageFromDpkgOutput("coreutils: /bin/sleep\n", {"/usr/bin/sleep", "/bin/sleep"}),
              "coreutils");
}

// A properties dialog closed before dpkg-query answered destroyed the running query, which Qt
// reports on standard error.
TEST(FileProperties, AQueryDestroyedBeforeItsAnswerEndsDpkgQueryQuietly) {
    static QStringList warnings;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { warnings << text; });
    {
        PackageQuery query;
        query.start("/usr/bin/sleep");
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}
