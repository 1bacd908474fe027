#pragma once

#include <QList>
#include <QObject>

class QAction;
class QWidget;

namespace domiva {

// F6 and Shift+F6: the keyboard's way between the panes of a window, round in a fixed order, as
// in many desktop programs. Tab keeps its own use inside the panes.
class PaneCycle : public QObject {
    Q_OBJECT

public:
    // A pane: the area the focus counts as being in, and the widget that takes the focus.
    struct Pane {
        QWidget* area = nullptr;
        QWidget* target = nullptr;
    };

    // The actions belong to `window`, so their keys work wherever the focus is in it.
    PaneCycle(QWidget* window, const QList<Pane>& panes);

    QAction* nextAction() const { return m_next; }
    QAction* previousAction() const { return m_previous; }

    // The pane the focus is in now, or -1.
    int currentPane() const;

public slots:
    // Moves the focus `by` panes on (back for a negative step), past hidden ones; from
    // outside every pane, F6 goes to the first and Shift+F6 to the last.
    void step(int by);

private:
    QList<Pane> m_panes;
    QAction* m_next = nullptr;
    QAction* m_previous = nullptr;
};

} // namespace domiva
