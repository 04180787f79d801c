// The window, offscreen: what it shows for each target and state of the
// updater, and which controls it offers when. The same program is also the
// application for the tests that need one in a process of its own:
//   --quit-probe PORT FILE   a Core update on PORT, closed and answered Quit
//                            once avrdude writes; prints "QUIT <avrdude pid>"
//   --heard-window FOLDER    the window for test_screenreader.py
#include "support/drivefolder.h"
#include "support/intelhex.h"
#include "support/processprobe.h"
#include "support/shownwindow.h"
#include "support/stk500simprocess.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "ui/application.h"
#include "ui/filedialogchooser.h"
#include "ui/messageboxalertpresenter.h"
#include "ui/pathbox.h"
#include "ui/spinner.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QSocketNotifier>
#include <QTimer>
#include <QTest>

#include <cstdio>
#include <unistd.h>

namespace {

// Answers the quit question at once, and counts the times asked.
struct AnsweredQuitQuestion : QuitQuestion {
    explicit AnsweredQuitQuestion(std::function<bool()> answer) : answer(std::move(answer)) {}
    bool quitAnyway(QWidget *) override
    {
        ++asked;
        return answer();
    }
    std::function<bool()> answer;
    int asked = 0;
};

QPushButton *button(const QWidget &view, const QString &text)
{
    for (QPushButton *b : view.findChildren<QPushButton *>()) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

QString status(const QWidget &view) { return view.findChild<QLabel *>("statusLine")->text(); }

// The target segments, Choose…, Refresh, Upload and both pickers.
QList<QWidget *> controls(const QWidget &view)
{
    QList<QWidget *> result;
    for (QWidget *w : view.findChildren<QWidget *>()) {
        if (qobject_cast<QPushButton *>(w) || qobject_cast<QComboBox *>(w))
            result << w;
    }
    return result;
}

int heardWindow(const QString &folder)
{
    // One device, its boot drive mounted, velta-usb.uf2 in the folder.
    QTemporaryDir volumes;
    DriveFolder drive(volumes.path());
    testfiles::writeFile(folder + "/velta-usb.uf2", uf2image::image(4));
    ContentView window(FirmwareUpdater::create({std::make_shared<ScriptedMidiService>(QStringList{"VELTA 2 MIDI 1"}),
                                                std::make_shared<FakeSerialRegistry>(), {volumes.path()}, {},
                                                AvrdudeRunner(), std::make_shared<MessageBoxAlertPresenter>(),
                                                std::make_shared<FileDialogChooser>(), {}, 5}));
    // No window manager on the test display: the window takes the focus back when a dialog closes.
    QTimer focusBack;
    QObject::connect(&focusBack, &QTimer::timeout, [&] {
        if (!QApplication::activeWindow() && !QApplication::activeModalWidget())
            window.activateWindow();
    });
    focusBack.start(50);
    // Ends, from any event loop, when standard input closes.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        input.setEnabled(false);
        QCoreApplication::exit();
    });
    window.show();
    window.activateWindow();
    return QApplication::exec();
}

int quitProbe(const QString &port, const QString &firmware)
{
    // Real alerts: one left to show after Quit would hold the process.
    const auto updater = FirmwareUpdater::create({std::make_shared<ScriptedMidiService>(),
                                                  std::make_shared<FakeSerialRegistry>(QStringList{port}), {}, {},
                                                  AvrdudeRunner(), std::make_shared<MessageBoxAlertPresenter>(),
                                                  std::make_shared<FileDialogChooser>(), {}});
    ContentView window(updater, std::make_shared<AnsweredQuitQuestion>([] {
        for (const auto &[pid, name] : processprobe::children()) {
            if (name == "avrdude")
                std::printf("QUIT %d\n", pid);
        }
        std::fflush(stdout);
        return true;
    }));
    window.show();
    updater->setSelectedTarget(FirmwareTarget::coreFirmware);
    updater->setFirmwarePath(firmware);
    bool closing = false;
    QObject::connect(updater.get(), &FirmwareUpdater::coreProgressChanged, &window, [&] {
        if (!closing && updater->coreProgress())
            closing = QMetaObject::invokeMethod(&window, &QWidget::close, Qt::QueuedConnection);
    });
    updater->startUpload();
    return QApplication::exec();
}

} // namespace

