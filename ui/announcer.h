#pragma once

#include <QTimer>
#include <QWidget>

#include <array>

// Says a line to screen readers without moving the focus: to assistive
// technology a notification that comes up with the line as its name. It
// takes no room and draws nothing.
class Announcer : public QWidget {
    Q_OBJECT
public:
    explicit Announcer(QWidget *parent = nullptr);

    // Says `line` once control is back in the event loop, unless a later
    // line replaces it first, it is empty, or it is the line said last.
    void announce(const QString &line);
    const QString &lastLine() const { return m_said; }

private:
    void sayPending();

    QString m_pending;
    QString m_said;
    QTimer m_soon;
    // Orca looks a notification's name up when it gets to the event, so
    // each line has a notification of its own, taken in turn.
    std::array<QWidget *, 8> m_notes{};
    size_t m_next = 0;
};
