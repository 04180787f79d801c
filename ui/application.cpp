#include "ui/application.h"

#include <QApplication>
#include <QStyleFactory>

void configureApplication()
{
    QApplication::setApplicationName(QStringLiteral("VeltaUpdater"));
    QApplication::setApplicationDisplayName(QStringLiteral("VELTA 2 Updater"));
    QApplication::setDesktopFileName(QStringLiteral("veltaupdater"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
}
