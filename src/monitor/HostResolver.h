#pragma once
// IPHostResolver: an address to its host name and a name to its address, through the system's
// name service (getnameinfo with NI_NAMEREQD, getaddrinfo). A lookup may take seconds, so it
// runs on a thread of its own and reports back on the thread that asked; the program's own
// thread never waits for it.

#include <QObject>
#include <QString>

namespace tarvok {

class Localiser;
class Prompter;

class IPHostResolver : public QObject {
    Q_OBJECT
public:
    IPHostResolver(Prompter* prompter, const Localiser* language, QObject* parent = nullptr);

    // Whether text is an address the lookup accepts: four dot-separated whole numbers from 0 to
    // 255 (no more parts), or an IPv6 address in any form inet_pton reads.
    static bool validAddress(const QString& text);

    // Starts a reverse lookup. An invalid address finishes at once with an empty name and no
    // message; a valid one that no name service knows shows [Main] 111 and gives an empty name.
    void AddressToName(const QString& address);
    // Starts a forward lookup; an unknown name shows "Unable to resolve IP address!".
    void NameToAddress(const QString& name);

    bool busy() const { return m_pending > 0; }

    // The blocking lookups themselves, for the worker threads (and for tests): empty when
    // nothing is found.
    static QString lookupName(const QString& address);
    static QString lookupAddress(const QString& name);

signals:
    void nameFound(const QString& address, const QString& name);
    void addressFound(const QString& name, const QString& address);

private:
    template <typename Work, typename Done> void run(Work work, Done done);

    Prompter* m_prompter;
    const Localiser* m_language;
    int m_pending = 0;
};

} // namespace tarvok
