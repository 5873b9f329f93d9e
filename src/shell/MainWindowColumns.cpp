// The main window's list columns: their widths, which keep short, known texts whole (see
// monitor/ColumnWidths.h), and the widest texts of each kind they measure.
#include "shell/MainWindow.h"

#include "monitor/ColumnWidths.h"
#include "monitor/ConnectionMonitor.h"
#include "records/EventList.h"
#include "shell/MainWindowTables.h"

#include <QHeaderView>
#include <QStyle>
#include <QTimer>
#include <QTreeView>

namespace tarvok {

using namespace mainwindow;

namespace {

// Kinds whose width follows the rows: names of programs, and the history's dates and times,
// which earlier runs wrote in the formats of their day.
bool followsRows(Content content) {
    return content == Content::Program || content == Content::Date || content == Content::Session;
}

bool anyFollowsRows(const QTreeView* list) {
    if (const ListColumns* columns = columnsOf(list->objectName()))
        for (const Column& column : columns->columns)
            if (followsRows(column.content))
                return true;
    return false;
}

} // namespace

void MainWindow::measureColumnTexts(const Localiser* language) {
    const QLocale locale = QLocale::system();
    std::vector<QStringList> texts(static_cast<std::size_t>(Content::Count));
    const auto of = [&texts](Content content) -> QStringList& {
        return texts[static_cast<std::size_t>(content)];
    };
    const auto time = [&locale](const QDateTime& moment) {
        return locale.toString(moment.time(), QLocale::ShortFormat);
    };
    of(Content::Protocol) = widest::protocols();
    of(Content::Address) = widest::addresses();
    of(Content::Port) = widest::ports();
    of(Content::State) = widest::states();
    of(Content::ConnectionTime) = widest::moments(
        [&locale](const QDateTime& moment) { return ConnectionMonitor::timeText(moment, locale); });
    of(Content::EventTime) = widest::moments(
        [&locale](const QDateTime& moment) { return EventList::eventTime(moment, locale); });
    of(Content::Date) = widest::moments([&locale](const QDateTime& moment) {
        return locale.toString(moment.date(), QLocale::ShortFormat);
    });
    of(Content::Session) = widest::moments(
        [&time](const QDateTime& moment) { return time(moment) + QStringLiteral(" - ") + time(moment); });
    of(Content::LogStatus) = widest::recordStatuses(language);
    m_columnTexts = std::move(texts);
}

void MainWindow::wireColumnWidths(QTreeView* list, QWidget* page) {
    // A new model brings new sections at default widths: size them again.
    connect(list->header(), &QHeaderView::sectionCountChanged, this,
            [this, list, page] { applyColumnWidths(list, page->width()); });
    if (!anyFollowsRows(list))
        return;
    // Once the rows have changed, and once for a burst of changes.
    const auto fitLater = [this, list, page] {
        if (list->property("columnFitPending").toBool())
            return;
        list->setProperty("columnFitPending", true);
        QTimer::singleShot(0, list, [this, list, page] {
            list->setProperty("columnFitPending", false);
            applyColumnWidths(list, page->width());
        });
    };
    QAbstractItemModel* rows = list->model();
    connect(rows, &QAbstractItemModel::rowsInserted, this, fitLater);
    connect(rows, &QAbstractItemModel::dataChanged, this, fitLater);
    connect(rows, &QAbstractItemModel::modelReset, this, fitLater);
}

void MainWindow::applyColumnWidths(QWidget* page) {
    for (QTreeView* view : page->findChildren<QTreeView*>(Qt::FindDirectChildrenOnly))
        applyColumnWidths(view, page->width());
}

void MainWindow::applyColumnWidths(QTreeView* view, int pageWidth) {
    const ListColumns* columns = columnsOf(view->objectName());
    if (!columns || view->header()->count() == 0)
        return;
    std::vector<ColumnFit> fits;
    for (const Column& column : columns->columns) {
        ColumnFit fit;
        fit.share = column.fraction;
        fit.widest = m_columnTexts[static_cast<std::size_t>(column.content)];
        fit.yields = column.content == Content::Address;
        fit.fitRows = followsRows(column.content);
        fit.picture = column.picture;
        fits.push_back(std::move(fit));
    }
    // The columns fit the list without a horizontal scroll bar where their floors allow.
    const int room = pageWidth - 2 * view->frameWidth() -
                     view->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, view);
    fitColumns(view, pageWidth, room, fits);
}

} // namespace tarvok
