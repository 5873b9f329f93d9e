#pragma once
// The small interfaces through which the enforcement pass reaches the rest of the program:
// the event list, the tray balloon, the settings record and the language file. The engine
// owns none of them; the main window wires real implementations in, tests wire their own.

#include <QString>

namespace tarvok {

// One row of the event list: nine text columns, in column order.
struct EventRecord {
    QString time;          // time of day, " - ", date
    QString protocol;      // "TCP" for the enforcement pass
    QString localAddress;  // dotted text
    QString localPort;     // decimal
    QString remoteAddress; // dotted text
    QString remotePort;    // decimal
    QString service;       // service name of the remote port
    QString status;        // state name, "BLOCKED CONNECTION", or a failure text
    QString rule;          // "(" + rule position + ")"
    // The executable file of the refused program, for the program filter's refusals; never
    // stored in the log files, whose columns stay as they are.
    QString program{};
    // The process whose connection it was, where a record names one (an answer to a question
    // about a program); never stored in the log files either.
    QString pid{};

    bool operator==(const EventRecord&) const = default;
};

class EventSink {
public:
    virtual ~EventSink() = default;
    // Adds a record at the end, unless skipDuplicateCheck is false and an equal record
    // (protocol, local port, remote address, remote port, status) is already listed.
    virtual void append(const EventRecord& record, bool skipDuplicateCheck) = 0;
    // Writes the list to the day's log file once it holds enough records.
    virtual void flush() = 0;
};

class Notifier {
public:
    // Balloon icon types as the tray understands them.
    enum Icon { Information = 1, Warning = 2, Critical = 3 };
    // How long a balloon stays when nothing closes it sooner.
    static constexpr int BalloonTimeoutMs = 30000;
    virtual ~Notifier() = default;
    virtual void showBalloon(const QString& message, const QString& title, int iconType,
                             int timeoutMs) = 0;
};

// Read and write access to the settings record; values are texts, keys are the config.ini keys.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual QString value(const QString& key) const = 0;
    virtual void setValue(const QString& key, const QString& value) = 0;
};

// A text of the language in use, addressed by section and decimal key.
class Localiser {
public:
    virtual ~Localiser() = default;
    virtual QString text(const QString& section, int key) const = 0;
};

} // namespace tarvok
