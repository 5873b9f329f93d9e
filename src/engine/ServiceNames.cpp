#include "engine/ServiceNames.h"

namespace tarvok {
namespace {

struct Service {
    const char* port;
    const char* name;
};

// In comparison order: the first equal port decides.
constexpr Service Services[] = {
    {"7", "ECHO"},          {"20", "FTPDATA"},        {"21", "FTP"},
    {"22", "SSH"},          {"23", "Telnet"},         {"25", "SMTP"},
    {"42", "NAMESERVER"},   {"43", "WHOIS"},          {"53", "DOMAIN"},
    {"80", "HTTP"},         {"101", "HOSTNAMES"},     {"107", "RTELNET"},
    {"109", "POP2"},        {"110", "POP3"},          {"113", "AUTH"},
    {"118", "SQLSERV"},     {"119", "NNTP"},          {"123", "NTP"},
    {"135", "DCOM"},        {"137", "NETBIOS_NS"},    {"138", "NETBIOS_DGM"},
    {"139", "NETBIOS_SSN"}, {"143", "IMAP"},          {"179", "BGP"},
    {"220", "IMAP3"},       {"443", "HTTPS"},         {"445", "MICROSOFT_DS"},
    {"465", "SMTPs"},       {"513", "LOGIN"},         {"514", "SHELL"},
    {"532", "NETNEWS"},     {"556", "REMOTEFS"},      {"636", "LDAPS"},
    {"749", "KERBEROS_ADM"}, {"750", "RFILE"},        {"993", "IMAPs"},
    {"995", "SPOP3"},       {"1080", "SOCKS"},        {"1433", "MS_SQL_S"},
    {"1434", "MS_SQL_M"},   {"1512", "WINS"},         {"1723", "PPTP"},
    {"1689", "FIREFOX"},    {"3128", "PROXY"},        {"5631", "pcANYWHEREdata"},
    {"5900", "VNC_SERVER"}, {"6667", "IRC"},          {"8008", "PROXY"},
    {"8080", "PROXY"},      {"8088", "PROXY"},
};
static_assert(std::size(Services) == 50);

} // namespace

QString serviceName(const QString& portText) {
    for (const Service& service : Services) {
        if (portText == QLatin1String(service.port))
            return QString::fromLatin1(service.name);
    }
    return QStringLiteral("-");
}

} // namespace tarvok
