#include "ui/application.h"
#include "app/firmwareupdater.h"
#include "main/systemplatform.h"
#include "ui/contentview.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    configureApplication();
    ContentView window(FirmwareUpdater::create(systemPlatform()));
    window.show();
    return app.exec();
}
