// The window as the product builds it (Fusion, the real file dialog and
// alerts) on a scripted machine: one MIDI destination named like the device,
// its boot drive already mounted, and a firmware file. test_screenreader.py
// drives it by keys and listens to it through the accessibility bus.
//
// It prints what the updater itself says, one line each, as it happens:
// "file:<path>", "ready", "status:<text>", "alert:<message>" (line breaks as
// "\n"), and quits when its standard input closes.
#include "app/firmwareupdater.h"
#include "support/drivefolder.h"
#include "support/fakeserialregistry.h"
#include "support/scriptedmidiservice.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "ui/application.h"
#include "ui/contentview.h"
#include "ui/filedialogchooser.h"
#include "ui/messageboxalertpresenter.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTest>

#include <cstdio>
#include <unistd.h>

namespace {

void say(const QString &line)
{
    std::fputs(qPrintable(QString(line).replace(QLatin1Char('\n'), QStringLiteral("\\n")) + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

// A window manager gives the focus back to the window when a dialog closes;
// the virtual display has none, so this does.
void giveFocusBack(QWidget *window)
{
    if (window && !QApplication::activeWindow())
        window->activateWindow();
}

// The real alert, said first: the box holds the main thread until dismissed.
class SaidAlerts : public AlertPresenter {
public:
    void present(const QString &title, const QString &message) override
    {
        say(QStringLiteral("alert:") + message);
        MessageBoxAlertPresenter().present(title, message);
        giveFocusBack(window);
    }
    QWidget *window = nullptr;
};

class RealChooser : public FileChooser {
public:
    std::optional<QString> chooseFile(const QString &title, const QString &nameFilter) override
    {
        std::optional<QString> chosen = FileDialogChooser().chooseFile(title, nameFilter);
        giveFocusBack(window);
        return chosen;
    }
    QWidget *window = nullptr;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    configureApplication();

    QTemporaryDir files;
    QTemporaryDir volumes;
    DriveFolder drive(volumes.path());
    const QString firmware = testfiles::writeFile(files, QStringLiteral("velta-usb.uf2"), uf2image::image(4));

    UpdaterPlatform platform;
    platform.midi = std::make_shared<ScriptedMidiService>(QStringList{QStringLiteral("VELTA 2 MIDI 1")});
    platform.serialRegistry = std::make_shared<FakeSerialRegistry>();
    platform.volumeRoots = {volumes.path()};
    auto alerts = std::make_shared<SaidAlerts>();
    auto chooser = std::make_shared<RealChooser>();
    platform.alerts = alerts;
    platform.fileChooser = chooser;
    platform.bootDriveTimeoutSeconds = 5;
    auto updater = FirmwareUpdater::create(std::move(platform));
    QObject::connect(updater.get(), &FirmwareUpdater::statusTextChanged, &app,
                     [&] { say(QStringLiteral("status:") + updater->statusText()); });

    // Every event loop ends, also an alert's or the file dialog's.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::exit(0);
        }
    });

    say(QStringLiteral("file:") + firmware);
    ContentView window(updater);
    alerts->window = chooser->window = &window;
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window, 10000)) {
        say(QStringLiteral("window not active"));
        return 1;
    }
    say(QStringLiteral("ready"));
    return app.exec();
}
