#include "records/LogText.h"

namespace tarvok {

QString recordText(const EventRecord& r, RecordTextStyle style) {
    const QLatin1String localPort(style == RecordTextStyle::EventList ? "Local Port :"
                                                                        : "Local Port: ");
    const QString lines[] = {
        QStringLiteral("Time - Date: ") + r.time,
        QStringLiteral("Protocol: ") + r.protocol,
        QStringLiteral("Local Address: ") + r.localAddress,
        localPort + r.localPort,
        QStringLiteral("Remote Address: ") + r.remoteAddress,
        QStringLiteral("Remote Port: ") + r.remotePort,
        QStringLiteral("Service: ") + r.service,
        QStringLiteral("Status: ") + r.status,
    };
    QString text;
    for (const QString& line : lines) {
        if (!text.isEmpty())
            text += QLatin1String("\r\n");
        text += line;
    }
    return text;
}

} // namespace tarvok
