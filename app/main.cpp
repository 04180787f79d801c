#include "app/firmwareupdater.h"
#include "ui/contentview.h"

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VeltaUpdater"));
    QApplication::setApplicationDisplayName(QStringLiteral("VELTA 2 Updater"));
    QApplication::setDesktopFileName(QStringLiteral("veltaupdater"));
    // The same look on every desktop.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    ContentView window(FirmwareUpdater::create());
    window.show();
    return app.exec();
}
