// Feeds arbitrary bytes to the readers of /proc/net/snmp, snmp6 and sockstat, as each of
// these files, and asks for every counter the traffic figures read.

#include "FuzzCheck.h"
#include "stats/ProtocolCounters.h"

using namespace tarvok;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView text(data, qsizetype(size));
    for (const char* name : {"InReceives", "OutRequests", "CurrEstab", "InDatagrams", "X"})
        for (const char* table : {"Ip", "Tcp", "Udp", ""})
            proc::snmpValue(text, table, name);
    for (const char* name : {"Ip6InReceives", "Ip6OutRequests", "Udp6InDatagrams", ""})
        proc::snmp6Value(text, name);
    for (const char* protocol : {"TCP", "UDP", "TCP6", "sockets"})
        for (const char* name : {"inuse", "tw", "used", ""})
            proc::sockstatValue(text, protocol, name);
    return 0;
}
