#include "shell/QtPrompter.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QWindow>

namespace tarvok {

QWidget* QtPrompter::parentWidget() const {
    // A box asked for from another window of the program (the alert, the resolver) opens over
    // that window, never underneath one that stays on top.
    QWidget* active = QApplication::activeWindow();
    if (QWindow* focus = QGuiApplication::focusWindow(); !active && focus) {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->windowHandle() == focus)
                active = window;
    }
    return active && active->isVisible() ? active : m_parent;
}

Prompter::Answer QtPrompter::message(const QString& text, int style, const QString& title) {
    QMessageBox box(parentWidget());
    box.setWindowTitle(title.isEmpty() ? QStringLiteral("Tarvok") : title);
    box.setText(text);
    const bool yesNo = style == Question || style == ExclamationYesNo;
    switch (style) {
    case Critical: box.setIcon(QMessageBox::Critical); break;
    case Question: box.setIcon(QMessageBox::Question); break;
    case Exclamation:
    case ExclamationYesNo: box.setIcon(QMessageBox::Warning); break;
    case Information: box.setIcon(QMessageBox::Information); break;
    default: box.setIcon(QMessageBox::NoIcon); break;
    }
    box.setStandardButtons(yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
    const int result = box.exec();
    if (!yesNo)
        return Ok;
    return result == QMessageBox::Yes ? Yes : No;
}

QString QtPrompter::qtFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters.append(parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')'));
    }
    return filters.join(QStringLiteral(";;"));
}

QString QtPrompter::openFileName(const QString& title, const QString& filter,
                                 const QString& folder) {
    return QFileDialog::getOpenFileName(parentWidget(), title, folder, qtFilter(filter));
}

QString QtPrompter::saveFileName(const QString& title, const QString& filter,
                                 const QString& folder, const QString& suggestedName) {
    const QString start = suggestedName.isEmpty() ? folder : folder + QLatin1Char('/') + suggestedName;
    return QFileDialog::getSaveFileName(parentWidget(), title, start, qtFilter(filter));
}

} // namespace tarvok
