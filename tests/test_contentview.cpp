// The window, offscreen: what it shows for each target and state of the
// updater, and which controls it offers when.
#include "support/drivefolder.h"
#include "support/intelhex.h"
#include "support/processprobe.h"
#include "support/slowdrive.h"
#include "support/updaterharness.h"
#include "support/stk500simprocess.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "ui/application.h"
#include "ui/filedialogchooser.h"
#include "ui/messageboxalertpresenter.h"
#include "ui/pathbox.h"
#include "ui/spinner.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QTimer>
#include <QTest>

#include <cstdio>
#include <poll.h>

namespace {

QPushButton *button(const QWidget &view, const QString &text)
{
    const QList<QPushButton *> all = view.findChildren<QPushButton *>();
    const auto found = std::find_if(all.begin(), all.end(), [&](QPushButton *b) { return b->text() == text; });
    return found == all.end() ? nullptr : *found;
}

// Answers the next question the window asks with a key.
void answerQuestion(Qt::Key key)
{
    QTimer::singleShot(0, [key] {
        if (QWidget *question = QApplication::activeModalWidget())
            QTest::keyClick(question, key);
    });
}

QString status(const QWidget &view) { return view.findChild<QLabel *>("statusLine")->text(); }

// Each item as "shown=value".
QStringList items(const QComboBox *picker)
{
    QStringList result;
    for (int i = 0; i < picker->count(); ++i)
        result << picker->itemText(i) + "=" + picker->itemData(i).toString();
    return result;
}

// The application in a process of its own, on scripted devices: the unit's
// MIDI port, whose boot drive comes in FOLDER on the update command and
// leaves once it holds the image (velta-usb.uf2 beside it), and the serial
// PORT if given. With a FILE it updates the Core firmware from it and, once
// avrdude writes, prints "QUIT <avrdude pid>", closes the window and answers
// Quit. It also ends when standard input closes.
//   test_contentview --application FOLDER [PORT FILE]
int application(const QStringList &args)
{
    DriveFolder drive(args[2], "RPI-RP2", false);
    drive.restartOnceWhole();
    testfiles::writeFile(args[2] + "/velta-usb.uf2", uf2image::image(4));
    auto midi = std::make_shared<ScriptedMidiService>(QStringList{"VELTA 2 MIDI 1"});
    midi->onSend = [&drive] { drive.plug(); };
    // Real alerts: one left to show after Quit would hold the process.
    UpdaterPlatform platform;
    platform.midi = midi;
    platform.serialRegistry = std::make_shared<FakeSerialRegistry>(args.mid(3, 1));
    platform.volumeRoots = {args[2]};
    platform.alerts = std::make_shared<MessageBoxAlertPresenter>();
    platform.fileChooser = std::make_shared<FileDialogChooser>();
    platform.bootDriveTimeoutSeconds = 5;
    platform.isBootFileSystem = [](const QString &) { return true; };
    const auto updater = FirmwareUpdater::create(std::move(platform));
    ContentView window(updater);
    // No window manager on the test display: the window takes the focus
    // back itself, also when a dialog closes. Standard input closed ends
    // every event loop, a dialog's too.
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (!QApplication::activeWindow() && !QApplication::activeModalWidget())
            window.activateWindow();
        pollfd input{0, POLLIN, 0};
        if (::poll(&input, 1, 0) > 0)
            QCoreApplication::exit();
    });
    tick.start(50);
    window.show();
    if (args.size() > 4) {
        updater->setSelectedTarget(FirmwareTarget::coreFirmware);
        updater->setFirmwarePath(args[4]);
        QObject::connect(updater.get(), &FirmwareUpdater::progressChanged, &window, [&, closing = false]() mutable {
            if (closing || !updater->progress())
                return;
            closing = true;
            for (const auto &[pid, name] : processprobe::children()) {
                if (name == "avrdude")
                    std::printf("QUIT %d\n", pid);
            }
            QTimer::singleShot(0, &window, [&] {
                QTimer::singleShot(0, [] { button(*QApplication::activeModalWidget(), "Quit")->click(); });
                window.close();
            });
        });
        updater->startUpload();
    }
    return QApplication::exec();
}

} // namespace

