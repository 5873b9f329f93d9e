#pragma once
// A Prompter that answers from a script and records every call.

#include "engine/Prompter.h"

#include <QList>
#include <QString>

#include <functional>

namespace tarvok::test {

class FakePrompter : public Prompter {
public:
    struct Call {
        enum Kind { Message, Open, Save };
        Kind kind;
        QString text; // message text, or the dialog title
        int style = 0;
        QString title;  // message title
        QString filter; // dialog filter
        QString folder; // dialog folder
    };

    // Scripted answers, used in order. A message without a scripted answer is answered No
    // (Ok for boxes without a question); a dialog without one is cancelled.
    QList<Answer> answers;
    QList<QString> files;
    QList<Call> calls;
    // Runs while a box is open, as timers do while a real one waits for its answer.
    std::function<void()> whileAsking;

    Answer message(const QString& text, int style, const QString& title) override {
        calls.append({Call::Message, text, style, title, {}, {}});
        if (whileAsking)
            whileAsking();
        if (!answers.isEmpty())
            return answers.takeFirst();
        return style == Question || style == ExclamationYesNo ? No : Ok;
    }
    QString openFileName(const QString& title, const QString& filter,
                         const QString& folder) override {
        calls.append({Call::Open, title, 0, {}, filter, folder});
        return files.isEmpty() ? QString() : files.takeFirst();
    }
    QString saveFileName(const QString& title, const QString& filter, const QString& folder,
                         const QString& /*suggestedName*/) override {
        calls.append({Call::Save, title, 0, {}, filter, folder});
        return files.isEmpty() ? QString() : files.takeFirst();
    }

    QList<Call> messages() const {
        QList<Call> result;
        for (const Call& call : calls)
            if (call.kind == Call::Message)
                result.append(call);
        return result;
    }
};

} // namespace tarvok::test
