#include "shell/UpdateCheck.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace tarvok {

namespace {
int digitValue(QChar c) { return c >= u'0' && c <= u'9' ? c.unicode() - u'0' : 0; }
} // namespace

bool isNewerVersion(const QString& versionText, ProgramVersion current) {
    const QString text = versionText.trimmed();
    if (text.isEmpty())
        return false;
    const int major = digitValue(text.front());
    const QChar last = text.back();
    if (last != u'0')
        return major >= current.major && digitValue(last) > current.minor;
    return major > current.major;
}

UpdateCheck::UpdateCheck(QObject* parent) : QObject(parent) {}

void UpdateCheck::start(const QUrl& versionFile) {
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    QNetworkRequest request(versionFile);
    // The transfer time-out covers each stage: nothing may stall longer than this.
    request.setTransferTimeout(TimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    QNetworkReply* reply = m_network.get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { evaluate(reply); });
}

void UpdateCheck::evaluate(QNetworkReply* reply) {
    reply->deleteLater();
    if (reply == m_reply)
        m_reply = nullptr;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        // No HTTP answer at all: the server could not be reached in time.
        emit answered(Outcome::NoAnswer, reply->errorString());
        return;
    }
    const int code = status.toInt();
    if (code < 200 || code > 299) {
        // An error page is no version file, whatever its body says.
        const QString reason =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        emit answered(Outcome::Failed,
                      reason.isEmpty() ? QString::number(code)
                                       : QString::number(code) + QLatin1Char(' ') + reason);
        return;
    }
    const QString text = QString::fromUtf8(reply->readAll()).trimmed();
    if (text.isEmpty()) {
        emit answered(Outcome::NoAnswer, QString());
        return;
    }
    emit answered(isNewerVersion(text) ? Outcome::Newer : Outcome::UpToDate, text);
}

} // namespace tarvok
