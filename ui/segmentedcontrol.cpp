#include "ui/segmentedcontrol.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPushButton>

SegmentedControl::SegmentedControl(const QStringList &segments, QWidget *parent)
    : QWidget(parent), m_group(new QButtonGroup(this))
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    for (int i = 0; i < segments.size(); ++i) {
        auto *segment = new QPushButton(segments.at(i), this);
        segment->setCheckable(true);
        segment->setAutoDefault(false);
        segment->setFocusPolicy(Qt::TabFocus);
        m_group->addButton(segment, i);
        row->addWidget(segment);
    }
    row->addStretch(1);
    connect(m_group, &QButtonGroup::idClicked, this, &SegmentedControl::segmentActivated);
}

void SegmentedControl::setCurrentIndex(int index)
{
    if (QAbstractButton *segment = m_group->button(index))
        segment->setChecked(true);
}