class TestContentView : public QObject {
    Q_OBJECT
private slots:
    void pickersFollowTheTarget()
    {
        UpdaterHarness h({"VELTA 2 MIDI 1", "Zed", "Synth"}, {"/dev/ttyUSB0", "/dev/ttyACM1"});
        h->setFirmwarePath("/home/me/fw.uf2");
        ShownWindow w(h); // the first show refreshes
        for (const bool core : {false, true}) {
            if (core)
                QTest::mouseClick(button(w.view, "Core Firmware (.hex)"), Qt::LeftButton);
            h.settle();
            QCOMPARE(w.view.findChild<PathBox *>()->shownText(), core ? PathBox::placeholder : "/home/me/fw.uf2");
            QVERIFY(button(w.view, core ? "Upload Core Firmware" : "Upload USB Firmware"));
            auto *picker = w.view.findChild<QComboBox *>(core ? "serialPicker" : "midiPicker");
            auto *other = w.view.findChild<QComboBox *>(core ? "midiPicker" : "serialPicker");
            QVERIFY(picker->isVisible() && !other->isVisible());
            // The heading above it, also read as its label.
            const QList<QLabel *> labels = w.view.findChildren<QLabel *>();
            QVERIFY(std::any_of(labels.begin(), labels.end(), [&](QLabel *label) {
                return label->buddy() == picker && label->text() == (core ? "USB Serial Device" : "USB MIDI Device");
            }));
            QCOMPARE(items(picker), core ? QStringList({"ttyACM1=/dev/ttyACM1", "ttyUSB0=/dev/ttyUSB0"})
                                         : QStringList({"Synth=Synth", "VELTA 2 MIDI 1=VELTA 2 MIDI 1", "Zed=Zed"}));
            QCOMPARE(picker->currentText(), core ? "ttyACM1" : "VELTA 2 MIDI 1");
            // Picked by keyboard, as a user would: the item's value is stored.
            picker->setFocus();
            QTest::keyClick(picker, Qt::Key_End);
            QCOMPARE(core ? h->selectedSerialPortPath() : h->selectedMIDIPortName(), core ? "/dev/ttyUSB0" : "Zed");
        }
    }

    void whileBusyOnlyClosingAnswers()
    {
        // The device never confirms the send, so the upload waits its 2 s.
        QTemporaryDir dir;
        UpdaterHarness h({"VELTA 2"}, {});
        h.scriptedMidi->completeSends = false;
        const QString fw = testfiles::writeFile(dir, "fw.uf2", uf2image::image(1));
        h->setFirmwarePath(fw);
        ContentView view(h.updater);
        view.show();
        h.settle();
        h.log.clear();
        // Every button (the target's segments too) and the picker.
        QWidgetList controls{view.findChild<QComboBox *>("midiPicker")};
        for (QPushButton *button : view.findChildren<QPushButton *>())
            controls << button;

        // Return presses Upload; then Return, Ctrl+O and F5 do nothing.
        QTest::keyClick(&view, Qt::Key_Return);
        QVERIFY(h->isBusy());
        h.settle();
        for (QWidget *control : controls)
            QVERIFY2(!control->isEnabled(), qPrintable(control->metaObject()->className()));
        QVERIFY(view.findChild<Spinner *>()->isVisible());
        QTest::keySequence(&view, QKeySequence("Return, Ctrl+O, F5"));
        // It still draws while it waits: the spinner turns.
        const QImage before = view.grab().toImage();
        QTest::qWait(300);
        QVERIFY(view.grab().toImage() != before);
        QCOMPARE(h.statuses(), QStringList({"Uploading USB firmware…"}));
        QVERIFY(h.chooser->titles.isEmpty());
        // Closing asks; Return and Escape keep the window and the update.
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            answerQuestion(key);
            QVERIFY(!view.close());
        }
        QVERIFY(view.isVisible() && h->isBusy());
        view.activateWindow(); // offscreen, nothing gives it back when the question closes

