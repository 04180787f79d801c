#include "ui/segmentedpicker.h"

#include <QAccessibleWidget>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPushButton>

namespace {

class SegmentAccessible : public QAccessibleWidget {
public:
    explicit SegmentAccessible(QPushButton *segment) : QAccessibleWidget(segment, QAccessible::RadioButton) {}

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Name && widget()->accessibleName().isEmpty())
            return segment()->text();
        return QAccessibleWidget::text(kind);
    }
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.checkable = true;
        state.checked = segment()->isChecked();
        return state;
    }
    QStringList actionNames() const override { return QAccessibleWidget::actionNames() << pressAction(); }
    void doAction(const QString &action) override
    {
        if (action == pressAction())
            segment()->click();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    QPushButton *segment() const { return static_cast<QPushButton *>(widget()); }
};

QAccessibleInterface *pickerAccessible(const QString &, QObject *object)
{
    if (auto *picker = qobject_cast<SegmentedPicker *>(object))
        return new QAccessibleWidget(picker, QAccessible::Grouping);
    auto *segment = qobject_cast<QPushButton *>(object);
    if (segment && qobject_cast<SegmentedPicker *>(segment->parent()))
        return new SegmentAccessible(segment);
    return nullptr;
}

} // namespace

SegmentedPicker::SegmentedPicker(const QStringList &choices, QWidget *parent)
    : QWidget(parent), m_segments(new QButtonGroup(this))
{
    static const bool factoryInstalled = (QAccessible::installFactory(pickerAccessible), true);
    (void)factoryInstalled;
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (const QString &choice : choices) {
        auto *segment = new QPushButton(choice, this);
        segment->setCheckable(true);
        segment->setAutoDefault(false);
        segment->setFocusPolicy(Qt::TabFocus);
        m_segments->addButton(segment, int(m_segments->buttons().size()));
        layout->addWidget(segment);
    }
    layout->addStretch(1);
    connect(m_segments, &QButtonGroup::idClicked, this, &SegmentedPicker::chosen);
}

void SegmentedPicker::setCurrent(int index)
{
    m_segments->button(index)->setChecked(true);
}

int SegmentedPicker::current() const
{
    return m_segments->checkedId();
}
