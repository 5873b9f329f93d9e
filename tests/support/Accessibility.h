#pragma once
// The controls a person works with, as the accessibility tree presents them to a screen reader.

#include <QAccessible>
#include <QList>
#include <QSet>
#include <QString>

#include <utility>

namespace tarvok::test {

using Control = std::pair<QAccessible::Role, QString>;

inline QList<Control> walk(QAccessibleInterface* node, int depth = 0) {
    static const QSet<QAccessible::Role> roles{QAccessible::PushButton,   QAccessible::CheckBox,
                                               QAccessible::EditableText, QAccessible::ComboBox,
                                               QAccessible::List,         QAccessible::Tree,
                                               QAccessible::Table,        QAccessible::PageTab};
    QList<Control> found;
    if (!node || depth > 40)
        return found;
    if (roles.contains(node->role()) && !node->state().invisible)
        found.append({node->role(), node->text(QAccessible::Name)});
    for (int i = 0; i < node->childCount(); ++i)
        found += walk(node->child(i), depth + 1);
    return found;
}

// The controls of a shown window that have no name, as "role" texts; empty when all have one.
inline QStringList nameless(QObject* window) {
    QStringList missing;
    for (const auto& [role, name] : walk(QAccessible::queryAccessibleInterface(window)))
        if (name.isEmpty())
            missing.append(QString::number(role));
    return missing;
}

} // namespace tarvok::test
