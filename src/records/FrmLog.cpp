#include "records/FrmLog.h"

#include "monitor/ColumnWidths.h"
#include "monitor/ListStyle.h"
#include "records/EventList.h"
#include "records/LogFileModel.h"
#include "records/LogText.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QResizeEvent>
#include <QTreeView>
#include <QVBoxLayout>

namespace tarvok {

namespace {

// Column widths as fractions of the list's width; what is left is the margin of the
// vertical scroll bar.
constexpr double ColumnFractions[LogFileModel::ColumnCount] = {0.19, 0.06, 0.12, 0.08,
                                                               0.14, 0.08, 0.09, 0.22};

// Puts the row pictures and the localised column titles on the viewer's model.
class LogViewProxy : public HeaderLabels {
public:
    using HeaderLabels::HeaderLabels;

    QIcon established, blocked;

    QVariant data(const QModelIndex& index, int role) const override {
        if (role == Qt::DecorationRole && index.column() == 0) {
            switch (HeaderLabels::data(index, LogFileModel::ImageRole).toInt()) {
            case 3: return established;
            case 4: return blocked;
            default: return {};
            }
        }
        return HeaderLabels::data(index, role);
    }
};

LogViewProxy* proxyOf(QTreeView* list) { return static_cast<LogViewProxy*>(list->model()); }

} // namespace

FrmLog::FrmLog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmLog"));
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);
    setSizeGripEnabled(true);
    m_model = new LogFileModel(this);

    m_list = new QTreeView(this);
    m_list->setObjectName(QStringLiteral("ListView"));
    applyListStyle(m_list);
    m_list->setHeader(new ListHeader(m_list));
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionsClickable(true);
    m_list->header()->setSortIndicatorShown(true);
    auto* proxy = new LogViewProxy(m_list);
    proxy->setSourceModel(m_model);
    m_list->setModel(proxy);

    m_list->viewport()->installEventFilter(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_list);

    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("mnuRClick"));
    QAction* row = m_menu->addAction(QStringLiteral("Copy Text"));
    row->setObjectName(QStringLiteral("Row"));
    QAction* remote = m_menu->addAction(QStringLiteral("Copy Remote Address"));
    remote->setObjectName(QStringLiteral("RemA"));
    connect(row, &QAction::triggered, this, &FrmLog::copyRow);
    connect(remote, &QAction::triggered, this, &FrmLog::copyRemoteAddress);
    connect(m_list, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (m_model->rowCount() > 0)
            m_menu->popup(m_list->viewport()->mapToGlobal(at));
    });
    connect(m_list->header(), &QHeaderView::sectionClicked, this, [this](int column) {
        const bool ascending = m_model->nextAscending(column);
        m_model->sortByClick(column);
        m_list->header()->setSortIndicator(column,
                                           ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
    });

    proxy->setLabels({QStringLiteral("Time - Date"), QStringLiteral("Protocol"),
                      QStringLiteral("Local Address"), QStringLiteral("Local Port"),
                      QStringLiteral("Remote Address"), QStringLiteral("Remote Port"),
                      QStringLiteral("Service"), QStringLiteral("Status")});
    setWindowTitle(QStringLiteral("Log Record"));
    m_list->setAccessibleName(windowTitle());
    measureColumns(nullptr);
    resize(880, 440);
}

void FrmLog::setImages(const QIcon& established, const QIcon& blocked) {
    auto* proxy = proxyOf(m_list);
    proxy->established = established;
    proxy->blocked = blocked;
    m_list->viewport()->update();
}

void FrmLog::applyLanguage(const Localiser& language) {
    const QString section = QStringLiteral("Log");
    setWindowTitle(language.text(section, 1));
    QStringList titles;
    for (int key = 2; key <= 9; ++key)
        titles.append(language.text(section, key));
    proxyOf(m_list)->setLabels(titles);
    m_menu->actions().at(0)->setText(language.text(section, 10));
    m_menu->actions().at(1)->setText(language.text(section, 11));
    m_list->setAccessibleName(windowTitle());
    measureColumns(&language);
    applyColumnWidths();
}

void FrmLog::setRecords(QList<EventRecord> records) {
    m_model->setRecords(std::move(records));
    m_list->header()->setSortIndicator(-1, Qt::AscendingOrder);
    if (m_model->rowCount() > 0)
        m_list->setCurrentIndex(m_list->model()->index(0, 0));
    applyColumnWidths();
}

const EventRecord* FrmLog::selectedRecord() const {
    if (m_model->rowCount() == 0)
        return nullptr;
    const QModelIndex current = m_list->currentIndex();
    return &m_model->record(current.isValid() ? current.row() : 0);
}

void FrmLog::copyRow() {
    if (const EventRecord* record = selectedRecord()) {
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(recordText(*record, RecordTextStyle::LogViewer));
    }
}

void FrmLog::copyRemoteAddress() {
    if (const EventRecord* record = selectedRecord()) {
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(record->remoteAddress);
    }
}

bool FrmLog::eventFilter(QObject* watched, QEvent* event) {
    // The list fills the window; its columns follow its width.
    if (watched == m_list->viewport() && event->type() == QEvent::Resize)
        applyColumnWidths();
    return QDialog::eventFilter(watched, event);
}

void FrmLog::measureColumns(const Localiser* language) {
    const QLocale locale = QLocale::system();
    const QStringList widestTexts[LogFileModel::ColumnCount] = {
        widest::moments([&locale](const QDateTime& moment) { return EventList::eventTime(moment, locale); }),
        widest::protocols(), widest::addresses(), widest::ports(),
        widest::addresses(), widest::ports(), {}, widest::recordStatuses(language)};
    m_columns.clear();
    for (int column = 0; column < LogFileModel::ColumnCount; ++column) {
        // Files of other days and desktops may hold times and statuses of other formats and
        // languages: those columns also fit what the rows hold.
        const bool fitRows = column == 0 || column == 7;
        const bool address = column == 2 || column == 4;
        m_columns.push_back({ColumnFractions[column], widestTexts[column], address, fitRows, column == 0});
    }
}

void FrmLog::applyColumnWidths() {
    const int width = m_list->viewport()->width();
    fitColumns(m_list, width, width, m_columns);
}

} // namespace tarvok
