#pragma once

#include <QList>
#include <QScrollArea>
#include <QStringList>

class QLabel;

namespace domiva {

// The panel under the offers grid with every field of the selected offer: a bold caption
// right-aligned to x = 104 and its value from x = 104 on each line (positions inside the
// panel's outer edge). Values are shown as plain text, never as markup, because they come from
// the feed. Ground and text are the palette's Base and Text: white and black on a light
// palette, the scheme's own colours on a dark one. Where the panel is shorter or narrower than
// its rows (a small screen), it scrolls; otherwise it shows no scroll bar.
// The keyboard reaches it through the window (F6), not by Tab: the focus then stands on one
// value at a time, Up and Down go from line to line, and each caption is the label of its value
// for a screen reader. Values can be selected and copied.
class DetailsPanel : public QScrollArea {
    Q_OBJECT

public:
    static constexpr int valueLeft = 104;
    static constexpr int lineCount = 12;
    // Below the twelve lines: the flat's earlier appearances ("Ранее: "), empty for a flat seen
    // for the first time.
    static constexpr int earlierTop = 360;

    explicit DetailsPanel(QWidget* parent = nullptr);

    // Empties the twelve value labels and the earlier appearances.
    void clearDetails();
    // The text of the earlier appearances line (ui/earlierwording.h).
    void showEarlier(const QString& text);
    // Sets the twelve value labels in the order of valueLabels(); missing entries give empty
    // labels, extra ones are ignored.
    void showValues(const QStringList& twelve);

    // Value labels in order: min, metro, room, kitch, price, perc, flat, info, cont, owntxt,
    // publ, dt.
    QList<QLabel*> valueLabels() const;
    // Caption labels in the same order.
    QList<QLabel*> captionLabels() const { return m_captions; }

    QSize sizeHint() const override;
    // The room the rows take, frame included.
    QSize rowsSize() const;

    // Owned by the panel.
    QLabel* lblMin_obj = nullptr;
    QLabel* lblMetro_obj = nullptr;
    QLabel* lblRoom_obj = nullptr;
    QLabel* lblKitch_obj = nullptr;
    QLabel* lblPrice_obj = nullptr;
    QLabel* lblPerc_obj = nullptr;
    QLabel* lblFlat_obj = nullptr;
    QLabel* lblInfo_obj = nullptr;
    QLabel* lblCont_obj = nullptr;
    QLabel* lblOwntxt_obj = nullptr;
    QLabel* lblPubl_obj = nullptr;
    QLabel* lblDt_obj = nullptr;
    QLabel* lblEarlierCaption = nullptr;
    QLabel* lblEarlier = nullptr;

protected:
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void placeLabels();

    QWidget* m_rows; // the scrolled content holding the labels; owned by the panel
    QList<QLabel*> m_captions;
    // The line the focus was last on, where it comes back to.
    int m_line = 0;
};

} // namespace domiva
