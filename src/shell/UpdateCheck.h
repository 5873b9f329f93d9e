#pragma once
// The check for a newer version: one asynchronous GET of the version file, whose first
// character is the major and whose last is the minor version digit, compared with this build's
// version. Only an answer with a success status is read as a version file.

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

namespace tarvok {

struct ProgramVersion {
    int major;
    int minor;
};
// This build: 3.00.
inline constexpr ProgramVersion CurrentVersion{3, 0};

// Whether the version file's text names a newer version than current. A character that is
// not a digit counts as 0; a one-character text is both digits. Blanks and line ends around
// the text are not part of it.
bool isNewerVersion(const QString& versionText, ProgramVersion current = CurrentVersion);

class UpdateCheck : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        UpToDate, // the server's version is not newer
        Newer,    // the server has a newer version; text is the version file
        Failed,   // the server answered with an error status; text names it
        NoAnswer, // unreachable, timed out or empty: nothing is shown
    };
    Q_ENUM(Outcome)
    // Each of resolve, connect, send and receive may take this long.
    static constexpr int TimeoutMs = 2000;

    explicit UpdateCheck(QObject* parent = nullptr);

    // Starts a check and returns at once; a check still running is dropped for the new one.
    void start(const QUrl& versionFile);
    bool running() const { return !m_reply.isNull(); }

signals:
    void answered(tarvok::UpdateCheck::Outcome outcome, const QString& text);

private:
    void evaluate(QNetworkReply* reply);

    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;
};

} // namespace tarvok
