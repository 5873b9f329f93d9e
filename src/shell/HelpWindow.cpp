#include "shell/HelpWindow.h"

#include "engine/EngineServices.h"

#include <QElapsedTimer>
#include <QHelpContentModel>
#include <QHelpContentWidget>
#include <QHelpEngine>
#include <QHelpIndexWidget>
#include <QHelpLink>
#include <QHelpSearchEngine>
#include <QHelpSearchQueryWidget>
#include <QHelpSearchResultWidget>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBrowser>
#include <QThread>
#include <QVBoxLayout>

namespace tarvok {

namespace {

// Shows the pages of the help file, whose addresses use the qthelp: scheme.
class HelpBrowser : public QTextBrowser {
public:
    HelpBrowser(QHelpEngine* engine, QWidget* parent) : QTextBrowser(parent), m_engine(engine) {}

    QVariant loadResource(int type, const QUrl& name) override {
        if (name.scheme() == QLatin1String("qthelp"))
            return m_engine->fileData(name);
        return QTextBrowser::loadResource(type, name);
    }

private:
    QHelpEngine* m_engine;
};

} // namespace

HelpWindow::HelpWindow(const QString& helpFile, const Localiser& language, QWidget* parent)
    : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmHelp"));
    setAttribute(Qt::WA_DeleteOnClose);
    const auto text = [&language](int key) { return language.text(QStringLiteral("Main"), key); };
    setWindowTitle(text(191));

    m_engine = new QHelpEngine(m_collection.filePath(QStringLiteral("tarvok.qhc")), this);
    m_engine->setReadOnly(false);
    m_loaded = m_collection.isValid() && m_engine->setupData() &&
               m_engine->registerDocumentation(helpFile) &&
               !m_engine->registeredDocumentations().isEmpty();
    m_engine->setUsesFilterEngine(true);

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("tabHelp"));
    QHelpContentWidget* contents = m_engine->contentWidget();
    contents->setObjectName(QStringLiteral("lstContents"));
    contents->setAccessibleName(text(192));
    m_tabs->addTab(contents, text(192));

    auto* indexPage = new QWidget(m_tabs);
    auto* indexLayout = new QVBoxLayout(indexPage);
    auto* filterLabel = new QLabel(text(195), indexPage);
    m_indexFilter = new QLineEdit(indexPage);
    m_indexFilter->setObjectName(QStringLiteral("txtIndex"));
    m_indexFilter->setAccessibleName(filterLabel->text());
    filterLabel->setBuddy(m_indexFilter);
    QHelpIndexWidget* index = m_engine->indexWidget();
    index->setObjectName(QStringLiteral("lstIndex"));
    index->setAccessibleName(text(193));
    indexLayout->addWidget(filterLabel);
    indexLayout->addWidget(m_indexFilter);
    indexLayout->addWidget(index, 1);
    m_tabs->addTab(indexPage, text(193));

    auto* searchPage = new QWidget(m_tabs);
    auto* searchLayout = new QVBoxLayout(searchPage);
    QHelpSearchEngine* searchEngine = m_engine->searchEngine();
    QHelpSearchQueryWidget* query = searchEngine->queryWidget();
    query->setObjectName(QStringLiteral("txtSearch"));
    query->setAccessibleName(text(194));
    QHelpSearchResultWidget* results = searchEngine->resultWidget();
    results->setObjectName(QStringLiteral("lstSearch"));
    results->setAccessibleName(text(194));
    searchLayout->addWidget(query);
    searchLayout->addWidget(results, 1);
    m_tabs->addTab(searchPage, text(194));

    m_page = new HelpBrowser(m_engine, this);
    m_page->setObjectName(QStringLiteral("txtPage"));
    m_page->setAccessibleName(text(191));

    auto* splitter = new QSplitter(this);
    splitter->addWidget(m_tabs);
    splitter->addWidget(m_page);
    splitter->setStretchFactor(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(splitter);
    resize(900, 600);
    splitter->setSizes({300, 600});
    // All three tabs stay in sight, in every language.
    m_tabs->tabBar()->setExpanding(true);
    m_tabs->setUsesScrollButtons(false);

    connect(contents, &QHelpContentWidget::linkActivated, this, &HelpWindow::showPage);
    connect(index, &QHelpIndexWidget::documentActivated, this,
            [this](const QHelpLink& link, const QString&) { showPage(link.url); });
    connect(index, &QHelpIndexWidget::documentsActivated, this,
            [this](const QList<QHelpLink>& links, const QString&) {
                if (!links.isEmpty())
                    showPage(links.first().url);
            });
    connect(m_indexFilter, &QLineEdit::textChanged, index,
            [index](const QString& words) { index->filterIndices(words); });
    connect(m_indexFilter, &QLineEdit::returnPressed, index, &QHelpIndexWidget::activateCurrentItem);
    connect(query, &QHelpSearchQueryWidget::search, this,
            [this, query] { search(query->searchInput()); });
    connect(results, &QHelpSearchResultWidget::requestShowLink, this, &HelpWindow::showPage);
    // The engine indexes the documentation by itself once its setup is done; a search waits
    // for the last indexing to end, since one that runs meanwhile rewrites the index.
    connect(searchEngine, &QHelpSearchEngine::indexingStarted, this,
            [this] { m_indexReady = false; });
    connect(searchEngine, &QHelpSearchEngine::indexingFinished, this, [this] {
        m_indexReady = true;
        emit indexReady();
        if (!m_pendingSearch.isEmpty())
            search(std::exchange(m_pendingSearch, QString()));
    });
    connect(m_engine->contentModel(), &QHelpContentModel::contentsCreated, this,
            &HelpWindow::openFirstTopic);

    if (m_loaded) {
        m_engine->contentModel()->createContents(QString());
        m_engine->indexModel()->createIndex(QString());
    }
}

HelpWindow::~HelpWindow() {
    // The engine's worker threads read its models and the collection: they must be done
    // before these go, even when the window closes at once. The contents and the index of one
    // small help file take milliseconds; the wait is bounded all the same.
    m_engine->searchEngine()->cancelIndexing();
    m_engine->searchEngine()->cancelSearching();
    QElapsedTimer waited;
    waited.start();
    while ((m_engine->indexModel()->isCreatingIndex() ||
            m_engine->contentModel()->isCreatingContents()) &&
           waited.elapsed() < 5000)
        QThread::msleep(2);
}

void HelpWindow::openFirstTopic() {
    QHelpContentWidget* contents = m_engine->contentWidget();
    contents->expandToDepth(0);
    if (currentPage().isEmpty()) {
        if (QHelpContentItem* first = m_engine->contentModel()->contentItemAt(
                m_engine->contentModel()->index(0, 0)))
            showPage(first->url());
    }
}

QUrl HelpWindow::currentPage() const { return m_page->source(); }

void HelpWindow::showPage(const QUrl& url) { m_page->setSource(url); }

void HelpWindow::search(const QString& words) {
    if (!m_indexReady) {
        m_pendingSearch = words;
        return;
    }
    m_engine->searchEngine()->search(words);
}

void HelpWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace tarvok
