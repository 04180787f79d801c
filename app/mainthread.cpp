#include "app/mainthread.h"

#include <QCoreApplication>
#include <QMetaObject>

void postToMainThread(std::function<void()> work)
{
    // All posts go through one receiver with one priority: Qt delivers such
    // posted events strictly in order, which the status texts rely on.
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work),
                              Qt::QueuedConnection);
}
