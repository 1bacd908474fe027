#pragma once

#include <QFrame>
#include <QList>
#include <QStringList>

class QLabel;

namespace domiva {

// The white panel under the offers grid with every field of the selected offer: a bold caption
// right-aligned to x = 104 and its value from x = 104 on each line. Values are shown as plain
// text, never as markup, because they come from the feed.
class DetailsPanel : public QFrame {
    Q_OBJECT

public:
    static constexpr int valueLeft = 104;
    static constexpr int lineCount = 12;

    explicit DetailsPanel(QWidget* parent = nullptr);

    // Empties the twelve value labels.
    void clearDetails();
    // Sets the twelve value labels in the order of valueLabels(); missing entries give empty
    // labels, extra ones are ignored.
    void showValues(const QStringList& twelve);

    // Value labels in order: min, metro, room, kitch, price, perc, flat, info, cont, owntxt,
    // publ, dt.
    QList<QLabel*> valueLabels() const;
    // Caption labels in the same order.
    QList<QLabel*> captionLabels() const { return m_captions; }

    QSize sizeHint() const override;

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

protected:
    void changeEvent(QEvent* event) override;

private:
    void placeLabels();

    QList<QLabel*> m_captions;
};

} // namespace domiva