class TestContentView : public QObject {
    Q_OBJECT
private slots:
    void pickersFollowTheTargetAndTheLists_data()
    {
        QTest::addColumn<bool>("core");
        QTest::addColumn<QStringList>("devices");
        QTest::addColumn<QStringList>("items"); // shown=value
        QTest::addColumn<QString>("current");
        QTest::newRow("usb") << false << QStringList{"VELTA 2 MIDI 1", "Zed", "Synth"}
                             << QStringList{"Synth=Synth", "VELTA 2 MIDI 1=VELTA 2 MIDI 1", "Zed=Zed"} << "VELTA 2 MIDI 1";
        QTest::newRow("usb, none") << false << QStringList() << QStringList{"No USB MIDI devices found="}
                                   << "No USB MIDI devices found";
        QTest::newRow("core") << true << QStringList{"/dev/ttyUSB0", "/dev/ttyACM1"}
                              << QStringList{"ttyACM1=/dev/ttyACM1", "ttyUSB0=/dev/ttyUSB0"} << "ttyACM1";
        QTest::newRow("core, none") << true << QStringList() << QStringList{"No USB serial devices found="}
                                    << "No USB serial devices found";
    }
    void pickersFollowTheTargetAndTheLists()
    {
        QFETCH(bool, core);
        QFETCH(QStringList, devices);
        QFETCH(QStringList, items);
        QFETCH(QString, current);
        UpdaterHarness h(core ? QStringList() : devices, core ? devices : QStringList());
        h->setFirmwarePath("/home/me/fw.uf2");
        ShownWindow w(h); // the first show refreshes
        if (core)
            QTest::mouseClick(button(w.view, "Core Firmware (.hex)"), Qt::LeftButton);
        h.settle();
        QCOMPARE(w.view.findChild<PathBox *>()->shownText(), core ? PathBox::placeholder : "/home/me/fw.uf2");
        QVERIFY(button(w.view, core ? "Upload Core Firmware" : "Upload USB Firmware")->isEnabled());
        QVERIFY(button(w.view, "Refresh")->isEnabled());
        auto *picker = w.view.findChild<QComboBox *>(core ? "serialPicker" : "midiPicker");
        QVERIFY(picker->isVisible() && !w.view.findChild<QComboBox *>(core ? "midiPicker" : "serialPicker")->isVisible());
        // The heading above it, also read as its label.
        const QList<QLabel *> labels = w.view.findChildren<QLabel *>();
        QVERIFY(std::any_of(labels.begin(), labels.end(), [&](QLabel *label) {
            return label->buddy() == picker && label->text() == (core ? "USB Serial Device" : "USB MIDI Device");
        }));
        QStringList shown;
        for (int i = 0; i < picker->count(); ++i)
            shown << picker->itemText(i) + "=" + picker->itemData(i).toString();
        QCOMPARE(shown, items);
        QCOMPARE(picker->currentText(), current);
        QCOMPARE(picker->isEnabled(), !devices.isEmpty());
        if (devices.isEmpty())
            return;
        // Picked by keyboard, as a user would: the item's value is stored.
        picker->setFocus();
        QTest::keyClick(picker, Qt::Key_End);
        QCOMPARE(core ? h->selectedSerialPortPath() : h->selectedMIDIPortName(), items.last().section('=', 1));
    }

