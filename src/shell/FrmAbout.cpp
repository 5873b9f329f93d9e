#include "shell/FrmAbout.h"

#include "engine/EngineServices.h"
#include "settings/LanguageKeys.h"
#include "settings/ProgramFolder.h"
#include "shell/Resources.h"
#include "shell/UpdateCheck.h"

#include <QDesktopServices>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace tarvok {

namespace {
QString spoken(QString caption) {
    caption.replace(QLatin1String("&&"), QLatin1String("\x01"));
    caption.remove(QLatin1Char('&'));
    caption.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return caption;
}
} // namespace

FrmAbout::FrmAbout(const QUrl& homePage, const Localiser& language, const QString& programFolder,
                   QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frmAbout"));
    const auto text = [&language](int key) { return language.text(QStringLiteral("About"), key); };
    setWindowTitle(text(1));

    auto* picture = new QLabel(this);
    picture->setPixmap(pictureIcon(Picture::App).pixmap(48, 48));
    auto* title = new QLabel(QStringLiteral("Tarvok"), this);
    title->setObjectName(QStringLiteral("lblTitle"));
    QFont big = title->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    title->setFont(big);

    m_version = new QLabel(text(2), this);
    m_version->setObjectName(QStringLiteral("lblVersion"));
    m_versionNumber = new QLabel(programVersionText(), this);
    m_versionNumber->setObjectName(QStringLiteral("lblVer_JP"));
    m_versionNumber->setAccessibleName(m_version->text() + QLatin1Char(' ') + m_versionNumber->text());

    auto* link = new QLabel(this);
    link->setObjectName(QStringLiteral("lblLink"));
    const QString address = homePage.toString();
    link->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(address.toHtmlEscaped()));
    link->setTextFormat(Qt::RichText);
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    link->setAccessibleName(address);
    connect(link, &QLabel::linkActivated, this, [homePage] { QDesktopServices::openUrl(homePage); });

    auto* info = new QLabel(text(4), this);
    info->setObjectName(QStringLiteral("lblInfo"));
    info->setWordWrap(true);

    // Where the policy, logs and history live, and where an installed Tarvok reads its
    // language and help files when the user has none of their own.
    QString where = language.text(QStringLiteral("Main"), language::FilesFolder)
                        .arg(QDir::toNativeSeparators(programFolder));
    if (!installedDataFolder().isEmpty())
        where += QLatin1Char('\n') + language.text(QStringLiteral("Main"), language::InstalledFilesFolder)
                                        .arg(QDir::toNativeSeparators(installedDataFolder()));
    auto* files = new QLabel(where, this);
    files->setObjectName(QStringLiteral("lblFiles"));
    files->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    m_close = new QPushButton(text(6), this);
    m_close->setObjectName(QStringLiteral("cmdClose"));
    m_close->setAccessibleName(spoken(m_close->text()));
    m_close->setDefault(true);
    connect(m_close, &QPushButton::clicked, this, &QDialog::close);

    // The number follows the localised caption, however long that is.
    auto* versionLine = new QHBoxLayout;
    versionLine->setSpacing(3);
    versionLine->addWidget(m_version);
    versionLine->addWidget(m_versionNumber);
    versionLine->addStretch(1);

    auto* layout = new QGridLayout(this);
    layout->addWidget(picture, 0, 0, 3, 1, Qt::AlignTop);
    layout->addWidget(title, 0, 1);
    layout->addLayout(versionLine, 1, 1);
    layout->addWidget(link, 2, 1);
    layout->addWidget(info, 3, 1);
    layout->addWidget(files, 4, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_close);
    layout->addLayout(buttons, 5, 0, 1, 2);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setTabOrder(link, m_close);
}

} // namespace tarvok
