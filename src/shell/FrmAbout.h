#pragma once
// The about box frmAbout: product title, version, the home page as a link, one line about the
// program and the close button. Escape closes it; it never blocks the main window.

#include <QDialog>
#include <QUrl>

class QLabel;
class QPushButton;

namespace tarvok {

class Localiser;

class FrmAbout : public QDialog {
    Q_OBJECT
public:
    // programFolder: where this run keeps its files, shown so that people can find them.
    FrmAbout(const QUrl& homePage, const Localiser& language, const QString& programFolder,
             QWidget* parent = nullptr);

private:
    QLabel* m_version = nullptr;
    QLabel* m_versionNumber = nullptr;
    QPushButton* m_close = nullptr;
};

} // namespace tarvok
