// velta-startprobe: starts the way the application does, reports its first
// frame (see FirstFrameWatch) and exits. Run it with QT_QPA_PLATFORM=offscreen.

#include "firstframewatch.h"

#include "ui/application.h"
#include "app/firmwareupdater.h"
#include "main/systemplatform.h"
#include "ui/contentview.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    configureApplication();

    ContentView window(FirmwareUpdater::create(systemPlatform()));
    FirstFrameWatch watch(&window);
    window.show();

    // A window that never paints must not hold the benchmark.
    QTimer::singleShot(15000, &app, [] {
        std::fprintf(stderr, "velta-startprobe: no frame within 15 s\n");
        QCoreApplication::exit(2);
    });
    return app.exec();
}
