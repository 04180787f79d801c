#pragma once

#include <QWidget>

class QButtonGroup;

// A row of joined, mutually exclusive buttons: one segment per choice.
class SegmentedControl : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedControl(const QStringList &segments, QWidget *parent = nullptr);

    // Does not emit segmentActivated: only the user's clicks do.
    void setCurrentIndex(int index);

signals:
    void segmentActivated(int index);

private:
    QButtonGroup *m_group;
};
