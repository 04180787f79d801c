// The window, offscreen: what it shows for each state of the updater and
// which controls it offers when. Also saves pictures of it under the build
// folder (build/screenshots/).
#include "support/answeredquitquestion.h"
#include "support/intelhex.h"
#include "support/stk500simprocess.h"
#include "support/testfiles.h"
#include "support/uf2image.h"
#include "support/updaterharness.h"
#include "ui/contentview.h"
#include "ui/filedialogchooser.h"
#include "ui/messageboxalertpresenter.h"
#include "ui/messageboxquitquestion.h"
#include "ui/pathbox.h"
#include "ui/segmentedcontrol.h"
#include "ui/spinner.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLayout>
#include <QListView>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>

namespace {

// A stand-in avrdude that takes a while, so the window can be seen busy.
AvrdudeRunner slowTool(const QTemporaryDir &dir, double seconds)
{
    QFile tool(dir.filePath("avrdude"));
    if (!tool.open(QIODevice::WriteOnly))
        qFatal("cannot write the stand-in tool");
    tool.write(QStringLiteral("#!/bin/sh\nsleep %1\necho done\n").arg(seconds).toUtf8());
    tool.close();
    tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile config(dir.filePath("avrdude.conf"));
    config.open(QIODevice::WriteOnly);
    return AvrdudeRunner(dir.path());
}

QString screenshotDir()
{
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots");
    QDir().mkpath(dir);
    return QDir(dir).absolutePath();
}

struct Window {
    explicit Window(UpdaterHarness &h,
                    std::shared_ptr<QuitQuestion> quitQuestion = std::make_shared<MessageBoxQuitQuestion>())
        : view(h.updater, std::move(quitQuestion))
    {
        view.show();
        if (!QTest::qWaitForWindowExposed(&view))
            qWarning("window not exposed");
        UpdaterHarness::settle();
    }
    template <typename T>
    T *find(const QString &name = QString()) const { return view.findChild<T *>(name); }
    QPushButton *button(const QString &text) const
    {
        for (QPushButton *b : view.findChildren<QPushButton *>()) {
            if (b->text() == text)
                return b;
        }
        return nullptr;
    }
    QString status() const { return find<QLabel>("statusLine")->text(); }
    QList<QWidget *> controls() const
    {
        return {find<SegmentedControl>(), button("Choose…"), find<QComboBox>("midiPicker"),
                find<QComboBox>("serialPicker"), button("Refresh"), uploadButton()};
    }
    QPushButton *uploadButton() const
    {
        QPushButton *b = button("Upload USB Firmware");
        return b ? b : button("Upload Core Firmware");
    }
    void save(const QString &name) { QVERIFY(view.grab().save(screenshotDir() + "/" + name + ".png")); }

    ContentView view;
};

QStringList items(QComboBox *box)
{
    QStringList result;
    for (int i = 0; i < box->count(); ++i)
        result << box->itemText(i) + "=" + box->itemData(i).toString();
    return result;
}

} // namespace

