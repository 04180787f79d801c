#include "base/mainthread.h"

#include <QCoreApplication>
#include <QMetaObject>

void postToMainThread(std::function<void()> work)
{
    // All posts go through one receiver with one priority: Qt delivers such
    // posted events strictly in order, which the status texts rely on.
    // After the application has gone there is nobody left to run it.
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}
