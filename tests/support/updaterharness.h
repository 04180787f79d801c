#pragma once

#include "app/firmwareupdater.h"
#include "support/fakeserialregistry.h"
#include "support/scriptedmidiservice.h"
#include "app/alertpresenter.h"
#include "app/filechooser.h"

#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// Records alerts instead of showing them.
class RecordingAlerts : public AlertPresenter {
public:
    void present(const QString &title, const QString &message) override
    {
        titles << title;
        messages << message;
        if (log)
            log->append(QStringLiteral("alert:") + message);
    }
    QStringList titles;
    QStringList messages;
    QStringList *log = nullptr;
};

// Answers the file dialog with a set path, or cancels.
class ScriptedFileChooser : public FileChooser {
public:
    std::optional<QString> chooseFile(const QString &title, const QString &nameFilter) override
    {
        titles << title;
        filters << nameFilter;
        return answer;
    }
    std::optional<QString> answer;
    QStringList titles;
    QStringList filters;
};

// A FirmwareUpdater on scripted devices, with one log of everything the
// user would see, in order: "status:…", "alert:…", "busy:true|false".
class UpdaterHarness {
public:
    // Platform pieces are real unless replaced: avrdude from bin/resources,
    // an empty private volumes folder.
    explicit UpdaterHarness(const QStringList &midiNames = {}, const QStringList &serialPaths = {},
                            double bootDriveTimeoutSeconds = UpdaterPlatform::defaultBootDriveTimeoutSeconds);
    // A given platform (the system's, say), with alerts, the file chooser and
    // standard output recorded instead.
    explicit UpdaterHarness(UpdaterPlatform platform);
    UpdaterHarness(std::shared_ptr<MidiService> midi, const QStringList &serialPaths,
                   const QStringList &volumeRoots = {}, AvrdudeRunner avrdude = AvrdudeRunner(),
                   double bootDriveTimeoutSeconds = UpdaterPlatform::defaultBootDriveTimeoutSeconds);

    // Runs what is still posted, so the updater (and the devices it holds
    // open) goes with the harness.
    ~UpdaterHarness() { settle(); }

    FirmwareUpdater &operator*() const { return *updater; }
    FirmwareUpdater *operator->() const { return updater.get(); }

    // The log of a USB update that succeeds, start to end.
    static inline const QStringList usbSuccessLog{
        "busy:true",  "status:Uploading USB firmware…", "status:Waiting for USB firmware drive…",
        "status:Finishing…", "busy:false", "alert:USB firmware upload complete.", "status:Done."};

    // Runs everything posted to the main thread so far.
    static void settle();
    // Waits until the upload has ended and its posted work has run.
    bool waitUntilIdle(int timeoutMs);
    QStringList statuses() const;
    QStringList alertMessages() const { return alerts->messages; }

    QTemporaryDir volumes;
    std::shared_ptr<ScriptedMidiService> scriptedMidi; // null when a real service was given
    std::shared_ptr<FakeSerialRegistry> serial;
    std::shared_ptr<RecordingAlerts> alerts;
    std::shared_ptr<ScriptedFileChooser> chooser;
    QStringList standardOutput;
    QStringList log;
    std::shared_ptr<FirmwareUpdater> updater;

private:
    // Ends the harness's connections with it; the updater may live longer.
    QObject m_context;

    void record(UpdaterPlatform &platform);
    void follow();
    void build(std::shared_ptr<MidiService> midi, const QStringList &serialPaths, QStringList volumeRoots,
               AvrdudeRunner avrdude, double bootDriveTimeoutSeconds = UpdaterPlatform::defaultBootDriveTimeoutSeconds);
};
