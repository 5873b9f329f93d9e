#include "monitor/ProgramIcons.h"

#include <QApplication>
#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

namespace tarvok {

namespace {

// A round mark of one colour, for the state of a per-connection row.
QIcon mark(const QColor& colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour.darker(140));
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(3.5, 3.5, 9, 9));
    return QIcon(pixmap);
}

QIcon standard(QStyle::StandardPixmap which) { return QApplication::style()->standardIcon(which); }

} // namespace

QIcon ProgramIcons::iconFile(const QString& path) {
    // QIcon(path) would open the file itself, and wait for ever on a FIFO: the bytes are
    // read here, within bounds, and decoded from memory.
    const std::optional<QByteArray> bytes = readSmallRegularFile(path, MaxIconBytes);
    if (!bytes)
        return QIcon();
    QBuffer buffer;
    buffer.setData(*bytes);
    QImageReader reader(&buffer, QFileInfo(path).suffix().toLatin1().toLower());
    reader.setDecideFormatFromContent(true);
    const QSize size = reader.size();
    if (reader.supportsOption(QImageIOHandler::ScaledSize)) // a drawing (SVG): the lists' size
        reader.setScaledSize(size.isValid() ? size.scaled(32, 32, Qt::KeepAspectRatio)
                                            : QSize(32, 32));
    else if (!size.isValid() || size.width() > MaxIconSide || size.height() > MaxIconSide)
        return QIcon();
    const QImage image = reader.read();
    return image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
}

ProgramIcons::ProgramIcons(DesktopEntries entries) : m_entries(std::move(entries)) {}

QVariant ProgramIcons::icon(const QString& key) { return programIcon(key); }

QIcon ProgramIcons::programIcon(const QString& key) {
    auto found = m_cache.constFind(key);
    if (found == m_cache.constEnd())
        found = m_cache.insert(key, make(key));
    return *found;
}

QIcon ProgramIcons::make(const QString& key) {
    if (key == QLatin1String(Established))
        return mark(QColor(0x3c, 0xa0, 0x3c));
    if (key == QLatin1String(Listening))
        return mark(QColor(0x3c, 0x6e, 0xc8));
    if (key == QLatin1String(Udp))
        return mark(QColor(0xe0, 0x96, 0x28));
    if (key.isEmpty() || key == QLatin1String(UnknownProgram))
        return standard(QStyle::SP_MessageBoxQuestion);
    const QString name = m_entries.iconFor(key);
    QIcon icon;
    if (!name.isEmpty())
        icon = QFileInfo(name).isAbsolute() ? iconFile(name) : QIcon::fromTheme(name);
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("application-x-executable"));
    if (icon.isNull())
        icon = standard(QStyle::SP_FileIcon);
    return icon;
}

} // namespace tarvok
