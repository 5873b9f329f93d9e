#include "monitor/FilePropertiesDialog.h"

#include "engine/EngineServices.h"
#include "monitor/FileProperties.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>

namespace tarvok {

FilePropertiesDialog::FilePropertiesDialog(const QString& path, const Localiser& language,
                                           QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frmFileProperties"));
    const auto text = [&language](int key) { return language.text(QStringLiteral("Main"), key); };
    setWindowTitle(text(160));
    const FileFacts facts = FileFacts::of(path);
    const QLocale locale = QLocale::system();
    auto* layout = new QFormLayout(this);
    const auto row = [this, layout](const QString& label, const QString& value, const char* name) {
        auto* field = new QLabel(value, this);
        field->setObjectName(QLatin1String(name));
        field->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addRow(label, field);
        return field;
    };
    row(text(161), path, "lblPath");
    row(text(162), facts.exists ? locale.toString(facts.size) + QLatin1Char(' ') + text(167) : QString(), "lblSize");
    row(text(163), facts.owner, "lblOwner");
    row(text(164), facts.permissions, "lblPermissions");
    row(text(165), facts.exists ? locale.toString(facts.modified, QLocale::ShortFormat) : QString(), "lblModified");
    m_package = row(text(166), text(169), "lblPackage");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setText(text(168));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    layout->addRow(buttons);

    auto* query = new PackageQuery(this);
    const QString none = text(170);
    connect(query, &PackageQuery::found, this, [this, none](const QString& package) {
        m_package->setText(package.isEmpty() ? none : package);
    });
    query->start(path);
}

} // namespace tarvok
