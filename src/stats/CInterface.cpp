#include "stats/CInterface.h"

#include <QStringList>

namespace tarvok {

QString adapterAddressText(const unsigned char* bytes, int length) {
    QStringList parts;
    for (int i = 0; i < length && i < 8; ++i)
        parts.append(QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper());
    return parts.join(QLatin1Char('-'));
}

} // namespace tarvok
