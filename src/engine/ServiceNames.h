#pragma once
// The well-known service usually found on a port, from a fixed table of 50 ports.

#include <QString>

namespace tarvok {

// portText is the port in decimal; the comparison is textual, so "080" or " 80" find no
// entry. Returns "-" for a port that is not in the table.
QString serviceName(const QString& portText);

} // namespace tarvok
