#pragma once
// Every (section, key) that the program reads from a language file. Every shipped language
// file must hold all of them; a key missing from a file shows as an empty text.

#include <QList>
#include <QString>


namespace tarvok::language {

struct Key {
    QString section;
    QString key;
    bool operator==(const Key&) const = default;
};

// Section [LANGUAGE]: the file's character set and its translator.
inline const QStringList& headerKeys() {
    static const QStringList keys = {QStringLiteral("CharacterSet"), QStringLiteral("translator"),
                                     QStringLiteral("e-mail"), QStringLiteral("web")};
    return keys;
}

inline QList<Key> allKeys() {
    // Numbered keys as closed ranges, section by section.
    struct Range {
        const char* section;
        int first;
        int last;
    };
    static constexpr Range numbered[] = {
        {"Main", 1, 21}, {"Main", 24, 83}, {"Main", 87, 112}, // main window, messages, holders
        {"Main", 120, 122},                                   // monitor only, and why
        {"Main", 160, 170},                                   // file properties dialog
        {"Add", 1, 34},                                       // rule editor and words of rules
        {"About", 1, 2}, {"About", 4, 4}, {"About", 6, 6},    // about box
        {"Preferences", 1, 13},                               // preferences dialog
        {"Log", 1, 11},                                       // log record window
        {"Resolve", 1, 5},                                    // host resolver window
        {"Alert", 1, 5},                                      // alert window
        {"Tray", 4, 5}, {"Tray", 7, 8},                       // language choice in preferences
        {"Splash", 5, 5},                                     // unsupported system at start-up
    };
    QList<Key> keys;
    for (const QString& key : headerKeys())
        keys.append({QStringLiteral("LANGUAGE"), key});
    for (const Range& range : numbered)
        for (int key = range.first; key <= range.last; ++key)
            keys.append({QString::fromLatin1(range.section), QString::number(key)});
    return keys;
}

} // namespace tarvok::language
