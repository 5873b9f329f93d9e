#pragma once
// Every question, message box and file dialog goes through this interface, so that logic
// can be driven by tests, which answer it, and by the windows, which show real dialogs.

#include <QString>

namespace tarvok {

class Prompter {
public:
    // Message box styles: 16 critical (OK), 36 question (Yes/No), 48 warning (OK),
    // 52 warning (Yes/No), 64 information (OK).
    enum Style {
        Critical = 16,
        Question = 36,
        Exclamation = 48,
        ExclamationYesNo = 52,
        Information = 64
    };
    enum Answer { Ok = 1, Yes = 6, No = 7 };

    virtual ~Prompter() = default;
    virtual Answer message(const QString& text, int style, const QString& title) = 0;
    // filter uses the "Description|*.ext" form; an empty result means the user cancelled.
    virtual QString openFileName(const QString& title, const QString& filter,
                                 const QString& folder) = 0;
    virtual QString saveFileName(const QString& title, const QString& filter,
                                 const QString& folder, const QString& suggestedName) = 0;
};

} // namespace tarvok
