#include "monitor/ResolveWindow.h"

#include "engine/EngineServices.h"
#include "monitor/HostResolver.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace tarvok {

ResolveWindow::ResolveWindow(Prompter* prompter, const Localiser& language, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), m_prompter(prompter),
      m_language(language) {
    setObjectName(QStringLiteral("frmResolve"));
    m_addressLabel = new QLabel(this);
    m_addressLabel->setObjectName(QStringLiteral("lblRemoteIP"));
    m_hostLabel = new QLabel(this);
    m_hostLabel->setObjectName(QStringLiteral("lblRemoteHost"));
    m_address = new QLineEdit(this);
    m_address->setObjectName(QStringLiteral("Text1"));
    m_host = new QLineEdit(this);
    m_host->setObjectName(QStringLiteral("Text2"));
    m_host->setReadOnly(true);
    m_close = new QPushButton(this);
    m_close->setObjectName(QStringLiteral("cmdClose"));
    m_delay = new QTimer(this);
    m_delay->setObjectName(QStringLiteral("Timer1"));
    m_delay->setInterval(100);
    m_delay->setSingleShot(true);

    auto* layout = new QFormLayout(this);
    layout->addRow(m_addressLabel, m_address);
    layout->addRow(m_hostLabel, m_host);
    // A screen reader names each field by its caption.
    m_addressLabel->setBuddy(m_address);
    m_hostLabel->setBuddy(m_host);
    layout->addRow(QString(), m_close);
    resize(380, 120);

    connect(m_close, &QPushButton::clicked, this, &QWidget::close);
    connect(m_delay, &QTimer::timeout, this, &ResolveWindow::lookup);
}

void ResolveWindow::resolve(const QString& address) {
    const auto text = [this](int key) { return m_language.text(QStringLiteral("Resolve"), key); };
    setWindowTitle(text(1));
    m_addressLabel->setText(text(2));
    m_hostLabel->setText(text(3));
    m_close->setText(text(5));
    m_host->setText(text(4));
    m_address->setText(address);
    show();
    raise();
    m_delay->start();
}

void ResolveWindow::setWaiting(bool waiting) {
    m_waiting = waiting;
    m_address->setEnabled(!waiting);
    m_close->setEnabled(!waiting);
    if (waiting)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void ResolveWindow::lookup() {
    const int number = ++m_lookup;
    const QString address = m_address->text();
    setWaiting(true);
    // One resolver per lookup, released when it has answered.
    auto* resolver = new IPHostResolver(m_prompter, &m_language, this);
    connect(resolver, &IPHostResolver::nameFound, this,
            [this, resolver, number](const QString& asked, const QString& name) {
                resolver->deleteLater();
                if (number != m_lookup)
                    return; // a newer address is being resolved
                m_host->setText(name);
                setWaiting(false);
                emit lookupDone(asked, name);
            });
    resolver->AddressToName(address);
}

} // namespace tarvok
