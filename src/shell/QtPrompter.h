#pragma once
// Real message boxes and file dialogs for the Prompter interface.

#include "engine/Prompter.h"

class QWidget;

namespace tarvok {

class QtPrompter : public Prompter {
public:
    void setParentWidget(QWidget* parent) { m_parent = parent; }

    Answer message(const QString& text, int style, const QString& title) override;
    QString openFileName(const QString& title, const QString& filter,
                         const QString& folder) override;
    QString saveFileName(const QString& title, const QString& filter, const QString& folder,
                         const QString& suggestedName) override;

    // "Description|*.ext|Other|*.a;*.b" as a Qt name filter: "Description (*.ext);;Other (*.a *.b)".
    static QString qtFilter(const QString& filter);

private:
    // The active window of the program when there is one, else the window set above.
    QWidget* parentWidget() const;

    QWidget* m_parent = nullptr;
};

} // namespace tarvok
