#include "shell/StatusPanels.h"

#include "shell/MainWindowTables.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>

namespace tarvok {

static_assert(StatusPanels::Count == MainWindow::PanelCount);

// A panel's text. A text wider than its panel ends in an ellipsis, so that a cut shows as one.
class PanelText : public QWidget {
public:
    using QWidget::QWidget;

    QString text() const { return m_text; }
    void setText(const QString& text) {
        if (text == m_text)
            return;
        m_text = text;
        // The text is painted, not held by a label: assistive technology reads it here.
        setAccessibleName(text);
        updateGeometry();
        update();
    }
    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(m_text), fontMetrics().height()};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        const QRect area = contentsRect();
        // A figure a little too wide for its narrow panel ("In: 2346 KB/s") is drawn up to a
        // fifth smaller before it is cut, so that the number stays readable.
        QFont smaller = font();
        if (QFontMetrics(smaller).horizontalAdvance(m_text) > area.width() &&
            smaller.pointSizeF() > 0) {
            const qreal size = smaller.pointSizeF();
            for (qreal scale = 0.95; scale >= 0.8; scale -= 0.05) {
                smaller.setPointSizeF(size * scale);
                if (QFontMetrics(smaller).horizontalAdvance(m_text) <= area.width())
                    break;
            }
            painter.setFont(smaller);
        }
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         painter.fontMetrics().elidedText(m_text, Qt::ElideRight, area.width()));
    }

private:
    QString m_text;
};

StatusPanels::StatusPanels(QWidget* parent) : QWidget(parent) {
    // The strip claims no minimum width, so the panels never hold the window wider than its
    // own minimum.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Status-bar text is a little smaller than the window's, as status bars are on most
    // desktops; it lets the first panel's texts fit at the smallest window size.
    QFont small = font();
    if (small.pointSizeF() > 0) {
        small.setPointSizeF(small.pointSizeF() * 0.9);
        setFont(small);
    }
    for (int i = 0; i < Count; ++i) {
        auto* frame = new QFrame(this);
        frame->setObjectName(QStringLiteral("Panel%1").arg(i + 1));
        frame->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        auto* layout = new QHBoxLayout(frame);
        // The strip sets each panel's width; the panel's contents must not resist it.
        layout->setSizeConstraint(QLayout::SetNoConstraint);
        layout->setContentsMargins(2, 1, 2, 1);
        layout->setSpacing(2);

        auto* picture = new QLabel(frame);
        picture->setObjectName(frame->objectName() + QLatin1String("Picture"));
        picture->setFixedSize(16, 16);
        picture->hide();
        auto* text = new PanelText(frame);
        text->setObjectName(frame->objectName() + QLatin1String("Text"));
        text->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        layout->addWidget(picture);
        layout->addWidget(text, 1);
        m_panels[i] = {frame, picture, text, -1, QString()};
    }
    setMinimumHeight(m_panels[0].frame->sizeHint().height());
}

void StatusPanels::setText(int panel, const QString& text) {
    if (!valid(panel) || m_panels[panel - 1].text->text() == text)
        return;
    m_panels[panel - 1].text->setText(text);
    updateName(panel);
    layoutFor(m_windowWidth);
}

QString StatusPanels::text(int panel) const {
    return valid(panel) ? m_panels[panel - 1].text->text() : QString();
}

void StatusPanels::setCaption(int panel, const QString& text, const QString& toolTip) {
    if (!valid(panel))
        return;
    m_panels[panel - 1].text->setText(text);
    m_panels[panel - 1].frame->setToolTip(toolTip);
    updateName(panel);
}

void StatusPanels::setPicture(int panel, const QIcon& picture, int kind) {
    if (!valid(panel))
        return;
    Panel& target = m_panels[panel - 1];
    QLabel* label = target.picture;
    label->setPixmap(picture.isNull() ? QPixmap() : picture.pixmap(label->size()));
    label->setVisible(!picture.isNull());
    target.pictureKind = kind;
    updateName(panel);
    layoutFor(m_windowWidth);
}

void StatusPanels::setMeanings(const QHash<int, QString>& meanings) {
    m_meanings = meanings;
    for (int i = 1; i <= Count; ++i)
        updateName(i);
}

QString StatusPanels::meaning(int panel) const {
    return valid(panel) ? m_panels[panel - 1].meaning : QString();
}

QWidget* StatusPanels::panel(int panel) const {
    return valid(panel) ? m_panels[panel - 1].frame : nullptr;
}

void StatusPanels::updateName(int panel) {
    Panel& target = m_panels[panel - 1];
    target.meaning =
        target.picture->isHidden() ? QString() : m_meanings.value(target.pictureKind);
    target.picture->setAccessibleName(target.meaning);
    const QString text = target.text->text();
    const QString name = target.meaning.isEmpty() || target.meaning == text
                             ? text
                             : text + QStringLiteral(" (") + target.meaning + QLatin1Char(')');
    // setAccessibleName also tells assistive technology that the name changed.
    if (target.frame->accessibleName() != name)
        target.frame->setAccessibleName(name);
}

void StatusPanels::layoutFor(int windowWidth) {
    m_windowWidth = windowWidth;
    for (int i = 0; i < Count; ++i)
        m_widths[i] = qRound(windowWidth / mainwindow::PanelDivisors[i]);
    // Panels 1 and 2 take the width their text needs, as far as the other panels can give way.
    const auto needed = [this](int i) {
        const Panel& p = m_panels[i];
        const QMargins margins = p.frame->layout()->contentsMargins();
        int width = p.text->sizeHint().width() + margins.left() + margins.right() +
                    2 * static_cast<QFrame*>(p.frame)->frameWidth() + 4;
        if (!p.picture->isHidden())
            width += p.picture->width() + p.frame->layout()->spacing();
        return width;
    };
    // The others give only the room their own texts leave, so that the traffic figures stay
    // whole; a first or second text longer than that is shortened, and whole in its tooltip.
    int room = 0;
    for (int i = 2; i < Count; ++i)
        room += qMax(0, m_widths[i] - needed(i));
    int grown = 0;
    for (int i = 0; i < 2; ++i) {
        const int grow = qMin(qMax(0, needed(i) - m_widths[i]), room - grown);
        m_widths[i] += grow;
        grown += grow;
    }
    for (int i = 2; i < Count && grown > 0; ++i) {
        const int give = qMin(grown, qMax(0, m_widths[i] - needed(i)));
        m_widths[i] -= give;
        grown -= give;
    }
    place();
    // A text that still does not fit is shown whole in its tooltip.
    for (int i = 0; i < Count; ++i)
        m_panels[i].text->setToolTip(needed(i) > m_widths[i] ? m_panels[i].text->text()
                                                              : QString());
}

void StatusPanels::resizeEvent(QResizeEvent*) { place(); }

void StatusPanels::place() {
    int x = 0;
    for (int i = 0; i < Count; ++i) {
        m_panels[i].frame->setGeometry(x, 0, m_widths[i], height());
        x += m_widths[i];
    }
}

} // namespace tarvok
