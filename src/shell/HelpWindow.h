#pragma once
// Tarvok's help window: a Qt Help file shown with its contents, its index and a full-text
// search beside the page. The help collection and the search index are built in a temporary
// folder each time the window opens, so the program folder is never written.

#include <QTemporaryDir>
#include <QUrl>
#include <QWidget>

class QHelpEngine;
class QLineEdit;
class QTabWidget;
class QTextBrowser;

namespace tarvok {

class Localiser;

class HelpWindow : public QWidget {
    Q_OBJECT
public:
    // helpFile is a .qch file; check loaded() before showing the window.
    HelpWindow(const QString& helpFile, const Localiser& language, QWidget* parent = nullptr);
    ~HelpWindow() override;

    // Whether the help file could be read.
    bool loaded() const { return m_loaded; }
    QHelpEngine* engine() const { return m_engine; }
    // The page shown now.
    QUrl currentPage() const;
    void showPage(const QUrl& url);
    // Starts a full-text search; the results list fills when the index is ready.
    void search(const QString& words);
    QTabWidget* tabs() const { return m_tabs; }

signals:
    // The full-text index is ready: search() finds pages from here on.
    void indexReady();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void openFirstTopic();

    QTemporaryDir m_collection;
    QHelpEngine* m_engine = nullptr;
    QTabWidget* m_tabs = nullptr;
    QTextBrowser* m_page = nullptr;
    QLineEdit* m_indexFilter = nullptr;
    bool m_loaded = false;
    bool m_indexReady = false;
    QString m_pendingSearch;
};

} // namespace tarvok
