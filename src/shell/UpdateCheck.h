#pragma once
// The check for a newer version: one asynchronous GET of the version file, whose first
// character is the major and whose last is the minor version digit, compared with this build's
// version. Only a short answer with a success status that is a version number is read as a
// version file; anything else (an error page, a captive portal's page, an endless stream, an
// empty answer) is a failed check, and so is a server that cannot be reached or stays silent.

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <utility>

namespace tarvok {

struct ProgramVersion {
    int major;
    int minor;
};
// This build's version: project(VERSION) of the top CMakeLists.txt.
ProgramVersion programVersion();
// "major.minor", as the about box shows it.
QString programVersionText();

// Whether the text is a version number: digits, with dots between them, and no longer than
// the version files that were ever served. Blanks and line ends around it do not count.
bool isVersionText(const QString& text);

// Whether the version file's text names a newer version than current. A character that is
// not a digit counts as 0; a one-character text is both digits. Blanks and line ends around
// the text are not part of it.
bool isNewerVersion(const QString& versionText, ProgramVersion current = programVersion());

class UpdateCheck : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        UpToDate, // the server's version is not newer
        Newer,    // the server has a newer version; text is the version file
        Failed,   // an error status, or an answer that is no version file; text names it
        NoAnswer, // unreachable or timed out; text says why
    };
    Q_ENUM(Outcome)
    // Each of resolve, connect, send and receive may take this long.
    static constexpr int TimeoutMs = 2000;
    // A version file is a few bytes; an answer longer than this is not one, and is not read.
    static constexpr qint64 MaxAnswerBytes = 4096;

    explicit UpdateCheck(QObject* parent = nullptr);

    // What an HTTP answer (status, reason phrase, at most MaxAnswerBytes + 1 bytes of its
    // body) means.
    static std::pair<Outcome, QString> judge(int status, const QString& reason,
                                             const QByteArray& body);

    // Starts a check and returns at once; a check still running is dropped for the new one.
    void start(const QUrl& versionFile);
    bool running() const { return !m_reply.isNull(); }

signals:
    void answered(tarvok::UpdateCheck::Outcome outcome, const QString& text);

private:
    void evaluate(QNetworkReply* reply);
    // Lets go of reply: it is deleted later and tells this object nothing more.
    void release(QNetworkReply* reply);

    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;
};

} // namespace tarvok
