#pragma once
// The prompter the running program uses, in front of the one that shows boxes. Every failure
// report (a box with only an OK button) also goes to standard error, so that it is kept where
// no desktop shows it. Once nobody can answer (a signal, the session's end), no box or file
// dialog opens any more: a question takes "No", a dialog is cancelled and a report goes to
// standard error alone.

#include "engine/Prompter.h"

#include <cstdio>

namespace tarvok {

class GuardedPrompter : public Prompter {
public:
    explicit GuardedPrompter(Prompter& shown) : m_shown(shown) {}

    void setUnattended() { m_unattended = true; }
    bool unattended() const { return m_unattended; }

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
    Prompter& m_shown;
    bool m_unattended = false;
};

} // namespace tarvok
