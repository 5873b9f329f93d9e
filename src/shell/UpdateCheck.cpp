#include "shell/UpdateCheck.h"

#include "shell/BuildConfig.h"

#include <QNetworkReply>
#include <QNetworkRequest>

#include <cerrno>
#include <cstring>

namespace tarvok {

// The version file holds one digit for each part.
static_assert(TARVOK_VERSION_MAJOR >= 0 && TARVOK_VERSION_MAJOR <= 9 && TARVOK_VERSION_MINOR >= 0 &&
                  TARVOK_VERSION_MINOR <= 9,
              "project(VERSION) must be a one-digit major and minor version");

namespace {
int digitValue(QChar c) { return c >= u'0' && c <= u'9' ? c.unicode() - u'0' : 0; }

// The start of an answer, on one line, to name it in the failure message; more marks an
// answer that goes on.
QString excerpt(const QByteArray& body, bool more = false) {
    QString text = QString::fromUtf8(body.left(64)).simplified();
    if (more || text.size() > 40 || body.size() > 64)
        text = text.left(40) + QChar(0x2026);
    return QLatin1Char('"') + text + QLatin1Char('"');
}
} // namespace

ProgramVersion programVersion() {
    return {TARVOK_VERSION_MAJOR, TARVOK_VERSION_MINOR};
}

QString programVersionText() {
    return QStringLiteral("%1.%2").arg(TARVOK_VERSION_MAJOR).arg(TARVOK_VERSION_MINOR);
}

bool isVersionText(const QString& versionText) {
    const QString text = versionText.trimmed();
    if (text.isEmpty() || text.size() > 16 || text.front() == u'.' || text.back() == u'.')
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= u'0' && text[i] <= u'9';
        if (!digit && (text[i] != u'.' || text[i - 1] == u'.'))
            return false;
    }
    return true;
}

bool isNewerVersion(const QString& versionText, ProgramVersion current) {
    const QString text = versionText.trimmed();
    if (text.isEmpty())
        return false;
    const int major = digitValue(text.front());
    const int minor = digitValue(text.back());
    return major > current.major || (major == current.major && minor > current.minor);
}

UpdateCheck::UpdateCheck(QObject* parent) : QObject(parent) {}

void UpdateCheck::release(QNetworkReply* reply) {
    reply->disconnect(this);
    reply->deleteLater();
    if (reply == m_reply)
        m_reply = nullptr;
}

void UpdateCheck::start(const QUrl& versionFile) {
    if (m_reply) {
        QNetworkReply* running = m_reply;
        release(running);
        running->abort();
    }
    QNetworkRequest request(versionFile);
    // The transfer time-out covers each stage: nothing may stall longer than this.
    request.setTransferTimeout(TimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    QNetworkReply* reply = m_network.get(request);
    m_reply = reply;
    // Past the limit the answer is not a version file: the rest is never read into memory.
    reply->setReadBufferSize(MaxAnswerBytes + 1);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply->bytesAvailable() <= MaxAnswerBytes)
            return;
        const QByteArray start = reply->peek(64);
        release(reply);
        reply->abort();
        emit answered(Outcome::Failed, excerpt(start, true));
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { evaluate(reply); });
}

std::pair<UpdateCheck::Outcome, QString> UpdateCheck::judge(int status, const QString& reason,
                                                            const QByteArray& body) {
    if (status < 200 || status > 299) {
        // An error page is no version file, whatever its body says.
        return {Outcome::Failed, reason.isEmpty()
                                     ? QString::number(status)
                                     : QString::number(status) + QLatin1Char(' ') + reason};
    }
    const QString text = QString::fromUtf8(body).trimmed();
    // A captive portal answers 200 with a page of its own: that is no answer about versions.
    if (body.size() > MaxAnswerBytes || !isVersionText(text))
        return {Outcome::Failed, excerpt(body)};
    return {isNewerVersion(text) ? Outcome::Newer : Outcome::UpToDate, text};
}

void UpdateCheck::evaluate(QNetworkReply* reply) {
    release(reply);
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        // No HTTP answer at all: the server could not be reached in time. The transfer
        // time-out ends the request as cancelled; it is said as the time-out it is.
        emit answered(Outcome::NoAnswer,
                      reply->error() == QNetworkReply::OperationCanceledError
                          ? QString::fromLocal8Bit(std::strerror(ETIMEDOUT))
                          : reply->errorString());
        return;
    }
    const auto [outcome, text] = judge(
        status.toInt(), reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString(),
        reply->read(MaxAnswerBytes + 1));
    emit answered(outcome, text);
}

} // namespace tarvok
