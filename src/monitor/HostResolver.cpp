#include "monitor/HostResolver.h"

#include "engine/EngineServices.h"
#include "engine/Prompter.h"

#include <QThread>

#include <memory>
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

namespace tarvok {

IPHostResolver::IPHostResolver(Prompter* prompter, const Localiser* language, QObject* parent)
    : QObject(parent), m_prompter(prompter), m_language(language) {}

bool IPHostResolver::validAddress(const QString& text) {
    if (text.contains(QLatin1Char(':'))) {
        in6_addr address{};
        return ::inet_pton(AF_INET6, text.toLatin1().constData(), &address) == 1;
    }
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (const QString& part : parts) {
        bool ok = false;
        const int value = part.toInt(&ok);
        if (!ok || value < 0 || value > 255 || part.isEmpty() || !part[0].isDigit())
            return false;
    }
    return true;
}

QString IPHostResolver::lookupName(const QString& address) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const QByteArray text = address.toLatin1();
    if (address.contains(QLatin1Char(':'))) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        if (::inet_pton(AF_INET6, text.constData(), &in6->sin6_addr) != 1)
            return QString();
        length = sizeof(sockaddr_in6);
    } else {
        // Parts such as "010" are read as decimal, as the address check reads them.
        const QStringList parts = address.split(QLatin1Char('.'));
        if (parts.size() != 4)
            return QString();
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= static_cast<std::uint32_t>(parts[i].toUInt() & 0xffu) << (8 * i);
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_addr.s_addr = value;
        length = sizeof(sockaddr_in);
    }
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof host, nullptr,
                      0, NI_NAMEREQD) != 0)
        return QString();
    return QString::fromLocal8Bit(host).left(255);
}

QString IPHostResolver::lookupAddress(const QString& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.toLocal8Bit().constData(), nullptr, &hints, &found) != 0 || !found)
        return QString();
    char text[INET6_ADDRSTRLEN] = {};
    const void* address = found->ai_family == AF_INET6
                              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
                              : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
    ::inet_ntop(found->ai_family, address, text, sizeof text);
    ::freeaddrinfo(found);
    return QString::fromLatin1(text);
}

template <typename Work, typename Done> void IPHostResolver::run(Work work, Done done) {
    ++m_pending;
    auto result = std::make_shared<QString>();
    // The thread object lives on this thread, so its finished() is handled here. Nothing of
    // this object is touched by the worker: it may be gone when the lookup ends.
    QThread* thread = QThread::create([work, result] { *result = work(); });
    connect(thread, &QThread::finished, this, [this, result, done] {
        --m_pending;
        done(*result);
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void IPHostResolver::AddressToName(const QString& address) {
    if (!validAddress(address)) {
        emit nameFound(address, QString());
        return;
    }
    run([address] { return lookupName(address); },
        [this, address](const QString& name) {
            if (name.isEmpty() && m_prompter)
                m_prompter->message(m_language ? m_language->text(QStringLiteral("Main"), 111) : QString(),
                                    Prompter::Critical, QStringLiteral("Tarvok"));
            emit nameFound(address, name);
        });
}

void IPHostResolver::NameToAddress(const QString& name) {
    run([name] { return lookupAddress(name); },
        [this, name](const QString& address) {
            if (address.isEmpty() && m_prompter)
                m_prompter->message(QStringLiteral("Unable to resolve IP address!"), Prompter::Critical,
                                    QStringLiteral("Tarvok"));
            emit addressFound(name, address);
        });
}

} // namespace tarvok