class TestContentView : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QApplication::setStyle(QStyleFactory::create("Fusion")); }

    void firstShowRefreshesAndTheTargetSwapsTheTexts()
    {
        UpdaterHarness h({"Synth", "VELTA 2 MIDI 1"}, {"/dev/ttyUSB0"});
        h->setFirmwarePath("/home/me/fw.uf2");
        Window w(h);
        QCOMPARE(w.status(), QStringLiteral("USB firmware update ready."));
        QCOMPARE(w.find<PathBox>()->shownText(), QStringLiteral("/home/me/fw.uf2"));
        QCOMPARE(w.find<QComboBox>("midiPicker")->currentText(), QStringLiteral("VELTA 2 MIDI 1"));
        QVERIFY(w.button("Upload USB Firmware") && w.button("Upload USB Firmware")->isDefault());
        QVERIFY(w.find<QComboBox>("midiPicker")->isVisible() && !w.find<QComboBox>("serialPicker")->isVisible());
        w.save("usb-target-with-device");

        // The user picks the Core segment.
        QTest::mouseClick(w.find<SegmentedControl>()->findChildren<QPushButton *>().at(1), Qt::LeftButton);
        h.settle();
        QCOMPARE(h->selectedTarget(), FirmwareTarget::coreFirmware);
        QVERIFY(w.button("Upload Core Firmware"));
        QVERIFY(w.view.findChildren<QLabel *>().size() > 0);
        bool headingFound = false;
        for (QLabel *l : w.view.findChildren<QLabel *>())
            headingFound |= l->text() == "USB Serial Device";
        QVERIFY(headingFound);
        QVERIFY(w.find<QComboBox>("serialPicker")->isVisible() && !w.find<QComboBox>("midiPicker")->isVisible());
        QCOMPARE(w.find<PathBox>()->shownText(), PathBox::placeholder);
        QCOMPARE(w.status(), QStringLiteral("Core firmware update ready."));
    }

    void emptyListsShowTheirItemAndDisableOnlyThePicker()
    {
        UpdaterHarness h;
        Window w(h);
        QComboBox *midi = w.find<QComboBox>("midiPicker");
        QCOMPARE(items(midi), QStringList({"No USB MIDI devices found="}));
        QCOMPARE(midi->currentText(), QStringLiteral("No USB MIDI devices found"));
        QVERIFY(!midi->isEnabled());
        QVERIFY(w.button("Refresh")->isEnabled() && w.uploadButton()->isEnabled());
        QCOMPARE(w.status(), QStringLiteral("No USB MIDI device found."));

        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h.settle();
        QCOMPARE(items(w.find<QComboBox>("serialPicker")), QStringList({"No USB serial devices found="}));
        QVERIFY(!w.find<QComboBox>("serialPicker")->isEnabled());
        w.save("core-target-no-device");
    }

    void serialPickerShowsTheNameAndStoresThePath()
    {
        UpdaterHarness h(QStringList(), {"/dev/ttyUSB0", "/dev/ttyACM1"});
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        Window w(h);
        QComboBox *serial = w.find<QComboBox>("serialPicker");
        QCOMPARE(items(serial), QStringList({"ttyACM1=/dev/ttyACM1", "ttyUSB0=/dev/ttyUSB0"}));
        QCOMPARE(serial->currentText(), QStringLiteral("ttyACM1"));
        // Choosing with the keyboard, as a user would.
        serial->setFocus();
        QTest::keyClick(serial, Qt::Key_Down);
        QCOMPARE(h->selectedSerialPortPath(), QStringLiteral("/dev/ttyUSB0"));
        // Refresh prefers again.
        QTest::mouseClick(w.button("Refresh"), Qt::LeftButton);
        QCOMPARE(serial->currentText(), QStringLiteral("ttyACM1"));
    }

    void busyDisablesEverythingUntilTheEnd()
    {
        QTemporaryDir tools;
        QTemporaryDir files;
        UpdaterHarness h(std::make_shared<ScriptedMidiService>(QStringList{"VELTA 2"}), {"/dev/ttyACM0"}, {},
                         slowTool(tools, 1.5));
        QFile hex(files.filePath("core.hex"));
        QVERIFY(hex.open(QIODevice::WriteOnly));
        hex.write(":00000001FF\n");
        hex.close();
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->setFirmwarePath(hex.fileName());
        Window w(h);
        QVERIFY(!w.find<Spinner>()->isVisible());
        const int heightBefore = w.view.height();

        // Return presses Upload.
        QTest::keyClick(&w.view, Qt::Key_Return);
        QVERIFY(h->isBusy());
        h.settle();
        for (QWidget *control : w.controls())
            QVERIFY2(!control->isEnabled(), qPrintable(control->metaObject()->className()));
        QVERIFY(w.find<Spinner>()->isVisible());
        QCOMPARE(w.status(), QStringLiteral("Uploading Core firmware…"));
        // Return, Ctrl+O and F5 do nothing while busy.
        QTest::keyClick(&w.view, Qt::Key_Return);
        QTest::keyClick(&w.view, Qt::Key_O, Qt::ControlModifier);
        QTest::keyClick(&w.view, Qt::Key_F5);
        h.settle();
        QCOMPARE(h.statuses().count("Preparing Core firmware update…"), 1);
        QVERIFY(h.chooser->titles.isEmpty());
        QCOMPARE(w.view.width(), ContentView::windowWidth);
        QCOMPARE(w.view.height(), heightBefore);

        QVERIFY(h.waitUntilIdle(20000));
        for (QWidget *control : w.controls()) {
            if (control->isVisibleTo(&w.view))
                QVERIFY2(control->isEnabled(), qPrintable(control->metaObject()->className()));
        }
        QVERIFY(!w.find<Spinner>()->isVisible());
        QCOMPARE(w.status(), QStringLiteral("Done."));
        QCOMPARE(h.alertMessages(), QStringList({"Core firmware upload complete."}));

        // Usable again: F5 refreshes, Ctrl+O chooses.
        h.log.clear();
        QTest::keyClick(&w.view, Qt::Key_F5);
        h.settle();
        QCOMPARE(h.statuses(), QStringList({"Core firmware update ready."}));
        QTest::keyClick(&w.view, Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(h.chooser->titles, QStringList({"Choose Core Firmware"}));
    }

    void theWindowDrawsWhileTheCommandWaits()
    {
        // The device never confirms the send, so the upload waits its 2 s.
        QTemporaryDir dir;
        UpdaterHarness h({"VELTA 2"}, {});
        h.scriptedMidi->completeSends = false;
        h->setFirmwarePath(testfiles::writeFile(dir, "fw.uf2", uf2image::image(1)));
        Window w(h);
        QElapsedTimer clock;
        clock.start();
        QTest::keyClick(&w.view, Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return w.status() == "Uploading USB firmware…"; }, 1000));
        const QImage before = w.view.grab().toImage();
        QTest::qWait(300);
        const QImage after = w.view.grab().toImage();
        QVERIFY(before != after);
        QCOMPARE(w.status(), QStringLiteral("Uploading USB firmware…"));
        for (QWidget *control : w.controls())
            QVERIFY2(!control->isEnabled(), qPrintable(control->metaObject()->className()));
        QVERIFY(h.waitUntilIdle(5000));
        QVERIFY(clock.elapsed() >= 2000);
        QCOMPARE(w.status(), QStringLiteral("Failed."));
    }

    void closingDuringAnUpdateAsksFirst()
    {
        // The question as the window asks it.
        QMessageBox box;
        QPushButton *quit = MessageBoxQuitQuestion::configure(box);
        QCOMPARE(box.windowTitle(), QStringLiteral("VELTA 2 Updater"));
        QCOMPARE(box.icon(), QMessageBox::Warning);
        QCOMPARE(box.text(), QStringLiteral("An update is running. If you quit now, the VELTA 2 may be left without "
                                            "working firmware.\n\nQuit anyway?"));
        QStringList buttons;
        for (QAbstractButton *button : box.buttons())
            buttons << button->text();
        buttons.sort();
        QCOMPARE(buttons, QStringList({"Cancel", "Quit"}));
        QCOMPARE(box.defaultButton()->text(), QStringLiteral("Cancel"));
        box.show();
        QTest::keyClick(&box, Qt::Key_Escape);
        QVERIFY(box.clickedButton() && box.clickedButton() != quit);

        // Cancel: the update goes on to its end, and closing then never asks.
        QTemporaryDir tools;
        QTemporaryDir files;
        UpdaterHarness h(std::make_shared<ScriptedMidiService>(), {"/dev/ttyACM0"}, {}, slowTool(tools, 1.0));
        h->setSelectedTarget(FirmwareTarget::coreFirmware);
        h->setFirmwarePath(testfiles::writeFile(files, "core.hex", ":00000001FF\n"));
        auto question = std::make_shared<AnsweredQuitQuestion>(false);
        Window w(h, question);
        QTest::keyClick(&w.view, Qt::Key_Return);
        h.settle();
        QVERIFY(!w.view.close());
        QCOMPARE(question->asked, 1);
        QVERIFY(w.view.isVisible() && h->isBusy());
        QVERIFY(h.waitUntilIdle(20000));
        QCOMPARE(h.alertMessages(), QStringList({"Core firmware upload complete."}));
        QVERIFY(w.view.close());
        QCOMPARE(question->asked, 1);

        // Quit: the application, in a process of its own, with the bundled
        // avrdude writing to a slow chip.
        Stk500SimProcess sim({"--page-ms", "40"});
        const QString fw = testfiles::writeFile(files, "big.hex", toIntelHex(testfiles::randomBytes(32 * 1024)));
        QProcess probe;
        // Quit ends the process with the upload's frame still waiting for
        // avrdude: what it holds is let go by the exit, not leaked for long.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LSAN_OPTIONS", "detect_leaks=0");
        probe.setProcessEnvironment(env);
        probe.start(QCoreApplication::applicationDirPath() + "/velta-quitprobe", {sim.portPath(), fw});
        QStringList lines;
        QElapsedTimer sinceQuit;
        while (!lines.contains("QUIT") && probe.waitForReadyRead(30000)) {
            while (probe.canReadLine())
                lines << QString::fromUtf8(probe.readLine()).trimmed();
        }
        sinceQuit.start();
        QVERIFY2(lines.contains("QUIT"), qPrintable(lines.join('|') + probe.readAllStandardError()));
        const bool ended = probe.waitForFinished(10000);
        const qint64 took = sinceQuit.elapsed();
        if (!ended)
            probe.kill();
        QVERIFY2(ended && took < 1000, qPrintable(QStringLiteral("ended %1 after %2 ms").arg(ended).arg(took)));
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 0);
        QCOMPARE(lines.filter("AVRDUDE ").size(), 1);
        const QString avrdude = "/proc/" + lines.filter("AVRDUDE ").at(0).mid(8);
        QVERIFY2(!QFile::exists(avrdude), qPrintable(avrdude + " is still there"));
    }

    void coreUploadShowsAvrdudesProgress()
    {
        // A chip that takes 4 ms to program a page, so the bars stream as a
        // real one's do; then one that goes away in the middle.
        QTemporaryDir dir;
        const QString fw = dir.filePath("core.hex");
        QFile hex(fw);
        QVERIFY(hex.open(QIODevice::WriteOnly) && hex.write(toIntelHex(testfiles::randomBytes(32 * 1024))) > 0);
        hex.close();
        for (const bool pulled : {false, true}) {
            Stk500SimProcess sim(pulled ? QStringList{"--page-ms", "4", "--close-after-pages", "100"}
                                        : QStringList{"--page-ms", "4"});
            UpdaterHarness h(std::make_shared<ScriptedMidiService>(), {sim.portPath()});
            h->setSelectedTarget(FirmwareTarget::coreFirmware);
            h->setFirmwarePath(fw);
            Window w(h);
            h.settle();
            auto *bar = w.find<QProgressBar>();
            QVERIFY(!bar->isVisible());
            QList<AvrdudeProgress> seen;
            connect(h.updater.get(), &FirmwareUpdater::coreProgressChanged, &w.view, [&] {
                if (!h->coreProgress())
                    return;
                seen << *h->coreProgress();
                QVERIFY(bar->isVisible());
                if (seen.last().phase == AvrdudePhase::writing && seen.last().percent == 50 && !pulled)
                    w.save("core-upload-half-way");
            });
            h->startUpload();
            QVERIFY(h.waitUntilIdle(60000));
            QCOMPARE(w.status(), pulled ? QStringLiteral("Failed.") : QStringLiteral("Done."));
            QVERIFY(!bar->isVisible());

            // Phases in the tool's order, each rising, and whole when it ended.
            QList<AvrdudePhase> phases;
            int writes = 0;
            for (qsizetype i = 0; i < seen.size(); ++i) {
                const bool next = i == 0 || seen[i].phase != seen[i - 1].phase;
                if (next) {
                    phases << seen[i].phase;
                    QVERIFY(i == 0 || seen[i - 1].percent == 100);
                } else {
                    QVERIFY(seen[i].percent > seen[i - 1].percent);
                }
                writes += seen[i].phase == AvrdudePhase::writing;
            }
            QVERIFY2(writes >= 10, qPrintable(QString::number(writes)));
            if (pulled) {
                QCOMPARE(phases, QList<AvrdudePhase>({AvrdudePhase::writing}));
                QVERIFY(seen.last().percent < 100);
                const QString alert = h.alertMessages().value(0);
                QVERIFY(alert.size() > 2000);
                QMessageBox box;
                MessageBoxAlertPresenter::configure(box, "VELTA 2 Updater", alert);
                box.show();
                auto *text = box.findChild<QPlainTextEdit *>("alertMessage");
                QVERIFY(text);
                QCOMPARE(text->toPlainText(), alert);
                QVERIFY(box.height() < 600);
                QVERIFY(box.grab().save(screenshotDir() + "/core-failure-alert.png"));
            } else {
                QCOMPARE(phases, QList<AvrdudePhase>({AvrdudePhase::writing, AvrdudePhase::verifying}));
                QCOMPARE(seen.last().percent, 100);
            }
        }
    }

    void heightFollowsTheStatus()
    {
        UpdaterHarness h;
        Window w(h);
        const int shortHeight = w.view.height();
        h->setStatus(QStringLiteral("A long status. ").repeated(20));
        h.settle();
        QVERIFY(w.view.height() > shortHeight);
        QCOMPARE(w.view.width(), ContentView::windowWidth);
        QCOMPARE(w.view.minimumSize(), w.view.maximumSize());
        h->setStatus("Done.");
        h.settle();
        QCOMPARE(w.view.height(), shortHeight);
    }

    void pathBoxCutsInTheMiddleAndCopiesTheWholePath()
    {
        UpdaterHarness h;
        Window w(h);
        const QString path = "/home/someone/" + QString("very long folder name/").repeated(8) + "velta-usb-2.1.uf2";
        h->setFirmwarePath(path);
        PathBox *box = w.find<PathBox>();
        const QString shown = box->shownText();
        QVERIFY(shown.size() < path.size());
        QVERIFY(shown.startsWith("/home/"));
        QVERIFY(shown.endsWith("velta-usb-2.1.uf2"));
        QVERIFY(shown.contains(QChar(0x2026)));
        QCOMPARE(box->height(), box->sizeHint().height());
        box->selectAll();
        box->copy();
        QCOMPARE(QApplication::clipboard()->text(), path);
    }

    void fileChooserTakesOnlyTheTargetsFiles()
    {
        // The real dialog, configured as the updater configures it.
        QTemporaryDir dir;
        for (const char *name : {"a.uf2", "B.UF2", "c.Uf2", "d.hex", "e.txt"}) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QDir(dir.path()).mkdir("folder.uf2");
        QFileDialog dialog;
        FileDialogChooser::configure(dialog, firmwareDialogTitle(FirmwareTarget::usbFirmware),
                                     *firmwareNameFilter("uf2"));
        dialog.setDirectory(dir.path());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Choose USB Firmware"));
        QCOMPARE(dialog.fileMode(), QFileDialog::ExistingFile);
        auto *model = dialog.findChild<QFileSystemModel *>();
        QVERIFY(model);
        const QModelIndex root = model->index(dir.path());
        QTRY_VERIFY(model->rowCount(root) > 0);
        QStringList visible;
        auto *list = dialog.findChild<QListView *>("listView");
        for (int i = 0; i < list->model()->rowCount(list->rootIndex()); ++i)
            visible << list->model()->index(i, 0, list->rootIndex()).data().toString();
        visible.sort(Qt::CaseInsensitive);
        QCOMPARE(visible, QStringList({"a.uf2", "B.UF2", "c.Uf2", "folder.uf2"}));
        QCOMPARE(firmwareDialogTitle(FirmwareTarget::coreFirmware), QStringLiteral("Choose Core Firmware"));
        QCOMPARE(firmwareNameFilter("hex"), std::optional<QString>("Firmware (*.hex)"));
    }

    void chooserSetsThePathOrChangesNothing()
    {
        UpdaterHarness h({"VELTA 2"}, {});
        h->refreshDevices();
        h.settle();
        h.chooser->answer = std::nullopt;
        h->chooseFirmwareFile();
        h.settle();
        QVERIFY(h->firmwarePath().isEmpty());
        QCOMPARE(h->statusText(), QStringLiteral("USB firmware update ready."));
        QCOMPARE(h.chooser->titles, QStringList({"Choose USB Firmware"}));

        h.chooser->answer = "/home/me/update.uf2";
        h->chooseFirmwareFile();
        QCOMPARE(h->firmwarePath(), QStringLiteral("/home/me/update.uf2"));
        QCOMPARE(h->statusText(), QStringLiteral("USB firmware update ready."));
        h.settle();
        QCOMPARE(h->statusText(), QStringLiteral("Firmware file selected."));
        QVERIFY(h.alertMessages().isEmpty());
    }

    void alertShowsTitleInBoldAndMessageAsPlainText()
    {
        QMessageBox box;
        MessageBoxAlertPresenter::configure(box, "VELTA 2 Updater", "avrdude failed.\n\n<b>not markup</b>");
        QCOMPARE(box.icon(), QMessageBox::Information);
        QCOMPARE(box.text(), QStringLiteral("VELTA 2 Updater"));
        QCOMPARE(box.informativeText(), QStringLiteral("avrdude failed.\n\n<b>not markup</b>"));
        auto *title = box.findChild<QLabel *>("qt_msgbox_label");
        auto *body = box.findChild<QLabel *>("qt_msgbox_informativelabel");
        QVERIFY(title && body);
        QVERIFY(title->font().bold());
        QCOMPARE(body->textFormat(), Qt::PlainText);
        QCOMPARE(box.buttons().size(), 1);

        // A sentence stays on one line.
        QMessageBox oneLine;
        MessageBoxAlertPresenter::configure(oneLine, "VELTA 2 Updater", "Core firmware upload complete.");
        oneLine.show();
        auto *sentence = oneLine.findChild<QLabel *>("qt_msgbox_informativelabel");
        QVERIFY(oneLine.grab().save(screenshotDir() + "/one-line-alert.png"));
        QVERIFY(sentence->width() >= sentence->fontMetrics().horizontalAdvance(sentence->text()));
    }
};

QTEST_MAIN(TestContentView)
#include "test_contentview.moc"