    void whileBusyOnlyClosingAnswers()
    {
        // The device never confirms the send, so the upload waits its 2 s.
        QTemporaryDir dir;
        UpdaterHarness h({"VELTA 2"}, {});
        h.scriptedMidi->completeSends = false;
        const QString fw = testfiles::writeFile(dir, "fw.uf2", uf2image::image(1));
        h->setFirmwarePath(fw);
        auto question = std::make_shared<AnsweredQuitQuestion>([] { return false; });
        ContentView view(h.updater, question);
        view.show();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        h.settle();
        auto *spinner = view.findChild<Spinner *>();
        QVERIFY(!spinner->isVisible());
        h.log.clear();

        // Return presses Upload; then Return, Ctrl+O and F5 do nothing.
        QTest::keyClick(&view, Qt::Key_Return);
        QVERIFY(h->isBusy());
        h.settle();
        for (QWidget *control : controls(view))
            QVERIFY2(!control->isEnabled(), qPrintable(control->metaObject()->className()));
        QVERIFY(spinner->isVisible());
        for (const char *keys : {"Return", "Ctrl+O", "F5"})
            QTest::keySequence(&view, QKeySequence(keys));
        // It still draws while it waits: the spinner turns.
        const QImage before = view.grab().toImage();
        QTest::qWait(300);
        QVERIFY(view.grab().toImage() != before);
        QCOMPARE(h.statuses(), QStringList({"Uploading USB firmware…"}));
        QVERIFY(h.chooser->titles.isEmpty());
        // Closing asks; Cancel keeps the window and the update.
        QVERIFY(!view.close());
        QCOMPARE(question->asked, 1);
        QVERIFY(view.isVisible() && h->isBusy());

        QVERIFY(h.waitUntilIdle(5000));
        QCOMPARE(status(view), QStringLiteral("Failed."));
        QVERIFY(!spinner->isVisible());
        for (QWidget *control : controls(view))
            QVERIFY(control->isEnabled() || !control->isVisibleTo(&view));
        // Usable again. A cancelled choice changes nothing; a chosen file
        // shows at once, its status a moment later.
        h.log.clear();
        QTest::keySequence(&view, QKeySequence("F5"));
        QTest::keySequence(&view, QKeySequence("Ctrl+O"));
        h.settle();
        QCOMPARE(h.chooser->titles, QStringList({"Choose USB Firmware"}));
        QCOMPARE(h.statuses(), QStringList({"USB firmware update ready."}));
        QCOMPARE(h->firmwarePath(), fw);
        h.chooser->answer = "/home/me/update.uf2";
        QTest::keySequence(&view, QKeySequence("Ctrl+O"));
        QCOMPARE(view.findChild<PathBox *>()->path(), QStringLiteral("/home/me/update.uf2"));
        QCOMPARE(status(view), QStringLiteral("USB firmware update ready."));
        h.settle();
        QCOMPARE(status(view), QStringLiteral("Firmware file selected."));
        QVERIFY(view.close());
        QCOMPARE(question->asked, 1);
    }

    void quitDuringAnUpdateEndsAvrdudeToo()
    {
        // The question keeps the update on Escape.
        QMessageBox box;
        QPushButton *quit = MessageBoxQuitQuestion::configure(box);
        QVERIFY(box.defaultButton() != quit);
        box.show();
        QTest::keyClick(&box, Qt::Key_Escape);
        QVERIFY(box.clickedButton() && box.clickedButton() != quit);

        // Quit, with the bundled avrdude writing to a slow chip (256 pages of 40 ms).
        QTemporaryDir dir;
        Stk500SimProcess sim({"--page-ms", "40"});
        const QByteArray firmware = testfiles::randomBytes(32 * 1024);
        QProcess probe;
        // Quit ends the process with the upload's frame still waiting for
        // avrdude: what it holds is let go by the exit, not leaked for long.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LSAN_OPTIONS", "detect_leaks=0");
        probe.setProcessEnvironment(env);
        probe.start(QCoreApplication::applicationFilePath(),
                    {"--quit-probe", sim.portPath(), testfiles::writeFile(dir, "big.hex", toIntelHex(firmware))});
        if (!probe.waitForFinished(60000))
            probe.kill();
        const QStringList said = QString::fromUtf8(probe.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY2(said.size() == 1 && said[0].startsWith("QUIT "), qPrintable(said.join('|') + probe.readAllStandardError()));
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 0);
        QVERIFY2(!QFile::exists("/proc/" + said[0].mid(5)), "avrdude outlived the application");
        QVERIFY(sim.flash(firmware.size()) != firmware);
    }

