#pragma once
// The main window's status bar: seven panels side by side, "Panel1" .. "Panel7", each a
// picture ("Panel1Picture") and a text ("Panel1Text") in a sunken frame. Each panel takes a
// share of the window's width, and the width its text needs as far as the others can give way
// (see layoutFor()); a text that still does not fit ends in an ellipsis and shows whole in its
// tooltip. Each panel's accessible
// name is its text followed by what its picture stands for.

#include <QHash>
#include <QString>
#include <QWidget>

#include <array>

class QIcon;
class QLabel;

namespace tarvok {

class PanelText;

class StatusPanels : public QWidget {
    Q_OBJECT
public:
    static constexpr int Count = 7;

    explicit StatusPanels(QWidget* parent = nullptr);

    // Panels are numbered 1 to Count from the left; other numbers are ignored.
    void setText(int panel, const QString& text);
    QString text(int panel) const;
    // The language's caption and tooltip of the frame.
    void setCaption(int panel, const QString& text, const QString& toolTip);
    // A null icon removes the picture; kind names the picture for its meaning (-1: none).
    void setPicture(int panel, const QIcon& picture, int kind = -1);
    // What each kind of picture stands for, in the language.
    void setMeanings(const QHash<int, QString>& meanings);
    // What the panel's picture stands for; empty when it shows none.
    QString meaning(int panel) const;
    QWidget* panel(int panel) const;

    // Sets the panels' widths for a window this wide; a text change keeps the last width.
    void layoutFor(int windowWidth);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Panel {
        QWidget* frame = nullptr;
        QLabel* picture = nullptr;
        PanelText* text = nullptr;
        int pictureKind = -1; // the Picture shown, -1 for none or an unnamed one
        QString meaning;
    };
    static bool valid(int panel) { return panel >= 1 && panel <= Count; }
    // Keeps the panel's accessible name (text and picture meaning) current.
    void updateName(int panel);
    void place();

    std::array<Panel, Count> m_panels{};
    std::array<int, Count> m_widths{};
    QHash<int, QString> m_meanings; // localised, by Picture
    int m_windowWidth = 0;
};

} // namespace tarvok
