#include "ui/detailspanel.h"

#include "ui/offercaptions.h"

#include <QEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>

#include <algorithm>
#include <array>

namespace domiva {

namespace {

// Where each line of offerCaptions stands, and the names of its two labels.
struct Line {
    int top;
    const char* captionName;
    const char* valueName;
    QLabel* DetailsPanel::*value;
};

const std::array<Line, DetailsPanel::lineCount> lines = {{
    {8, "Label3", "lblMin_obj", &DetailsPanel::lblMin_obj},
    {32, "Label2", "lblMetro_obj", &DetailsPanel::lblMetro_obj},
    {56, "Label1", "lblRoom_obj", &DetailsPanel::lblRoom_obj},
    {80, "Label4", "lblKitch_obj", &DetailsPanel::lblKitch_obj},
    {104, "Label5", "lblPrice_obj", &DetailsPanel::lblPrice_obj},
    {128, "Label6", "lblPerc_obj", &DetailsPanel::lblPerc_obj},
    {152, "Label7", "lblFlat_obj", &DetailsPanel::lblFlat_obj},
    {176, "Label8", "lblInfo_obj", &DetailsPanel::lblInfo_obj},
    {200, "Label9", "lblCont_obj", &DetailsPanel::lblCont_obj},
    {224, "Label10", "lblOwntxt_obj", &DetailsPanel::lblOwntxt_obj},
    {312, "Label11", "lblPubl_obj", &DetailsPanel::lblPubl_obj},
    {336, "Label12", "lblDt_obj", &DetailsPanel::lblDt_obj},
}};
static_assert(lines.size() == offerCaptions.size());

constexpr int commentsWidth = 505;
constexpr int commentsHeight = 81;

} // namespace

DetailsPanel::DetailsPanel(QWidget* parent) : QScrollArea(parent), m_rows(new QWidget) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    // The labels inherit the ground's role, and with it the text colour that goes with the
    // ground (Text on Base), so a dark scheme gives light text on a dark ground.
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    // Grown to the viewport where there is room, so no scroll bar shows at the usual size.
    setWidgetResizable(true);
    setWidget(m_rows);
    // Like the plain panel it was: not a stop of the Tab key.
    setFocusPolicy(Qt::NoFocus);

    // Only the weight is set, so the captions follow the panel's font in everything else.
    QFont boldOnly;
    boldOnly.setBold(true);

    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        auto* caption = new QLabel(captionLabelText(offerCaptions[i].caption), m_rows);
        caption->setObjectName(QLatin1String(line.captionName));
        caption->setTextFormat(Qt::PlainText);
        caption->setAlignment(Qt::AlignRight | Qt::AlignTop);
        caption->setFont(boldOnly);
        m_captions.append(caption);

        auto* value = new QLabel(m_rows);
        value->setObjectName(QLatin1String(line.valueName));
        value->setTextFormat(Qt::PlainText);
        value->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        // Focused by a click or from the panel, never by Tab.
        value->setFocusPolicy(Qt::ClickFocus);
        value->installEventFilter(this);
        caption->setBuddy(value);
        this->*line.value = value;
    }
    lblEarlierCaption = new QLabel(captionLabelText(earlierCaption), m_rows);
    lblEarlierCaption->setObjectName(QStringLiteral("lblEarlierCaption"));
    lblEarlierCaption->setTextFormat(Qt::PlainText);
    lblEarlierCaption->setAlignment(Qt::AlignRight | Qt::AlignTop);
    lblEarlierCaption->setFont(boldOnly);
    lblEarlier = new QLabel(m_rows);
    lblEarlier->setObjectName(QStringLiteral("lblEarlier"));
    lblEarlier->setTextFormat(Qt::PlainText);
    lblEarlier->setAlignment(Qt::AlignLeft | Qt::AlignTop);
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
    showEarlier({});
}

void DetailsPanel::showEarlier(const QString& text) {
    lblEarlier->setText(text);
    lblEarlier->adjustSize();
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
    // The content starts inside the frame; the positions are the panel's.
    const int inside = frameWidth();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        QLabel* caption = m_captions[qsizetype(i)];
        caption->adjustSize();
        caption->move(valueLeft - caption->width() - inside, lines[i].top - inside);
        QLabel* value = this->*lines[i].value;
        if (value != lblOwntxt_obj)
            value->adjustSize();
        value->move(valueLeft - inside, lines[i].top - inside);
    }
    lblEarlierCaption->adjustSize();
    lblEarlierCaption->move(valueLeft - lblEarlierCaption->width() - inside, earlierTop - inside);
    lblEarlier->adjustSize();
    lblEarlier->move(valueLeft - inside, earlierTop - inside);
    m_rows->setMinimumSize(rowsSize() - QSize(2 * inside, 2 * inside));
}

QSize DetailsPanel::rowsSize() const {
    // The last line and the comments box, each whole; long values may run past the right
    // edge as they always did, so they do not widen the rows.
    const int lastBottom = earlierTop + std::max(lblEarlierCaption->height(), lblEarlier->height());
    return {valueLeft + commentsWidth + frameWidth(), lastBottom + frameWidth()};
}

QSize DetailsPanel::sizeHint() const {
    const int lineHeight = QFontMetrics(font()).height();
    return {valueLeft + commentsWidth + 8, earlierTop + lineHeight + 8};
}

void DetailsPanel::focusInEvent(QFocusEvent* event) {
    QScrollArea::focusInEvent(event);
    // The panel itself holds no text: the focus goes on to the line it was last on.
    const QList<QLabel*> values = valueLabels();
    values[std::clamp(m_line, 0, int(values.size()) - 1)]->setFocus(event->reason());
}

bool DetailsPanel::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::FocusIn && event->type() != QEvent::KeyPress)
        return QScrollArea::eventFilter(watched, event);
    const QList<QLabel*> values = valueLabels();
    const int line = int(values.indexOf(qobject_cast<QLabel*>(watched)));
    if (line < 0)
        return QScrollArea::eventFilter(watched, event);
    if (event->type() == QEvent::FocusIn) {
        m_line = line;
        ensureWidgetVisible(values[line]);
    } else if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const int step = key->key() == Qt::Key_Up ? -1 : (key->key() == Qt::Key_Down ? 1 : 0);
        if (step != 0 && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            const int next = std::clamp(line + step, 0, int(values.size()) - 1);
            values[next]->setFocus(Qt::OtherFocusReason);
            return true;
        }
    }
    return QScrollArea::eventFilter(watched, event);
}

void DetailsPanel::changeEvent(QEvent* event) {
    QScrollArea::changeEvent(event);
    // Right-aligned captions keep their right edge when the font changes their width.
    if (event->type() == QEvent::FontChange)
        placeLabels();
}

} // namespace domiva
