// Feeds arbitrary bytes to the log-file reader and checks that every record is well formed
// and that records written back in the log line format read back the same.

#include "FuzzCheck.h"
#include "records/EventList.h"
#include "records/TextFiles.h"

using namespace tarvok;
using tarvok::fuzz::check;

namespace {

QStringList fields(const EventRecord& r) {
    return {r.time,          r.protocol,   r.localAddress, r.localPort,
            r.remoteAddress, r.remotePort, r.service,      r.status};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const QList<EventRecord> records = parseLogFile(bytes);
    check(records.size() <= bytes.count('\n') + bytes.count('\r') + 1, "a record per line");

    QByteArray written;
    QList<EventRecord> quoteFree;
    for (const EventRecord& r : records) {
        check(r.rule.isEmpty(), "no rule column in a file");
        bool hasQuote = false;
        for (const QString& f : fields(r)) {
            check(!f.contains(QLatin1Char('\n')) && !f.contains(QLatin1Char('\r')),
                  "no line break inside a field");
            hasQuote = hasQuote || f.contains(QLatin1Char('"'));
        }
        // Quotes inside a field are not escaped in the file, so only quote-free records
        // can be expected to come back unchanged.
        if (!hasQuote) {
            written += quotedLine(fields(r));
            quoteFree.append(r);
        }
    }
    check(parseLogFile(written) == quoteFree, "written records read back the same");
    return 0;
}
