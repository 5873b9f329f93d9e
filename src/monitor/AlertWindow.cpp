#include "monitor/AlertWindow.h"

#include "engine/EngineServices.h"
#include "monitor/AlertRows.h"
#include "monitor/ListStyle.h"
#include "monitor/ProgramRules.h"

#include <QAction>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTreeView>

namespace tarvok {

AlertWindow::AlertWindow(AlertRows& rows, const Localiser& language, QWidget* mainWindow)
    : QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint), m_rows(rows),
      m_language(language), m_mainWindow(mainWindow) {
    setObjectName(QStringLiteral("frmAlert"));
    setWindowTitle(QStringLiteral("Tarvok"));
    if (mainWindow)
        setWindowIcon(mainWindow->windowIcon());
    resize(520, 260);

    m_heading = new QLabel(this);
    m_heading->setObjectName(QStringLiteral("lblTheFollowing"));
    m_heading->setWordWrap(true);
    m_list = new QTreeView(this);
    m_list->setObjectName(QStringLiteral("ListView1"));
    m_list->setModel(&rows);
    applyListStyle(m_list);
    m_list->header()->resizeSection(0, 300);
    m_list->header()->resizeSection(1, 120);
    m_trust = new QPushButton(this);
    m_trust->setObjectName(QStringLiteral("cmdTrust"));
    m_block = new QPushButton(this);
    m_block->setObjectName(QStringLiteral("cmdBlock"));
    m_details = new QPushButton(this);
    m_details->setObjectName(QStringLiteral("cmdDetails"));
    m_kill = new QPushButton(this);
    m_kill->setObjectName(QStringLiteral("cmdKill"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_trust);
    buttons->addWidget(m_block);
    buttons->addWidget(m_details);
    buttons->addWidget(m_kill);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_heading);
    layout->addWidget(m_list);
    layout->addLayout(buttons);

    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("mnuRClick"));
    m_resolve = m_menu->addAction(QStringLiteral("Resolve Host"));
    m_resolve->setObjectName(QStringLiteral("mnuResolveHost"));
    m_copy = m_menu->addAction(QStringLiteral("Copy Remote Address"));
    m_copy->setObjectName(QStringLiteral("mnuCopyRemA"));

    connect(m_trust, &QPushButton::clicked, this, [this] { m_rows.trust(selectedRow()); });
    connect(m_block, &QPushButton::clicked, this, [this] { m_rows.block(selectedRow()); });
    connect(m_kill, &QPushButton::clicked, this, [this] { m_rows.kill(selectedRow()); });
    connect(m_details, &QPushButton::clicked, this, [this] {
        if (const int row = selectedRow(); row >= 0)
            emit detailsRequested(m_rows.row(row).path);
    });
    connect(m_resolve, &QAction::triggered, this, [this] {
        if (const int row = selectedRow(); row >= 0)
            emit resolveRequested(m_rows.row(row).remoteAddress);
    });
    connect(m_copy, &QAction::triggered, this, [this] {
        if (const int row = selectedRow(); row >= 0)
            emit copyRequested(m_rows.row(row).remoteAddress);
    });
    connect(m_list, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (m_rows.rowCount() > 0)
            m_menu->popup(m_list->viewport()->mapToGlobal(at));
    });
    auto* escape = new QAction(this);
    escape->setShortcut(Qt::Key_Escape);
    escape->setShortcutContext(Qt::WindowShortcut);
    addAction(escape);
    connect(escape, &QAction::triggered, this, &AlertWindow::hideKeepingRows);
    connect(&m_rows, &AlertRows::emptied, this, &QWidget::close);
    // A new row is selected when nothing is, so the buttons always have a row to act on.
    connect(&m_rows, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first) {
        if (selectedRow() < 0)
            m_list->setCurrentIndex(m_rows.index(first, 0));
    });
    applyTexts();
}

int AlertWindow::selectedRow() const {
    const QModelIndexList rows = m_list->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void AlertWindow::applyTexts() {
    const auto alert = [this](int key) { return m_language.text(QStringLiteral("Alert"), key); };
    m_heading->setText(alert(1));
    m_list->setAccessibleName(alert(1));
    m_trust->setText(alert(3));
    m_block->setText(alert(language::programRule::AlertBlock));
    m_details->setText(alert(4));
    m_kill->setText(alert(5));
    m_resolve->setText(m_language.text(QStringLiteral("Main"), 28));
    m_copy->setText(m_language.text(QStringLiteral("Main"), 27));
    m_rows.refreshTexts();
}

void AlertWindow::announce() {
    applyTexts();
    holdMainWindow();
    if (!isVisible())
        show();
    raise();
}

void AlertWindow::holdMainWindow() {
    if (!m_mainWindow || holdsMainWindow())
        return;
    for (QWidget* child : m_mainWindow->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow() || child->testAttribute(Qt::WA_Disabled))
            continue;
        child->setEnabled(false);
        m_held.emplace_back(child);
    }
}

void AlertWindow::releaseMainWindow() {
    for (const QPointer<QWidget>& child : m_held)
        if (child)
            child->setEnabled(true);
    m_held.clear();
}

void AlertWindow::hideKeepingRows() {
    m_keepRows = true;
    hide();
    m_keepRows = false;
}

void AlertWindow::hideEvent(QHideEvent* event) {
    // Closed by the user, or emptied by Trust, Block or Kill: the rows go with the window. Hidden with
    // Escape: the rows stay. Either way the main window is usable again.
    QWidget::hideEvent(event);
    if (event->spontaneous())
        return;
    if (!m_keepRows)
        m_rows.clear();
    releaseMainWindow();
}

} // namespace tarvok
