#include "monitor/AlertWindow.h"

#include "engine/EngineServices.h"
#include "monitor/AlertRows.h"
#include "monitor/ListStyle.h"
#include "monitor/ProgramRules.h"
#include "monitor/QuestionRows.h"

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
    // The questions' part, shown while programs wait for an answer.
    m_questionHeading = new QLabel(this);
    m_questionHeading->setObjectName(QStringLiteral("lblWaiting"));
    m_questionHeading->setWordWrap(true);
    m_questionList = new QTreeView(this);
    m_questionList->setObjectName(QStringLiteral("lstQuestions"));
    applyListStyle(m_questionList);
    m_answers = new QWidget(this);
    auto* answers = new QHBoxLayout(m_answers);
    answers->setContentsMargins(0, 0, 0, 0);
    answers->addStretch();
    const auto answer = [this, answers](const char* name, ProgramQuestions::Verdict verdict) {
        auto* button = new QPushButton(m_answers);
        button->setObjectName(QLatin1String(name));
        answers->addWidget(button);
        connect(button, &QPushButton::clicked, this, [this, verdict] {
            if (m_questions)
                m_questions->answer(selectedQuestion(), verdict);
        });
        return button;
    };
    m_allowOnce = answer("cmdAllowOnce", ProgramQuestions::Verdict::AllowOnce);
    m_blockOnce = answer("cmdBlockOnce", ProgramQuestions::Verdict::BlockOnce);
    m_allowAlways = answer("cmdAllowAlways", ProgramQuestions::Verdict::AllowAlways);
    m_blockAlways = answer("cmdBlockAlways", ProgramQuestions::Verdict::BlockAlways);
    for (QWidget* part : {static_cast<QWidget*>(m_questionHeading), static_cast<QWidget*>(m_questionList), m_answers})
        part->hide();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_questionHeading);
    layout->addWidget(m_questionList);
    layout->addWidget(m_answers);
    layout->addWidget(m_heading);
    layout->addWidget(m_list);
    layout->addLayout(buttons);

    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("mnuRClick"));
    m_resolve = m_menu->addAction(QStringLiteral("Resolve Host"));
    m_resolve->setObjectName(QStringLiteral("mnuResolveHost"));
    m_copy = m_menu->addAction(QStringLiteral("Copy Remote Address"));
    m_copy->setObjectName(QStringLiteral("mnuCopyRemA"));

    connect(m_trust, &QPushButton::clicked, this, &AlertWindow::trust);
    connect(m_block, &QPushButton::clicked, this, &AlertWindow::block);
    connect(m_kill, &QPushButton::clicked, this, &AlertWindow::kill);
    connect(m_details, &QPushButton::clicked, this, &AlertWindow::details);
    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { m_questionsLastUsed = false; });
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
    // The window closes once neither list has a row left.
    connect(&m_rows, &AlertRows::emptied, this, [this] {
        if (!m_questions || m_questions->rowCount() == 0)
            close();
        else
            showQuestionPart(); // only the questions are left to show
    });
    // A new row is selected when nothing is, so the buttons always have a row to act on.
    connect(&m_rows, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first) {
        const bool lastUsed = m_questionsLastUsed;
        if (selectedRow() < 0)
            m_list->setCurrentIndex(m_rows.index(first, 0));
        m_questionsLastUsed = lastUsed;
    });
    applyTexts();
}

void AlertWindow::setQuestions(QuestionRows& questions) {
    m_questions = &questions;
    m_questionList->setModel(&questions);
    m_questionList->header()->resizeSection(QuestionRows::PathColumn, 260);
    m_questionList->header()->resizeSection(QuestionRows::AddressColumn, 120);
    connect(m_questionList->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { m_questionsLastUsed = true; });
    connect(&questions, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first) {
        // Selecting the new row is not the user turning to this list.
        const bool lastUsed = m_questionsLastUsed;
        if (selectedQuestion() < 0)
            m_questionList->setCurrentIndex(m_questions->index(first, 0));
        m_questionsLastUsed = lastUsed;
        showQuestionPart();
    });
    connect(&questions, &QAbstractItemModel::rowsRemoved, this, [this] {
        showQuestionPart();
        if (m_questions->rowCount() == 0 && m_rows.rowCount() == 0)
            close();
    });
    showQuestionPart();
}

void AlertWindow::showQuestionPart() {
    const bool waiting = m_questions && m_questions->rowCount() > 0;
    for (QWidget* part : {static_cast<QWidget*>(m_questionHeading), static_cast<QWidget*>(m_questionList), m_answers})
        part->setVisible(waiting);
    const bool announced = m_rows.rowCount() > 0;
    m_heading->setVisible(announced || !waiting);
    m_list->setVisible(announced || !waiting);
    if (!waiting)
        m_questionsLastUsed = false;
    else if (!announced)
        m_questionsLastUsed = true;
}

int AlertWindow::selectedQuestion() const {
    if (!m_questions)
        return -1;
    const QModelIndexList rows = m_questionList->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

bool AlertWindow::questionsActive() const {
    return m_questionsLastUsed && selectedQuestion() >= 0;
}

void AlertWindow::trust() {
    if (questionsActive())
        m_questions->answer(selectedQuestion(), ProgramQuestions::Verdict::AllowOnce);
    else
        m_rows.trust(selectedRow());
}

void AlertWindow::block() {
    if (questionsActive())
        m_questions->answer(selectedQuestion(), ProgramQuestions::Verdict::BlockAlways);
    else
        m_rows.block(selectedRow());
}

void AlertWindow::kill() {
    if (questionsActive())
        m_questions->kill(selectedQuestion());
    else
        m_rows.kill(selectedRow());
}

void AlertWindow::details() {
    if (questionsActive())
        emit detailsRequested(m_questions->row(selectedQuestion()).path);
    else if (const int row = selectedRow(); row >= 0)
        emit detailsRequested(m_rows.row(row).path);
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
    namespace question = language::question;
    m_questionHeading->setText(alert(question::Heading));
    m_questionList->setAccessibleName(alert(question::ListName));
    const std::pair<QPushButton*, int> answers[] = {{m_allowOnce, question::AllowOnce},
                                                    {m_blockOnce, question::BlockOnce},
                                                    {m_allowAlways, question::AllowAlways},
                                                    {m_blockAlways, question::BlockAlways}};
    for (const auto& [button, key] : answers) {
        button->setText(alert(key));
        button->setAccessibleName(button->text().remove(QLatin1Char('&')));
    }
    if (m_questions)
        m_questions->refreshTexts();
}

void AlertWindow::announce() {
    applyTexts();
    holdMainWindow();
    showQuestionPart();
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
