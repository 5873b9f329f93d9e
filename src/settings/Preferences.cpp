#include "settings/Preferences.h"

#include "engine/EngineServices.h"

#include <algorithm>

namespace tarvok::preferences {

namespace {
QString boolText(bool on) { return on ? QStringLiteral("True") : QStringLiteral("False"); }
} // namespace

LogSizeText checkLogSize(const QString& input) {
    LogSizeText result{input};
    QString& text = result.text;
    while (text.size() > 1 && text.startsWith(QLatin1Char('0')))
        text.remove(0, 1);
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') {
            result.invalid = true;
            return result;
        }
    }
    // Any run of digits longer than the limit's is above it; no overflow to mind.
    if (!text.isEmpty() && (text.size() > 3 || text.toInt() > MaxLogSize))
        text = QString::number(MaxLogSize);
    return result;
}

QString initialLogSize(const SettingsStore& settings) {
    const QString size = settings.value(QStringLiteral("LogSize"));
    return size.isEmpty() ? QString::number(MaxLogSize) : size;
}

QString setDoubleClickCloses(SettingsStore& settings, bool closes) {
    settings.setValue(QStringLiteral("CloseConDBClick"), boolText(closes));
    settings.setValue(QStringLiteral("FilePropertyDBClick"), boolText(!closes));
    return closes ? QStringLiteral("1") : QStringLiteral("0");
}

bool doubleClickCloses(const SettingsStore& settings) {
    return settings.value(QStringLiteral("CloseConDBClick")) != QLatin1String("False");
}

Asking asking(const SettingsStore& settings) {
    Asking result;
    result.ask = settings.value(QStringLiteral("AskUnknownPrograms")) == QLatin1String("True");
    bool number = false;
    const int seconds = settings.value(QStringLiteral("AskTimeout")).toInt(&number);
    if (number)
        result.timeoutSeconds = std::clamp(seconds, MinAskTimeout, MaxAskTimeout);
    result.defaultAllow = settings.value(QStringLiteral("AskDefaultAnswer")) == QLatin1String("Allow");
    return result;
}

void setAsking(SettingsStore& settings, const Asking& asking) {
    settings.setValue(QStringLiteral("AskUnknownPrograms"), boolText(asking.ask));
    settings.setValue(QStringLiteral("AskTimeout"),
                      QString::number(std::clamp(asking.timeoutSeconds, MinAskTimeout, MaxAskTimeout)));
    settings.setValue(QStringLiteral("AskDefaultAnswer"),
                      asking.defaultAllow ? QStringLiteral("Allow") : QStringLiteral("Block"));
}

} // namespace tarvok::preferences
