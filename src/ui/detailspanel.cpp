#include "ui/detailspanel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QPalette>

#include <array>

namespace domiva {

namespace {

struct Line {
    int top;
    const char* captionName;
    const char* caption;
    const char* valueName;
    QLabel* DetailsPanel::*value;
};

const std::array<Line, DetailsPanel::lineCount> lines = {{
    {8, "Label3", "Трансп.: ", "lblMin_obj", &DetailsPanel::lblMin_obj},
    {32, "Label2", "Адрес: ", "lblMetro_obj", &DetailsPanel::lblMetro_obj},
    {56, "Label1", "Комнат: ", "lblRoom_obj", &DetailsPanel::lblRoom_obj},
    {80, "Label4", "Кухня: ", "lblKitch_obj", &DetailsPanel::lblKitch_obj},
    {104, "Label5", "Цена: ", "lblPrice_obj", &DetailsPanel::lblPrice_obj},
    {128, "Label6", "Комиссия: ", "lblPerc_obj", &DetailsPanel::lblPerc_obj},
    {152, "Label7", "Этаж: ", "lblFlat_obj", &DetailsPanel::lblFlat_obj},
    {176, "Label8", "м/т: ", "lblInfo_obj", &DetailsPanel::lblInfo_obj},
    {200, "Label9", "Контакт: ", "lblCont_obj", &DetailsPanel::lblCont_obj},
    {224, "Label10", "Комментарии: ", "lblOwntxt_obj", &DetailsPanel::lblOwntxt_obj},
    {312, "Label11", "автор: ", "lblPubl_obj", &DetailsPanel::lblPubl_obj},
    {336, "Label12", "дата/время: ", "lblDt_obj", &DetailsPanel::lblDt_obj},
}};

constexpr int commentsWidth = 505;
constexpr int commentsHeight = 81;

} // namespace

DetailsPanel::DetailsPanel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, QColor(255, 255, 255));
    setPalette(white);

    // Only the weight is set, so the captions follow the panel's font in everything else.
    QFont boldOnly;
    boldOnly.setBold(true);

    for (const Line& line : lines) {
        auto* caption = new QLabel(QString::fromUtf8(line.caption), this);
        caption->setObjectName(QLatin1String(line.captionName));
        caption->setTextFormat(Qt::PlainText);
        caption->setAlignment(Qt::AlignRight | Qt::AlignTop);
        caption->setFont(boldOnly);
        m_captions.append(caption);

        auto* value = new QLabel(this);
        value->setObjectName(QLatin1String(line.valueName));
        value->setTextFormat(Qt::PlainText);
        value->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        this->*line.value = value;
    }
    lblOwntxt_obj->setWordWrap(true);
    lblOwntxt_obj->setFixedSize(commentsWidth, commentsHeight);
    placeLabels();
}

QList<QLabel*> DetailsPanel::valueLabels() const {
    QList<QLabel*> result;
    for (const Line& line : lines)
        result.append(this->*line.value);
    return result;
}

void DetailsPanel::clearDetails() {
    showValues({});
}

void DetailsPanel::showValues(const QStringList& twelve) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        QLabel* value = this->*lines[i].value;
        value->setText(qsizetype(i) < twelve.size() ? twelve[qsizetype(i)] : QString());
        if (value != lblOwntxt_obj)
            value->adjustSize();
    }
}

void DetailsPanel::placeLabels() {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        QLabel* caption = m_captions[qsizetype(i)];
        caption->adjustSize();
        caption->move(valueLeft - caption->width(), lines[i].top);
        QLabel* value = this->*lines[i].value;
        if (value != lblOwntxt_obj)
            value->adjustSize();
        value->move(valueLeft, lines[i].top);
    }
}

QSize DetailsPanel::sizeHint() const {
    const int lineHeight = QFontMetrics(font()).height();
    return {valueLeft + commentsWidth + 8, lines.back().top + lineHeight + 8};
}

void DetailsPanel::changeEvent(QEvent* event) {
    QFrame::changeEvent(event);
    // Right-aligned captions keep their right edge when the font changes their width.
    if (event->type() == QEvent::FontChange)
        placeLabels();
}

} // namespace domiva
