#pragma once
// The properties of a program's file: path, size, owner, permissions, modified time and the
// package that installed it.

#include <QDialog>

class QLabel;

namespace tarvok {

class Localiser;

class FilePropertiesDialog : public QDialog {
    Q_OBJECT
public:
    FilePropertiesDialog(const QString& path, const Localiser& language, QWidget* parent = nullptr);

private:
    QLabel* m_package;
};

} // namespace tarvok
