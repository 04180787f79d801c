#pragma once

#include "app/firmwaretarget.h"
#include "app/uploadprogress.h"
#include "app/updaterplatform.h"
#include "base/task.h"
#include "core/serialdiscovery.h"
#include "usb/bootdrive.h"
#include "usb/mididiscovery.h"

#include <QObject>
#include <QTimer>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>

// Everything the window shows and every action it offers. Lives on the main
// thread; make it with create(): a running upload and every posted status
// update hold a reference, so the updater outlives its window if need be.
class FirmwareUpdater : public QObject, public std::enable_shared_from_this<FirmwareUpdater> {
    Q_OBJECT

public:
    static const QString alertTitle;
    // How long device notices have to settle before the lists are compared.
    static constexpr std::chrono::milliseconds deviceSettleTime{300};

    static std::shared_ptr<FirmwareUpdater> create(UpdaterPlatform platform);
    ~FirmwareUpdater() override;

    FirmwareTarget selectedTarget() const { return m_selectedTarget; }
    void setSelectedTarget(FirmwareTarget target);
    const QString &firmwarePath() const { return m_firmwarePath; }
    void setFirmwarePath(const QString &path);
    const QString &selectedMIDIPortName() const { return m_selectedMIDIPortName; }
    // The user's own pick (the window's picker): kept while its device is listed.
    void setSelectedMIDIPortName(const QString &name);
    const QStringList &midiPortNames() const { return m_midiPortNames; }
    const QString &selectedSerialPortPath() const { return m_selectedSerialPortPath; }
    // The user's own pick, as for MIDI.
    void setSelectedSerialPortPath(const QString &path);
    const QList<SerialPortChoice> &serialPorts() const { return m_serialPorts; }
    const QString &statusText() const { return m_statusText; }
    bool isBusy() const { return m_isBusy; }
    // How far avrdude or the copy has got while an upload runs; nothing otherwise.
    const std::optional<UploadProgress> &progress() const { return m_progress; }

    std::uint32_t midiClient() const { return m_midiClient; }
    const QList<MIDIDeviceChoice> &availableDestinations() const { return m_availableDestinations; }

    // Both device lists, then the readiness status for the current target.
    void refreshDevices();
    // Clears the file choice and shows the hint for the current target.
    void resetForTargetChange();
    // Applied later on the main thread, in posting order; never at once.
    void setStatus(const QString &text);

    // The Upload button: checks the choices, reports problems in an alert,
    // otherwise starts the upload and returns.
    void startUpload();
    // The Choose… button: a file dialog limited to the target's extension.
    void chooseFirmwareFile();
    // The process is about to end in the middle of an upload: a running
    // avrdude or copy is stopped within a moment, so it neither outlives the
    // process nor holds it up.
    void abandonUpload();

    // The steps of an upload.
    Task<void> sendUpdateCommand(const QString &name);
    // A boot drive that is not one of `known` (the devices there before the
    // command), mounted if need be.
    Task<std::optional<BootDrive>> waitForBootDrive(double timeoutSeconds, QSet<quint64> known);

signals:
    void selectedTargetChanged();
    void firmwarePathChanged();
    void selectedMIDIPortNameChanged();
    void midiPortNamesChanged();
    void selectedSerialPortPathChanged();
    void serialPortsChanged();
    void statusTextChanged();
    void isBusyChanged();
    void progressChanged();

private:
    explicit FirmwareUpdater(UpdaterPlatform platform);

    // `image` is the file as checked at Upload, when it could be read; the
    // copy writes exactly those bytes.
    void uploadUSBFirmware(const QString &filePath, std::optional<QByteArray> image);
    void uploadCoreFirmware(const QString &filePath);
    // No MIDI device: a boot drive that is connected may be the VELTA's,
    // waiting in its boot loader; the user is asked.
    Task<void> offerBootDriveCopy(QString filePath, std::optional<QByteArray> image);
    // Without `drive`, the update command first and the drive it brings;
    // with it, straight onto that drive.
    Task<void> performUSBUpload(QString filePath, QString name, std::optional<QByteArray> image,
                                std::optional<BootDrive> drive);
    Task<void> copyOntoDrive(QByteArray image, BootDrive drive, QString destination);
    BootDriveSources bootDriveSources() const;
    Task<void> performCoreUpload(QString filePath, QString portPath);
    void launch(Task<void> task);
    // The alert and status that end every upload.
    void report(std::exception_ptr failure, const QString &failedPrefix, const QString &completeMessage);

    void alert(const QString &message);
    void setBusy(bool busy);
    void setProgress(const std::optional<UploadProgress> &progress);
    QList<MIDIDeviceChoice> discoveredDestinations() const;
    QList<SerialPortChoice> discoveredPorts() const;
    // Refresh: both devices preferred again. A change notice: the user's
    // picks stay while listed, and the outcome of an upload stays shown.
    enum class DeviceRefresh { requested, automatic };
    // New lists, their selections and the readiness status.
    void showDevices(QList<MIDIDeviceChoice> destinations, QList<SerialPortChoice> ports, DeviceRefresh kind);
    void deviceNotice();
    // An automatic refresh, only when the devices differ from the lists shown.
    void refreshIfDevicesChanged();

    UpdaterPlatform m_platform;

    FirmwareTarget m_selectedTarget = FirmwareTarget::usbFirmware;
    QString m_firmwarePath;
    QString m_selectedMIDIPortName;
    QStringList m_midiPortNames;
    QString m_selectedSerialPortPath;
    QList<SerialPortChoice> m_serialPorts;
    QString m_statusText;
    bool m_isBusy = false;
    std::optional<UploadProgress> m_progress;
    std::uint32_t m_midiClient = 0;
    QList<MIDIDeviceChoice> m_availableDestinations;
    QTimer m_deviceCheck;
    bool m_midiPickedByUser = false;
    bool m_serialPickedByUser = false;
    // A notice came while busy: the lists catch up once the upload has ended.
    bool m_devicesChangedWhileBusy = false;
    // What the status line will read once the posted updates have run.
    QString m_postedStatus;
    // Set to stop the running upload's avrdude or copy.
    std::shared_ptr<std::atomic<bool>> m_stopUpload;
    // Upload found no MIDI device and is looking for a boot drive.
    bool m_offeringBootDrive = false;
};
