#include "ui/panecycle.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QWidget>

#include <cstdlib>

namespace domiva {

PaneCycle::PaneCycle(QWidget* window, const QList<Pane>& panes) : QObject(window), m_panes(panes) {
    setObjectName(QStringLiteral("paneCycle"));
    const auto action = [window](const QString& name, const QKeySequence& keys) {
        auto* result = new QAction(window);
        result->setObjectName(name);
        result->setShortcut(keys);
        result->setShortcutContext(Qt::WindowShortcut);
        window->addAction(result);
        return result;
    };
    m_next = action(QStringLiteral("actNextPane"), QKeySequence(Qt::Key_F6));
    m_previous = action(QStringLiteral("actPreviousPane"), QKeySequence(Qt::SHIFT | Qt::Key_F6));
    connect(m_next, &QAction::triggered, this, [this] { step(1); });
    connect(m_previous, &QAction::triggered, this, [this] { step(-1); });
}

int PaneCycle::currentPane() const {
    const QWidget* focus = QApplication::focusWidget();
    if (focus == nullptr)
        return -1;
    for (qsizetype i = 0; i < m_panes.size(); ++i) {
        const QWidget* area = m_panes[i].area;
        if (area != nullptr && (area == focus || area->isAncestorOf(focus)))
            return int(i);
    }
    return -1;
}

void PaneCycle::step(int by) {
    const int count = int(m_panes.size());
    if (count == 0 || by == 0)
        return;
    const int direction = by > 0 ? 1 : -1;
    const int current = currentPane();
    int pane = current < 0 ? (by > 0 ? count - 1 : 0) : current;
    int moves = current < 0 ? 1 : std::abs(by);
    // Hidden panes are passed over; a step that finds none shown leaves the focus alone.
    for (int tried = 0; tried < count * (moves + 1) && moves > 0; ++tried) {
        pane = ((pane + direction) % count + count) % count;
        QWidget* target = m_panes[pane].target;
        if (target != nullptr && target->isVisible() && target->isEnabled())
            --moves;
    }
    if (moves > 0)
        return;
    m_panes[pane].target->setFocus(Qt::ShortcutFocusReason);
}

} // namespace domiva
