#include "shell/StatusPanels.h"

#include "shell/MainWindowTables.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>

#include <algorithm>

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
    // The narrowest width the text is drawn whole in: a text a little too wide for its panel
    // ("In: 2346 KB/s") is drawn up to a fifth smaller before it is cut, so that it stays
    // readable.
    int leastWidth() const { return QFontMetrics(scaled(LeastPercent)).horizontalAdvance(m_text); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        const QRect area = contentsRect();
        for (int percent = 100; percent >= LeastPercent; percent -= 5) {
            painter.setFont(scaled(percent));
            if (painter.fontMetrics().horizontalAdvance(m_text) <= area.width())
                break;
        }
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         painter.fontMetrics().elidedText(m_text, Qt::ElideRight, area.width()));
    }

private:
    static constexpr int LeastPercent = 80;
    QFont scaled(int percent) const {
        QFont smaller = font();
        if (smaller.pointSizeF() > 0)
            smaller.setPointSizeF(smaller.pointSizeF() * percent / 100);
        return smaller;
    }

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
    // The width a panel needs for its text at full size, or drawn up to a fifth smaller.
    const auto needed = [this](int i, bool least) {
        const Panel& p = m_panels[i];
        const QMargins margins = p.frame->layout()->contentsMargins();
        int width = (least ? p.text->leastWidth() : p.text->sizeHint().width()) + margins.left() +
                    margins.right() + 2 * static_cast<QFrame*>(p.frame)->frameWidth() + 4;
        if (!p.picture->isHidden())
            width += p.picture->width() + p.frame->layout()->spacing();
        return width;
    };
    // The last entry is the room of the strip (the window less the status bar's margins) that
    // the panels' shares leave.
    constexpr int Unused = Count;
    using Widths = std::array<int, Count + 1>;
    Widths widths{}, full{}, least{};
    const int margins = parentWidget() ? parentWidget()->width() - width() : 0;
    int unused = windowWidth - qBound(0, margins, windowWidth);
    for (int i = 0; i < Count; ++i) {
        widths[i] = qRound(windowWidth / mainwindow::PanelDivisors[i]);
        unused -= widths[i];
        full[i] = needed(i, false);
        least[i] = needed(i, true);
    }
    widths[Unused] = qMax(0, unused);
    // Each panel takes the width its text needs as far as the others can give way: the traffic
    // figures (panels 3 to 7) first, then whether the firewall works (1), then the policy in
    // force (2). A panel gives the room its text leaves at full size. Where a text still does
    // not fit, the others give what their texts leave drawn smaller, and lastly the policy's
    // name, free text, gives way down to a third of its panel; but only when that makes the
    // text whole. A text that does not fit is cut, and whole in its tooltip.
    constexpr int Policy = 1;
    constexpr int order[] = {2, 3, 4, 5, 6, 0, Policy};
    constexpr int givers[] = {Unused, 2, 3, 4, 5, 6, 0, Policy};
    const auto share = [&widths, &order, &givers](const Widths& wanted, const Widths& floors,
                                                  bool wholeOnly) {
        for (const int taker : order) {
            int spare = 0;
            for (const int giver : givers)
                spare += giver == taker ? 0 : qMax(0, widths[giver] - floors[giver]);
            if (wholeOnly && spare < wanted[taker] - widths[taker])
                continue;
            for (const int giver : givers) {
                const int give = qMin(wanted[taker] - widths[taker], widths[giver] - floors[giver]);
                if (giver == taker || give <= 0)
                    continue;
                widths[giver] -= give;
                widths[taker] += give;
            }
        }
    };
    share(full, full, false);
    share(least, least, true);
    Widths floors = least;
    floors[Policy] = qMin(least[Policy], qRound(windowWidth / mainwindow::PanelDivisors[Policy] / 3));
    share(least, floors, true);
    std::copy_n(widths.begin(), Count, m_widths.begin());
    place();
    for (int i = 0; i < Count; ++i)
        m_panels[i].text->setToolTip(least[i] > m_widths[i] ? m_panels[i].text->text() : QString());
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
