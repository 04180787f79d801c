#include "ui/spinner.h"

#include <QPainter>

namespace {
constexpr int spokes = 12;
}

Spinner::Spinner(QWidget *parent) : QWidget(parent)
{
    setFixedSize(sizeHint());
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % spokes;
        update();
    });
}

void Spinner::showEvent(QShowEvent *event)
{
    m_timer.start();
    QWidget::showEvent(event);
}

void Spinner::hideEvent(QHideEvent *event)
{
    m_timer.stop();
    QWidget::hideEvent(event);
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal outer = qMin(width(), height()) / 2.0;
    QColor color = palette().color(QPalette::WindowText);
    for (int i = 0; i < spokes; ++i) {
        // The newest spoke is darkest; the others fade behind it.
        const int age = (m_step - i + spokes) % spokes;
        color.setAlphaF(1.0 - 0.75 * age / spokes);
        painter.setPen(QPen(color, outer / 4.5, Qt::SolidLine, Qt::RoundCap));
        painter.save();
        painter.rotate(360.0 * i / spokes);
        painter.drawLine(QPointF(0, -outer * 0.45), QPointF(0, -outer * 0.9));
        painter.restore();
    }
}
