#pragma once

#include "app/alertpresenter.h"
#include "app/bootdrivequestion.h"
#include "app/filechooser.h"
#include "app/firmwareupdater.h"
#include "support/fakeserialregistry.h"
#include "support/scriptedmidiservice.h"
#include "ui/contentview.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// Records alerts instead of showing them.
struct RecordingAlerts : AlertPresenter {
    void present(const QString &title, const QString &message) override
    {
        titles << title;
        messages << message;
        if (log)
            *log << QStringLiteral("alert:") + message;
    }
    QStringList titles, messages;
    QStringList *log = nullptr;
};

// Answers the file dialog with a set path, or cancels.
struct ScriptedFileChooser : FileChooser {
    std::optional<QString> chooseFile(const QString &title, const QString &filter) override
    {
        titles << title;
        filters << filter;
        return answer;
    }
    std::optional<QString> answer;
    QStringList titles, filters;
};

// Answers the boot drive question as set, and records where it was asked about.
struct ScriptedBootDriveQuestion : BootDriveQuestion {
    bool copyOntoDrive(const QString &folder) override
    {
        if (log)
            *log << QStringLiteral("question:") + folder;
        return answer;
    }
    bool answer = false;
    QStringList *log = nullptr;
};

// A FirmwareUpdater on scripted devices (avrdude from bin/resources, an empty
// private volumes folder whose drives may be of any file system), with one
// log of everything the user would see, in order: "status:…", "alert:…",
// "question:<folder>", "busy:true|false".
class UpdaterHarness {
public:
    explicit UpdaterHarness(const QStringList &midiNames = {}, const QStringList &serialPaths = {},
                            double bootDriveTimeoutSeconds = UpdaterPlatform::defaultBootDriveTimeoutSeconds)
        : UpdaterHarness(std::make_shared<ScriptedMidiService>(midiNames), serialPaths, {}, AvrdudeRunner(),
                         bootDriveTimeoutSeconds)
    {
    }
    UpdaterHarness(std::shared_ptr<MidiService> midi, const QStringList &serialPaths, const QStringList &volumeRoots = {},
                   AvrdudeRunner avrdude = AvrdudeRunner(),
                   double bootDriveTimeoutSeconds = UpdaterPlatform::defaultBootDriveTimeoutSeconds)
        : scriptedMidi(std::dynamic_pointer_cast<ScriptedMidiService>(midi)),
          serial(std::make_shared<FakeSerialRegistry>(serialPaths))
    {
        UpdaterPlatform platform;
        platform.midi = std::move(midi);
        platform.serialRegistry = serial;
        platform.volumeRoots = volumeRoots.isEmpty() ? QStringList{volumes.path()} : volumeRoots;
        platform.avrdude = std::move(avrdude);
        platform.bootDriveTimeoutSeconds = bootDriveTimeoutSeconds;
        // This machine's kernel has no FAT: the test drives are tmpfs folders.
        platform.isBootFileSystem = [](const QString &) { return true; };
        platform.restartTimeoutSeconds = 3;
        start(std::move(platform));
    }
    // A given platform (the system's, say); alerts, chooser and output recorded.
    explicit UpdaterHarness(UpdaterPlatform platform) { start(std::move(platform)); }
    // Runs what is still posted, so the updater (and the devices it holds
    // open) goes with the harness.
    ~UpdaterHarness() { settle(); }

    FirmwareUpdater &operator*() const { return *updater; }
    FirmwareUpdater *operator->() const { return updater.get(); }

    static inline const QStringList usbSuccessLog{
        "busy:true",  "status:Uploading USB firmware…", "status:Waiting for USB firmware drive…",
        "status:Finishing…", "busy:false", "alert:USB firmware upload complete.", "status:Done."};

    // Runs everything posted to the main thread so far. Work posted by
    // posted work (layout requests climbing up to the window) needs a few rounds.
    static void settle()
    {
        for (int round = 0; round < 5; ++round) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
    }
    // Waits until the upload has ended and its posted work has run.
    bool waitUntilIdle(int timeoutMs)
    {
        const bool idle = QTest::qWaitFor([this] { return !updater->isBusy(); }, timeoutMs);
        settle();
        return idle;
    }
    QStringList statuses() const { return log.filter(QRegularExpression("^status:")).replaceInStrings("status:", ""); }
    QStringList alertMessages() const { return alerts->messages; }

    QTemporaryDir volumes;
    std::shared_ptr<ScriptedMidiService> scriptedMidi; // null when a real service was given
    std::shared_ptr<FakeSerialRegistry> serial;
    std::shared_ptr<RecordingAlerts> alerts = std::make_shared<RecordingAlerts>();
    std::shared_ptr<ScriptedFileChooser> chooser = std::make_shared<ScriptedFileChooser>();
    std::shared_ptr<ScriptedBootDriveQuestion> question = std::make_shared<ScriptedBootDriveQuestion>();
    QStringList standardOutput;
    QStringList log;
    std::shared_ptr<FirmwareUpdater> updater;

private:
    void start(UpdaterPlatform platform)
    {
        alerts->log = &log;
        question->log = &log;
        platform.alerts = alerts;
        if (!platform.bootDriveQuestion)
            platform.bootDriveQuestion = question;
        platform.fileChooser = chooser;
        platform.writeStandardOutput = [this](const QString &text) { standardOutput << text; };
        updater = FirmwareUpdater::create(std::move(platform));
        QObject::connect(updater.get(), &FirmwareUpdater::statusTextChanged, &m_context,
                         [this] { log << QStringLiteral("status:") + updater->statusText(); });
        QObject::connect(updater.get(), &FirmwareUpdater::isBusyChanged, &m_context,
                         [this] { log << (updater->isBusy() ? QStringLiteral("busy:true") : QStringLiteral("busy:false")); });
    }
    // Ends the harness's connections with it; the updater may live longer.
    QObject m_context;
};

// The window over a harness's updater, shown, as the user has it.
struct ShownWindow {
    explicit ShownWindow(UpdaterHarness &h) : view(h.updater) { view.show(); }
    // Every button usable again (the pickers also depend on their lists).
    bool controlsEnabled() const
    {
        for (QPushButton *button : view.findChildren<QPushButton *>()) {
            if (!button->isEnabled())
                return false;
        }
        return true;
    }
    ContentView view;
};
