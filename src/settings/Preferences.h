#pragma once
// The rules of the preferences dialog that do not need a window: the log-size box and the two
// double-click switches, which always stand opposite each other.

#include <QString>

namespace tarvok {

class SettingsStore;

namespace preferences {

// The largest log file size, in kilobytes; also the size when none is set.
constexpr int MaxLogSize = 512;

struct LogSizeText {
    QString text;         // the box's text after the rule
    bool invalid = false; // a character that is not a digit: "Invalid log size"
};
// A change of the size box: leading zeros dropped (one "0" stays), a text with any character
// that is not a digit is invalid and kept for correction, a number above 512 becomes "512".
LogSizeText checkLogSize(const QString& text);

// The size box at opening: LogSize, or "512" when it is empty.
QString initialLogSize(const SettingsStore& settings);

// The double-click mode: closing the connection or showing the file's properties. Writes
// CloseConDBClick and FilePropertyDBClick as opposites and returns the main window's mode,
// "1" for closing, "0" for properties.
QString setDoubleClickCloses(SettingsStore& settings, bool closes);
// Whether the stored settings mean that a double click closes: CloseConDBClick not "False".
bool doubleClickCloses(const SettingsStore& settings);

// Asking before programs without a rule connect, as config.ini keeps it: AskUnknownPrograms
// "True" asks (off otherwise), AskTimeout the seconds a question waits (60 when absent or not a
// number, held within MinAskTimeout..MaxAskTimeout), AskDefaultAnswer "Allow" for allowing once
// when no answer comes (block once otherwise).
constexpr int DefaultAskTimeout = 60;
constexpr int MinAskTimeout = 5;
constexpr int MaxAskTimeout = 3600;
struct Asking {
    bool ask = false;
    int timeoutSeconds = DefaultAskTimeout;
    bool defaultAllow = false;
    bool operator==(const Asking&) const = default;
};
Asking asking(const SettingsStore& settings);
void setAsking(SettingsStore& settings, const Asking& asking);

} // namespace preferences
} // namespace tarvok
