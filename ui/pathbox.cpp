#include "ui/pathbox.h"

#include "ui/readablelabel.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>

const QString PathBox::placeholder = QStringLiteral("No firmware file selected");

namespace {
constexpr int paddingVertical = 7;
constexpr int paddingHorizontal = 9;
constexpr qreal cornerRadius = 7.0;
}

PathBox::PathBox(QWidget *parent) : QWidget(parent), m_label(new ReadableLabel(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(paddingHorizontal, paddingVertical, paddingHorizontal, paddingVertical);
    m_label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // A stop on the way with Tab, so the path can be heard and copied by keys.
    m_label->setFocusPolicy(Qt::StrongFocus);
    // Read-only text, which readers say with its content; a label they say by its name alone.
    m_label->setAccessibleRole(QAccessible::EditableText);
    setFocusProxy(m_label);
    m_label->setContextMenuPolicy(Qt::CustomContextMenu);
    // The label's own width must not follow the path, or a long path would
    // widen the window instead of being cut.
    m_label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_label->installEventFilter(this);
    layout->addWidget(m_label);
    connect(m_label, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        QMenu menu;
        menu.addAction(tr("Copy"), this, &PathBox::copy)->setEnabled(!m_path.isEmpty());
        menu.addAction(tr("Select All"), this, &PathBox::selectAll);
        menu.exec(m_label->mapToGlobal(at));
    });
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    updateShownText();
}

void PathBox::setPath(const QString &path)
{
    m_path = path;
    updateShownText();
    setToolTip(path);
}

void PathBox::setName(const QString &name)
{
    setAccessibleName(name);
    m_label->setAccessibleName(name);
}

QString PathBox::shownText() const
{
    return m_label->text();
}

void PathBox::updateShownText()
{
    if (m_path.isEmpty()) {
        m_label->setReadableText(placeholder);
        return;
    }
    const int available = qMax(0, width() - 2 * paddingHorizontal);
    m_label->setReadableText(m_path, m_label->fontMetrics().elidedText(m_path, Qt::ElideMiddle, available));
}

void PathBox::selectAll()
{
    m_label->setSelection(0, int(m_label->text().size()));
}

void PathBox::copy() const
{
    QString text = m_label->selectedText();
    // No selection, or one that takes in the cut, stands for the whole path.
    if (text.isEmpty() || (shownText() != m_path && text.contains(QChar(0x2026))))
        text = m_path;
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

bool PathBox::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_label && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->matches(QKeySequence::Copy)) {
            copy();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

QSize PathBox::sizeHint() const
{
    return {200, m_label->fontMetrics().height() + 2 * paddingVertical};
}

QSize PathBox::minimumSizeHint() const
{
    return {2 * paddingHorizontal + 20, sizeHint().height()};
}

void PathBox::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updateShownText();
}

void PathBox::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The outline is centred on the box's edge, so inset by half its width.
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(box, cornerRadius, cornerRadius);
    painter.fillPath(shape, palette().color(QPalette::Base));
    painter.setPen(QPen(palette().color(QPalette::Mid), 1.0));
    painter.drawPath(shape);
}
