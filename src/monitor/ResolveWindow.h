#pragma once
// frmResolve: a remote address and the host name the name service gives for it. The lookup
// runs off the GUI thread; meanwhile the window shows the busy pointer and takes no input, and
// everything else in the program goes on.

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace tarvok {

class Localiser;
class Prompter;

class ResolveWindow : public QWidget {
    Q_OBJECT
public:
    ResolveWindow(Prompter* prompter, const Localiser& language, QWidget* parent = nullptr);

    // Shows the window (reusing it when open) with address and starts a new lookup after a
    // short delay, so that the window paints first. A newer address replaces an older one whose
    // answer is then ignored.
    void resolve(const QString& address);
    bool waiting() const { return m_waiting; }

signals:
    void lookupDone(const QString& address, const QString& name);

private:
    void lookup();
    void setWaiting(bool waiting);

    Prompter* m_prompter;
    const Localiser& m_language;
    QLabel* m_addressLabel;
    QLabel* m_hostLabel;
    QLineEdit* m_address;
    QLineEdit* m_host;
    QPushButton* m_close;
    QTimer* m_delay;
    int m_lookup = 0; // number of the newest lookup
    bool m_waiting = false;
};

} // namespace tarvok
