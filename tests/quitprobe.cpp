// velta-quitprobe PORT FILE: the application with a Core update running on
// the bundled avrdude against PORT. Once avrdude writes, the window is
// closed and the question answered Quit; it prints "AVRDUDE <pid>", then
// "QUIT", and ends the way the application does. Run by test_contentview.
#include "app/firmwareupdater.h"
#include "support/answeredquitquestion.h"
#include "support/fakeserialregistry.h"
#include "support/processprobe.h"
#include "support/scriptedmidiservice.h"
#include "ui/application.h"
#include "ui/contentview.h"
#include "ui/filedialogchooser.h"
#include "ui/messageboxalertpresenter.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    configureApplication();
    // Real alerts: one left to show after Quit would hold the process.
    UpdaterPlatform platform{std::make_shared<ScriptedMidiService>(),
                             std::make_shared<FakeSerialRegistry>(QStringList{QString::fromLocal8Bit(argv[1])}),
                             {},
                             {},
                             AvrdudeRunner(),
                             std::make_shared<MessageBoxAlertPresenter>(),
                             std::make_shared<FileDialogChooser>(),
                             {}};
    const std::shared_ptr<FirmwareUpdater> shared = FirmwareUpdater::create(std::move(platform));
    ContentView window(shared, std::make_shared<AnsweredQuitQuestion>(true, [] { say("QUIT"); }));
    FirmwareUpdater &updater = *shared;
    window.show();
    updater.setSelectedTarget(FirmwareTarget::coreFirmware);
    updater.setFirmwarePath(QString::fromLocal8Bit(argv[2]));

    bool closing = false;
    QObject::connect(&updater, &FirmwareUpdater::coreProgressChanged, &window, [&] {
        if (closing || !updater.coreProgress())
            return;
        closing = true;
        for (const auto &[pid, name] : processprobe::children()) {
            if (name == "avrdude")
                say(QStringLiteral("AVRDUDE %1").arg(pid));
        }
        QTimer::singleShot(0, &window, &QWidget::close);
    });
    QTimer::singleShot(0, &updater, [&] { updater.startUpload(); });
    QTimer::singleShot(30000, &app, [] {
        std::fputs("velta-quitprobe: avrdude did not start writing within 30 s\n", stderr);
        QCoreApplication::exit(3);
    });
    return app.exec();
}