        QVERIFY(h.waitUntilIdle(5000));
        QVERIFY(!view.findChild<Spinner *>()->isVisible());
        for (QWidget *control : controls)
            QVERIFY(control->isEnabled());
        // Usable again. A cancelled choice changes nothing; a chosen file
        // shows at once, its status a moment later.
        h.log.clear();
        QTest::keySequence(&view, QKeySequence("Ctrl+O"));
        h.settle();
        QCOMPARE(h.chooser->titles, QStringList({"Choose USB Firmware"}));
        QVERIFY(h.log.isEmpty() && h->firmwarePath() == fw);
        h.chooser->answer = "/home/me/update.uf2";
        QTest::keySequence(&view, QKeySequence("Ctrl+O"));
        QCOMPARE(view.findChild<PathBox *>()->path(), QStringLiteral("/home/me/update.uf2"));
        QCOMPARE(status(view), QStringLiteral("Failed."));
        h.settle();
        QCOMPARE(status(view), QStringLiteral("Firmware file selected."));
        answerQuestion(Qt::Key_Escape); // were it asked
        QVERIFY(view.close());
    }

    void quitDuringAnUpdateEndsAvrdudeToo()
    {
        // Quit, with the bundled avrdude writing to a slow chip (256 pages of 40 ms).
        QTemporaryDir dir;
        Stk500SimProcess sim({"--page-ms", "40"});
        const QByteArray firmware = testfiles::randomBytes(32 * 1024);
        // Quit ends the process with the upload's frame still waiting for
        // avrdude: what it holds is let go by the exit, not leaked for long.
        QProcess probe;
        probe.setEnvironment(QProcess::systemEnvironment() << "LSAN_OPTIONS=detect_leaks=0");
        const QString hex = testfiles::writeFile(dir, "big.hex", toIntelHex(firmware));
        probe.start(QCoreApplication::applicationFilePath(), {"--application", dir.path(), sim.portPath(), hex});
        processprobe::finishWithin(probe, 60000);
        const QStringList said = QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(said.size() == 1 && said[0].startsWith("QUIT "), probe.readAllStandardError().constData());
        QVERIFY(probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0);
        QVERIFY2(!QFile::exists("/proc/" + said[0].mid(5)), "avrdude outlived the application");
        QVERIFY(sim.flash(firmware.size()) != firmware);
    }

    void progressShowsWhileFirmwareIsWritten_data()
    {
        QTest::addColumn<FirmwareTarget>("target");
        QTest::addColumn<QStringList>("phases");
        QTest::addColumn<int>("steps");
        QTest::newRow("Core: avrdude writes, then verifies") << FirmwareTarget::coreFirmware
                                                             << QStringList{"Writing", "Verifying"} << 5;
        QTest::newRow("USB: a drive as slow as a boot loader") << FirmwareTarget::usbFirmware
                                                               << QStringList{"Copying"} << 6;
    }

    // Shown as the device takes it, in order, each phase rising, while the
    // window goes on answering.
    void progressShowsWhileFirmwareIsWritten()
    {
        QFETCH(FirmwareTarget, target);
        QFETCH(QStringList, phases);
        QFETCH(int, steps);
        QTemporaryDir dir;
        // A chip that takes 4 ms a page, as a real one's progress streams.
        Stk500SimProcess sim({"--page-ms", "4"});
        UpdaterHarness h(std::make_shared<ScriptedMidiService>(QStringList{"VELTA 2 MIDI 1"}), {sim.portPath()});
        // 256 KiB at a boot loader's 64 KiB/s; it restarts once it holds them.
        SlowDrive drive;
        const QString mountPoint = dir.filePath("RPI-RP2");
        if (target == FirmwareTarget::usbFirmware) {
            if (!QFile::exists("/dev/fuse"))
                QSKIP("no /dev/fuse for the slow drive");
            QVERIFY2(QDir().mkdir(dir.filePath("drive")), "drive folder");
            QVERIFY2(drive.start(dir.filePath("drive"), mountPoint, {"--leave", "--board-id", "RPI-RP2"}),
                     qPrintable(drive.log()));
            h.scriptedMidi->onSend = [&] { QFile::link(mountPoint, h.volumes.filePath("RPI-RP2")); };
        }
        const QByteArray image = target == FirmwareTarget::usbFirmware ? uf2image::image(512)
                                                                        : toIntelHex(testfiles::randomBytes(32 * 1024));
        h->setSelectedTarget(target);
        h->setFirmwarePath(testfiles::writeFile(dir, target == FirmwareTarget::usbFirmware ? "usb.uf2" : "core.hex",
                                                image));
        h->refreshDevices();
        ShownWindow w(h);
        auto *bar = w.view.findChild<QProgressBar *>();
        QList<std::pair<qsizetype, int>> shown;
        QStringList pictured;
        QElapsedTimer sinceTick, sinceValue;
        qint64 longestGap = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] {
            if (!shown.isEmpty() && shown.last().second < 100)
                longestGap = std::max(longestGap, sinceTick.elapsed());
            sinceTick.restart();
        });
        // What the bar shows, and its phase as readers get it.
        connect(bar, &QProgressBar::valueChanged, &w.view, [&](int percent) {
            const QString phase = bar->accessibleDescription();
            QVERIFY(bar->isVisible() && h->progress() && h->progress()->phase == phase);
            // A picture of each phase half-way, beside the test program.
            if (percent >= 50 && !pictured.contains(phase)) {
                pictured << phase;
                w.view.grab().save(QCoreApplication::applicationDirPath() + "/window-" + phase + ".png");
            }
            // Within a phase, values come at most four a second: readers fall behind at more.
            if (!shown.isEmpty() && shown.last().first == phases.indexOf(phase) && percent < 100)
                QVERIFY2(sinceValue.elapsed() > 200, qPrintable(QString("%1 ms apart").arg(sinceValue.elapsed())));
            sinceValue.restart();
            shown.append({phases.indexOf(phase), percent});
        });
        sinceTick.start();
        tick.start(10);
        h->startUpload();
        QVERIFY(h.waitUntilIdle(60000) && !bar->isVisible());
        QCOMPARE(h.alertMessages().value(0).left(20), target == FirmwareTarget::usbFirmware ? "USB firmware upload "
                                                                                            : "Core firmware upload");
        QVERIFY(std::adjacent_find(shown.begin(), shown.end(), std::greater_equal<>()) == shown.end());
        QVERIFY(shown.size() >= steps && shown.first().first == 0);
        QCOMPARE(shown.last(), std::pair(phases.size() - 1, 100));
        // Events kept flowing: a copy on the main thread froze the window for all of its 4 s.
        QVERIFY2(longestGap < 1000, qPrintable(QString("the window stood still for %1 ms").arg(longestGap)));
    }

    void noDeviceLongStatusLongPath()
    {
        // No device: each picker says so and is disabled, every button is not.
        UpdaterHarness h;
        ShownWindow w(h);
        h.settle();
        auto *midi = w.view.findChild<QComboBox *>("midiPicker");
        auto *serial = w.view.findChild<QComboBox *>("serialPicker");
        QCOMPARE(items(midi), QStringList({"No USB MIDI devices found="}));
        QCOMPARE(items(serial), QStringList({"No USB serial devices found="}));
        QVERIFY(!midi->isEnabled() && !serial->isEnabled() && w.controlsEnabled());

        // A status that wraps makes the window taller, never wider.
        const int shortHeight = w.view.height();
        h->setStatus(QStringLiteral("A long status. ").repeated(20));
        h.settle();
        QVERIFY(w.view.height() > shortHeight);
        QVERIFY(w.view.width() == ContentView::windowWidth && w.view.minimumSize() == w.view.maximumSize());
        h->setStatus("Done.");
        h.settle();
        QCOMPARE(w.view.height(), shortHeight);

        // A long path stays on one line, cut in the middle; a copy takes it whole.
        const QString path = "/home/someone/" + QString("very long folder name/").repeated(8) + "velta-usb-2.1.uf2";
        h->setFirmwarePath(path);
        PathBox *box = w.view.findChild<PathBox *>();
        const QString shown = box->shownText();
        QVERIFY(shown.size() < path.size() && shown.contains(QChar(0x2026)));
        QVERIFY(shown.startsWith("/home/") && shown.endsWith("velta-usb-2.1.uf2"));
        box->selectAll();
        box->copy();
        QCOMPARE(QApplication::clipboard()->text(), path);
    }

    void fileDialogOffersOnlyTheTargetsFiles()
    {
        // The real dialog, as the updater asks for it.
        QTemporaryDir dir;
        for (const char *name : {"a.uf2", "B.UF2", "c.Uf2", "d.hex", "e.txt"})
            testfiles::writeFile(dir, name, {});
        QDir(dir.path()).mkdir("folder.uf2");
        for (const bool core : {false, true}) {
            UpdaterHarness h;
            h->setSelectedTarget(core ? FirmwareTarget::coreFirmware : FirmwareTarget::usbFirmware);
            h->chooseFirmwareFile();
            QFileDialog dialog;
            FileDialogChooser::configure(dialog, h.chooser->titles.value(0), h.chooser->filters.value(0));
            dialog.setDirectory(dir.path());
            QCOMPARE(dialog.windowTitle(), core ? "Choose Core Firmware" : "Choose USB Firmware");
            auto *list = dialog.findChild<QListView *>("listView");
            const auto shown = [list] {
                QStringList names;
                for (int i = 0; i < list->model()->rowCount(list->rootIndex()); ++i)
                    names << list->model()->index(i, 0, list->rootIndex()).data().toString();
                names.sort(Qt::CaseInsensitive);
                return names;
            };
            QTRY_COMPARE(shown(), core ? QStringList({"d.hex", "folder.uf2"})
                                       : QStringList({"a.uf2", "B.UF2", "c.Uf2", "folder.uf2"}));
        }
    }

    void alertsReadWhateverTheirLength()
    {
        // An alert's message as plain text, on one line.
        const QString message = "Could not open '<b>VELTA</b>'.";
        QMessageBox box;
        MessageBoxAlertPresenter::configure(box, "VELTA 2 Updater", message);
        box.show();
        auto *body = box.findChild<QLabel *>("qt_msgbox_informativelabel");
        QVERIFY(body->text() == message && body->textFormat() == Qt::PlainText);
        QVERIFY(body->width() >= body->fontMetrics().horizontalAdvance(message));

        // avrdude's whole output, scrolled in a box that fits the screen.
        const QString output = QStringLiteral("avrdude: stk500_recv(): programmer is not responding\n").repeated(100);
        QMessageBox tall;
        MessageBoxAlertPresenter::configure(tall, "VELTA 2 Updater", output);
        tall.show();
        auto *text = tall.findChild<QPlainTextEdit *>();
        QVERIFY(text && text->toPlainText() == output);
        QVERIFY(tall.height() < 600);

        // Its first sentence a label of its own, which screen readers say with the alert.
        QMessageBox failed;
        MessageBoxAlertPresenter::configure(failed, "VELTA 2 Updater", "Core firmware update failed.\n\n" + output);
        failed.show();
        failed.grab().save(QCoreApplication::applicationDirPath() + "/alert-failed.png");
        QCOMPARE(failed.findChild<QLabel *>("alertHeadline")->text(), "Core firmware update failed.");
        QCOMPARE(failed.findChild<QPlainTextEdit *>()->toPlainText(), output);
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    configureApplication();
    if (app.arguments().value(1) == "--application")
        return application(app.arguments());
    TestContentView test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_contentview.moc"
