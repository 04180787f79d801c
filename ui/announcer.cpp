#include "ui/announcer.h"

#include <QAccessibleWidget>

namespace {

QAccessibleInterface *noteAccessible(const QString &, QObject *object)
{
    auto *note = qobject_cast<QWidget *>(object);
    if (note && qobject_cast<Announcer *>(note->parent()))
        return new QAccessibleWidget(note, QAccessible::Notification);
    return nullptr;
}

} // namespace

Announcer::Announcer(QWidget *parent) : QWidget(parent)
{
    static const bool factoryInstalled = (QAccessible::installFactory(noteAccessible), true);
    (void)factoryInstalled;
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(0, 0, 0, 0);
    for (QWidget *&note : m_notes) {
        note = new QWidget(this);
        note->setGeometry(0, 0, 0, 0);
    }
    m_soon.setSingleShot(true);
    m_soon.setInterval(0);
    connect(&m_soon, &QTimer::timeout, this, &Announcer::sayPending);
}

void Announcer::announce(const QString &line)
{
    m_pending = line;
    m_soon.start();
}

void Announcer::sayPending()
{
    if (m_pending.isEmpty() || m_pending == m_said)
        return;
    m_said = m_pending;
    QWidget *note = m_notes[m_next++ % m_notes.size()];
    note->setAccessibleName(m_said);
    // Orca speaks a notification that shows at once, wherever the focus is;
    // a changed name alone it does not.
    QAccessibleEvent shown(note, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}
