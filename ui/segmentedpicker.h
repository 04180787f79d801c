#pragma once

#include <QWidget>

class QButtonGroup;

// Joined, mutually exclusive buttons, one per choice, shown as a segmented
// control. Tab enters at the chosen one and arrow keys move and choose. To
// assistive technology it is a group of radio buttons, as exactly one is on.
class SegmentedPicker : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedPicker(const QStringList &choices, QWidget *parent = nullptr);

    void setCurrent(int index);
    int current() const;

signals:
    // Chosen by the user, not by setCurrent().
    void chosen(int index);

private:
    QButtonGroup *m_segments;
};