    void coreProgressShowsWhileAvrdudeWrites()
    {
        // A chip that takes 4 ms a page, so the progress streams as a real one's does.
        QTemporaryDir dir;
        Stk500SimProcess sim({"--page-ms", "4"});
        UpdaterHarness h(std::make_shared<ScriptedMidiService>(), {sim.portPath()});
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->setFirmwarePath(testfiles::writeFile(dir, "core.hex", toIntelHex(testfiles::randomBytes(32 * 1024))));
        ShownWindow w(h);
        auto *bar = w.view.findChild<QProgressBar *>();
        // Shown as avrdude goes, in its order: writing, then verifying, each rising.
        std::pair<AvrdudePhase, int> last{AvrdudePhase::writing, -1};
        int steps = 0;
        connect(h.updater.get(), &FirmwareUpdater::coreProgressChanged, &w.view, [&] {
            if (const std::optional<AvrdudeProgress> &progress = h->coreProgress()) {
                QVERIFY(bar->isVisible() && bar->value() == progress->percent);
                QVERIFY(std::pair(progress->phase, progress->percent) > last);
                last = {progress->phase, progress->percent};
                ++steps;
            }
        });
        h->startUpload();
        QVERIFY(h.waitUntilIdle(60000));
        QCOMPARE(status(w.view), QStringLiteral("Done."));
        QVERIFY(!bar->isVisible());
        QVERIFY(last == std::pair(AvrdudePhase::verifying, 100));
        QVERIFY2(steps >= 20, qPrintable(QString::number(steps)));
    }

    void heightFollowsTheStatusAndLongPathsAreCut()
    {
        UpdaterHarness h;
        ShownWindow w(h);
        h.settle();
        const int shortHeight = w.view.height();
        h->setStatus(QStringLiteral("A long status. ").repeated(20));
        h.settle();
        QVERIFY(w.view.height() > shortHeight);
        QCOMPARE(w.view.width(), ContentView::windowWidth);
        QCOMPARE(w.view.minimumSize(), w.view.maximumSize());
        h->setStatus("Done.");
        h.settle();
        QCOMPARE(w.view.height(), shortHeight);

        // A long path stays on one line, cut in the middle; a copy takes it whole.
        const QString path = "/home/someone/" + QString("very long folder name/").repeated(8) + "velta-usb-2.1.uf2";
        h->setFirmwarePath(path);
        PathBox *box = w.view.findChild<PathBox *>();
        const QString shown = box->shownText();
        QVERIFY(shown.size() < path.size());
        QVERIFY(shown.startsWith("/home/") && shown.endsWith("velta-usb-2.1.uf2") && shown.contains(QChar(0x2026)));
        QCOMPARE(box->height(), box->sizeHint().height());
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
            QCOMPARE(dialog.fileMode(), QFileDialog::ExistingFile);
            auto *model = dialog.findChild<QFileSystemModel *>();
            QTRY_VERIFY(model->rowCount(model->index(dir.path())) > 0);
            auto *list = dialog.findChild<QListView *>("listView");
            QStringList shown;
            for (int i = 0; i < list->model()->rowCount(list->rootIndex()); ++i)
                shown << list->model()->index(i, 0, list->rootIndex()).data().toString();
            shown.sort(Qt::CaseInsensitive);
            QCOMPARE(shown, core ? QStringList({"d.hex", "folder.uf2"}) : QStringList({"a.uf2", "B.UF2", "c.Uf2", "folder.uf2"}));
        }
    }

    void alertsReadWhateverTheirLength()
    {
        // Title in bold, the message as plain text on one line.
        const QString message = "Could not open '<b>VELTA</b>'.";
        QMessageBox box;
        MessageBoxAlertPresenter::configure(box, "VELTA 2 Updater", message);
        box.show();
        QVERIFY(box.findChild<QLabel *>("qt_msgbox_label")->font().bold());
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
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    configureApplication();
    const QStringList args = app.arguments();
    if (args.value(1) == "--quit-probe")
        return quitProbe(args.value(2), args.value(3));
    if (args.value(1) == "--heard-window")
        return heardWindow(args.value(2));
    TestContentView test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_contentview.moc"
