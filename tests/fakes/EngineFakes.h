#pragma once
// Stand-ins for the engine's collaborators: they record what the engine asked for.

#include "engine/EngineServices.h"

#include <QList>
#include <QMap>

namespace tarvok::test {

class RecordingEvents : public EventSink {
public:
    void append(const EventRecord& record, bool skipDuplicateCheck) override {
        records.append(record);
        skipFlags.append(skipDuplicateCheck);
    }
    void flush() override {}
    QList<EventRecord> records;
    QList<bool> skipFlags;
};

class RecordingNotifier : public Notifier {
public:
    struct Balloon {
        QString message, title;
        int icon, timeoutMs;
    };
    void showBalloon(const QString& message, const QString& title, int icon,
                     int timeoutMs) override {
        balloons.append({message, title, icon, timeoutMs});
    }
    QList<Balloon> balloons;
};

class MapSettings : public SettingsStore {
public:
    QString value(const QString& key) const override { return values.value(key); }
    void setValue(const QString& key, const QString& value) override { values[key] = value; }
    QMap<QString, QString> values;
};

class MapLocaliser : public Localiser {
public:
    QString text(const QString& section, int key) const override {
        return texts.value(section + QLatin1Char('/') + QString::number(key));
    }
    QMap<QString, QString> texts;
};

} // namespace tarvok::test
