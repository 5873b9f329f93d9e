#pragma once
// The prompter the running program uses, in front of the one that shows boxes. Every failure
// report (a box with only an OK button) also goes to standard error, so that it is kept where
// no desktop shows it. Once nobody can answer (a signal, the session's end), no box or file
// dialog opens any more: a question takes "No", a dialog is cancelled and a report goes to
// standard error alone. During start-up reports are held, so that no box keeps the firewall
// from starting: they are shown once it runs.

#include "engine/Prompter.h"

#include <QList>

#include <cstdio>

namespace tarvok {

class GuardedPrompter : public Prompter {
public:
    explicit GuardedPrompter(Prompter& shown) : m_shown(shown) {}

    void setUnattended() { m_unattended = true; }
    bool unattended() const { return m_unattended; }

    // From now on a report waits for showHeld(); it reaches standard error at once.
    void hold() { m_holding = true; }
    // Shows the reports held, in order, one box after the other, and holds no more. Those
    // still waiting when nobody can answer any more are dropped.
    void showHeld() {
        m_holding = false;
        while (!m_held.isEmpty() && !m_unattended) {
            const Held report = m_held.takeFirst();
            m_shown.message(report.text, report.style, report.title);
        }
        m_held.clear();
    }

    // A line "Tarvok: text" on standard error.
    static void toStandardError(const QString& text) {
        std::fprintf(stderr, "Tarvok: %s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
    }

    Answer message(const QString& text, int style, const QString& title) override {
        const bool question = style == Question || style == ExclamationYesNo;
        if (!question)
            toStandardError(text);
        if (m_unattended)
            return question ? No : Ok;
        if (m_holding && !question) {
            m_held.append({text, style, title});
            return Ok;
        }
        return m_shown.message(text, style, title);
    }
    QString openFileName(const QString& title, const QString& filter,
                         const QString& folder) override {
        return m_unattended ? QString() : m_shown.openFileName(title, filter, folder);
    }
    QString saveFileName(const QString& title, const QString& filter, const QString& folder,
                         const QString& suggestedName) override {
        return m_unattended ? QString()
                            : m_shown.saveFileName(title, filter, folder, suggestedName);
    }

private:
    struct Held {
        QString text;
        int style;
        QString title;
    };
    Prompter& m_shown;
    bool m_unattended = false;
    bool m_holding = false;
    QList<Held> m_held;
};

} // namespace tarvok
