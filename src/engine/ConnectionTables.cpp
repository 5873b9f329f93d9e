#include "engine/ConnectionTables.h"

#include <arpa/inet.h>

namespace tarvok {

QString addressText(std::uint32_t addressField) {
    // The first byte in memory is the first octet.
    return QStringLiteral("%1.%2.%3.%4")
        .arg(addressField & 0xffu)
        .arg((addressField >> 8) & 0xffu)
        .arg((addressField >> 16) & 0xffu)
        .arg((addressField >> 24) & 0xffu);
}

QString addressText(const platform::Address6& address) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, address.data(), text, sizeof text);
    return QString::fromLatin1(text);
}

namespace {
const char* const StateNames[] = {
    "",          "CLOSED",  "LISTENING", "SYN_SENT",   "SYN_RCVD",   "ESTABLISHED", "FIN_WAIT1",
    "FIN_WAIT2", "CLOSE_WAIT", "CLOSING", "LAST_ACK", "TIME_WAIT",
};
} // namespace

QString classicStateName(std::uint32_t state) {
    if (state == platform::StateDeleteTcb)
        return QStringLiteral("BLOCKED CONNECTION");
    return state < std::size(StateNames) ? QString::fromLatin1(StateNames[state]) : QString();
}

QString ownerStateName(std::uint32_t state) {
    if (state == 0)
        return QStringLiteral("UNKNOWN");
    if (state == platform::StateDeleteTcb)
        return QStringLiteral("DELETE_TCB");
    return classicStateName(state);
}

} // namespace tarvok
