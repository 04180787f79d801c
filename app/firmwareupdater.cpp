#include "app/firmwareupdater.h"

#include "app/alertpresenter.h"
#include "app/bootdrivequestion.h"
#include "app/filechooser.h"
#include "base/mainthread.h"
#include "base/textcompare.h"
#include "base/updatererror.h"
#include "core/portholder.h"
#include "core/serialaccess.h"
#include "core/serialregistry.h"
#include "usb/bootdrive.h"
#include "usb/firmwarecopy.h"
#include "usb/midiservice.h"
#include "usb/uf2check.h"
#include "usb/updatecommand.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QThread>

#include <algorithm>

#include <sys/stat.h>

using namespace std::chrono_literals;

const QString FirmwareUpdater::alertTitle = QStringLiteral("VELTA 2 Updater");

namespace {

const QString notUf2Message = QStringLiteral("The selected file is not a valid UF2 firmware image.");
const QString doneStatus = QStringLiteral("Done.");
const QString noMidiDeviceSelected = QStringLiteral("No USB MIDI device is selected.");
const QString failedStatus = QStringLiteral("Failed.");

// A FIFO, a socket or a device (or a link to one) would hold avrdude until
// its time limit. Decided from stat alone: nothing is opened.
bool isSpecialFile(const QString &path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && !S_ISREG(info.st_mode)
           && !S_ISDIR(info.st_mode);
}

// Stores `value` and announces the change, when there is one.
template <typename T>
void change(FirmwareUpdater *updater, T &field, const T &value, void (FirmwareUpdater::*changed)())
{
    if (field == value)
        return;
    field = value;
    emit (updater->*changed)();
}

QString describeAny(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return describeError(e);
    } catch (...) {
        return QStringLiteral("An unexpected error occurred.");
    }
}

} // namespace

std::shared_ptr<FirmwareUpdater> FirmwareUpdater::create(UpdaterPlatform platform)
{
    // The last reference may be dropped on a worker thread; a QObject has to
    // end on the thread it lives on.
    return std::shared_ptr<FirmwareUpdater>(new FirmwareUpdater(std::move(platform)), [](FirmwareUpdater *updater) {
        if (QThread::currentThread() == updater->thread())
            delete updater;
        else
            postToMainThread([updater] { delete updater; });
    });
}

FirmwareUpdater::FirmwareUpdater(UpdaterPlatform platform)
    : m_platform(std::move(platform)),
      m_statusText(QStringLiteral("Select a firmware target, file, and device.")),
      m_postedStatus(m_statusText)
{
    // The client is never released: it belongs to the process, and a failed
    // registration leaves 0 and changes nothing else.
    if (m_platform.midi)
        m_midiClient = m_platform.midi->createClient(QStringLiteral("VeltaUpdater"));

    // The lists follow the cable: a device that comes or goes is looked for
    // again shortly after, once a burst of notices has settled.
    m_deviceCheck.setSingleShot(true);
    m_deviceCheck.setInterval(deviceSettleTime);
    connect(&m_deviceCheck, &QTimer::timeout, this, &FirmwareUpdater::refreshIfDevicesChanged);
    auto notice = [updater = QPointer<FirmwareUpdater>(this)] {
        postToMainThread([updater] {
            if (updater)
                updater->deviceNotice();
        });
    };
    if (m_platform.midi)
        m_platform.midi->setChangeHandler(notice);
    if (m_platform.serialRegistry)
        m_platform.serialRegistry->setChangeHandler(notice);
}

FirmwareUpdater::~FirmwareUpdater()
{
    if (m_platform.midi)
        m_platform.midi->setChangeHandler(nullptr);
    if (m_platform.serialRegistry)
        m_platform.serialRegistry->setChangeHandler(nullptr);
}

void FirmwareUpdater::setSelectedTarget(FirmwareTarget target)
{
    change(this, m_selectedTarget, target, &FirmwareUpdater::selectedTargetChanged);
}

void FirmwareUpdater::setFirmwarePath(const QString &path)
{
    change(this, m_firmwarePath, path, &FirmwareUpdater::firmwarePathChanged);
}

void FirmwareUpdater::setSelectedMIDIPortName(const QString &name)
{
    m_midiPickedByUser = true;
    change(this, m_selectedMIDIPortName, name, &FirmwareUpdater::selectedMIDIPortNameChanged);
}

void FirmwareUpdater::setSelectedSerialPortPath(const QString &path)
{
    m_serialPickedByUser = true;
    change(this, m_selectedSerialPortPath, path, &FirmwareUpdater::selectedSerialPortPathChanged);
}

void FirmwareUpdater::setBusy(bool busy)
{
    if (m_isBusy == busy)
        return;
    m_isBusy = busy;
    emit isBusyChanged();
    // The outcome is reported by now; the settle time lets a device that
    // restarts at the end finish coming back.
    if (!busy && m_devicesChangedWhileBusy) {
        m_devicesChangedWhileBusy = false;
        m_deviceCheck.start();
    }
}

void FirmwareUpdater::setProgress(const std::optional<UploadProgress> &progress)
{
    change(this, m_progress, progress, &FirmwareUpdater::progressChanged);
}

void FirmwareUpdater::setStatus(const QString &text)
{
    m_postedStatus = text;
    postToMainThread([self = shared_from_this(), text] {
        change(self.get(), self->m_statusText, text, &FirmwareUpdater::statusTextChanged);
    });
}

void FirmwareUpdater::alert(const QString &message)
{
    showAlert(m_platform.alerts, alertTitle, message);
}

// ---- devices ----

void FirmwareUpdater::refreshDevices()
{
    showDevices(discoveredDestinations(), discoveredPorts(), DeviceRefresh::requested);
}

QList<MIDIDeviceChoice> FirmwareUpdater::discoveredDestinations() const
{
    return m_platform.midi ? discoverMIDIDestinations(*m_platform.midi) : QList<MIDIDeviceChoice>();
}

QList<SerialPortChoice> FirmwareUpdater::discoveredPorts() const
{
    return m_platform.serialRegistry ? discoverSerialPorts(*m_platform.serialRegistry) : QList<SerialPortChoice>();
}

void FirmwareUpdater::showDevices(QList<MIDIDeviceChoice> destinations, QList<SerialPortChoice> ports,
                                  DeviceRefresh kind)
{
    const bool automatic = kind == DeviceRefresh::automatic;
    m_availableDestinations = std::move(destinations);
    QStringList names;
    names.reserve(m_availableDestinations.size());
    for (const MIDIDeviceChoice &choice : std::as_const(m_availableDestinations))
        names.append(choice.displayName);
    change(this, m_midiPortNames, names, &FirmwareUpdater::midiPortNamesChanged);
    // A pick of the updater's own is made again, so a VELTA 2 that comes
    // back is selected again rather than whatever stood first meanwhile.
    if (!(automatic && m_midiPickedByUser && names.contains(m_selectedMIDIPortName))) {
        m_midiPickedByUser = false;
        change(this, m_selectedMIDIPortName, preferredPortName(names, preferredMIDIKeywords).value_or(QString()),
               &FirmwareUpdater::selectedMIDIPortNameChanged);
    }

    // Every discovery makes new ids, so a new list always differs.
    m_serialPorts = std::move(ports);
    emit serialPortsChanged();
    const bool pickedPortListed = std::any_of(m_serialPorts.begin(), m_serialPorts.end(), [this](const auto &port) {
        return port.path == m_selectedSerialPortPath;
    });
    if (!(automatic && m_serialPickedByUser && pickedPortListed)) {
        m_serialPickedByUser = false;
        const std::optional<SerialPortChoice> preferred = preferredSerialPort(m_serialPorts);
        change(this, m_selectedSerialPortPath, preferred ? preferred->path : QString(),
               &FirmwareUpdater::selectedSerialPortPathChanged);
    }

    // How the last upload ended stays until the user acts.
    if (automatic && (m_postedStatus == doneStatus || m_postedStatus == failedStatus))
        return;
    if (m_selectedTarget == FirmwareTarget::coreFirmware) {
        setStatus(m_selectedSerialPortPath.isEmpty() ? QStringLiteral("No USB serial device found.")
                                                     : QStringLiteral("Core firmware update ready."));
    } else if (!m_selectedMIDIPortName.isEmpty()) {
        setStatus(QStringLiteral("USB firmware update ready."));
    } else if (m_midiPortNames.isEmpty() && !connectedBootDrives(bootDriveSources()).isEmpty()) {
        // A VELTA waiting in its boot loader shows no MIDI port, only its drive.
        setStatus(QStringLiteral("A UF2 boot drive is connected: choose a .uf2 file and press Upload to copy it "
                                 "onto the drive."));
    } else {
        setStatus(QStringLiteral("No USB MIDI device found."));
    }
}

void FirmwareUpdater::deviceNotice()
{
    // Every update makes the device vanish and return; the lists stay as
    // they were until it has ended, and then catch up once.
    if (m_isBusy)
        m_devicesChangedWhileBusy = true;
    else
        m_deviceCheck.start();
}

void FirmwareUpdater::refreshIfDevicesChanged()
{
    // Started before the upload, due during it.
    if (m_isBusy) {
        m_devicesChangedWhileBusy = true;
        return;
    }
    QList<MIDIDeviceChoice> destinations = discoveredDestinations();
    QList<SerialPortChoice> ports = discoveredPorts();
    const bool sameDestinations = std::equal(
        destinations.begin(), destinations.end(), m_availableDestinations.begin(), m_availableDestinations.end(),
        [](const auto &x, const auto &y) { return x.endpoint == y.endpoint && x.displayName == y.displayName; });
    const bool samePorts = std::equal(ports.begin(), ports.end(), m_serialPorts.begin(), m_serialPorts.end(),
                                      [](const auto &x, const auto &y) { return x.path == y.path; });
    if (!sameDestinations || !samePorts)
        showDevices(std::move(destinations), std::move(ports), DeviceRefresh::automatic);
}

void FirmwareUpdater::resetForTargetChange()
{
    setFirmwarePath(QString());
    setStatus(m_selectedTarget == FirmwareTarget::coreFirmware
                  ? QStringLiteral("Select a Core firmware file and USB serial device.")
                  : QStringLiteral("Select a USB firmware file and USB MIDI device."));
}

// ---- file chooser ----

void FirmwareUpdater::chooseFirmwareFile()
{
    const QString extension = fileExtension(m_selectedTarget);
    const std::optional<QString> filter = firmwareNameFilter(extension);
    if (!filter) {
        alert(QStringLiteral("Could not create a file type for .") + extension + QStringLiteral(" files."));
        return;
    }
    if (!m_platform.fileChooser)
        return;
    const std::optional<QString> chosen =
        m_platform.fileChooser->chooseFile(firmwareDialogTitle(m_selectedTarget), *filter);
    if (!chosen || chosen->isEmpty())
        return;
    setFirmwarePath(*chosen);
    setStatus(QStringLiteral("Firmware file selected."));
}

// ---- upload steps ----

Task<void> FirmwareUpdater::sendUpdateCommand(const QString &name)
{
    return ::sendUpdateCommand(m_platform.midi, m_availableDestinations, name);
}

BootDriveSources FirmwareUpdater::bootDriveSources() const
{
    return {m_platform.volumeRoots, m_platform.isBootFileSystem, m_platform.volumeService};
}

Task<std::optional<BootDrive>> FirmwareUpdater::waitForBootDrive(double timeoutSeconds, QSet<quint64> known)
{
    return ::waitForBootDrive([sources = bootDriveSources(), known] { return findNewBootDrive(sources, known); },
                              timeoutSeconds);
}

// ---- upload workflow ----

void FirmwareUpdater::startUpload()
{
    // The boot drive is still being looked for: this press has its answer coming.
    if (m_offeringBootDrive)
        return;
    const QString path = trimmedText(m_firmwarePath);
    if (path.isEmpty()) {
        alert(QStringLiteral("Please choose a firmware file first."));
        return;
    }
    const QString filePath = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (!QFileInfo::exists(filePath)) {
        alert(QStringLiteral("The selected firmware file does not exist."));
        return;
    }
    const QString wanted = fileExtension(m_selectedTarget);
    // suffix(): the text after the file name's last full stop.
    if (QString::compare(QFileInfo(filePath).suffix(), wanted, Qt::CaseInsensitive) != 0) {
        alert(QStringLiteral("The selected file must be a .") + wanted + QStringLiteral(" file for ")
              + label(m_selectedTarget) + QStringLiteral("."));
        return;
    }
    if (m_selectedTarget == FirmwareTarget::coreFirmware) {
        if (isSpecialFile(filePath)) {
            alert(QStringLiteral("The selected file is not a valid Intel HEX firmware image."));
            return;
        }
        uploadCoreFirmware(filePath);
        return;
    }
    // The boot drive ignores anything that isn't UF2 blocks and the update
    // would look successful: refuse before the device is restarted. The
    // check reads the file once, and never blocks on a FIFO or a device.
    QByteArray image;
    const Uf2FileCheck check = checkUf2File(filePath, &image);
    if (check == Uf2FileCheck::notUf2) {
        alert(notUf2Message);
        return;
    }
    uploadUSBFirmware(filePath, check == Uf2FileCheck::valid ? std::optional(std::move(image)) : std::nullopt);
}

void FirmwareUpdater::uploadUSBFirmware(const QString &filePath, std::optional<QByteArray> image)
{
    const QString name = trimmedText(m_selectedMIDIPortName);
    if (name.isEmpty()) {
        m_offeringBootDrive = true;
        launch(offerBootDriveCopy(filePath, std::move(image)));
        return;
    }
    setBusy(true);
    m_stopUpload = std::make_shared<std::atomic<bool>>(false);
    setStatus(QStringLiteral("Uploading USB firmware…"));
    launch(performUSBUpload(filePath, name, std::move(image), std::nullopt));
}

Task<void> FirmwareUpdater::offerBootDriveCopy(QString filePath, std::optional<QByteArray> image)
{
    const auto self = shared_from_this();
    std::optional<BootDrive> drive;
    QString refusal = noMidiDeviceSelected;
    try {
        auto lookup = onWorkerThread([sources = bootDriveSources()] { return findNewBootDrive(sources, {}); });
        drive = co_await lookup;
    } catch (const UpdaterError &error) {
        // There is a drive, but it can't be used: say why.
        refusal += QStringLiteral("\n\n") + error.errorDescription();
    }
    m_offeringBootDrive = false;
    if (!drive || !m_platform.bootDriveQuestion || !m_platform.bootDriveQuestion->copyOntoDrive(drive->path)) {
        alert(refusal);
        co_return;
    }
    setBusy(true);
    m_stopUpload = std::make_shared<std::atomic<bool>>(false);
    setStatus(QStringLiteral("Uploading USB firmware…"));
    auto upload = performUSBUpload(filePath, QString(), std::move(image), drive);
    co_await upload;
}

void FirmwareUpdater::uploadCoreFirmware(const QString &filePath)
{
    const QString path = trimmedText(m_selectedSerialPortPath);
    if (path.isEmpty()) {
        alert(QStringLiteral("No USB serial device is selected."));
        return;
    }
    if (const std::optional<QString> refusal = serialPermissionProblem(path)) {
        alert(*refusal);
        return;
    }
    // A serial monitor left open would take the boot loader's answers, or
    // make avrdude fail at once with a long dump.
    if (const std::optional<PortHolder> holder = findPortHolder(path)) {
        alert(portInUseMessage(path, *holder));
        return;
    }
    setBusy(true);
    m_stopUpload = std::make_shared<std::atomic<bool>>(false);
    setStatus(QStringLiteral("Preparing Core firmware update…"));
    launch(performCoreUpload(filePath, path));
}

void FirmwareUpdater::launch(Task<void> task)
{
    // The task begins on the main thread after the current event, like any
    // posted work; nothing keeps a handle to it.
    // The frame refers to this updater, so the post keeps it alive until
    // the task holds it itself.
    auto pending = std::make_shared<Task<void>>(std::move(task));
    postToMainThread([pending, self = shared_from_this()] { startDetached(std::move(*pending)); });
}

void FirmwareUpdater::report(std::exception_ptr failure, const QString &failedPrefix,
                             const QString &completeMessage)
{
    alert(failure ? failedPrefix + describeAny(failure) : completeMessage);
    setStatus(failure ? failedStatus : doneStatus);
}

void FirmwareUpdater::abandonUpload()
{
    if (m_stopUpload)
        m_stopUpload->store(true);
}

Task<void> FirmwareUpdater::performUSBUpload(QString filePath, QString name, std::optional<QByteArray> image,
                                             std::optional<BootDrive> drive)
{
    const auto self = shared_from_this();
    std::exception_ptr failure;
    try {
        if (!drive) {
            // Drives already there belong to other boards: only one that
            // comes after the command can be the VELTA's.
            auto noting = onWorkerThread([sources = bootDriveSources()] { return connectedBootDrives(sources); });
            const QSet<quint64> known = co_await noting;
            auto send = sendUpdateCommand(name);
            co_await send;
            setStatus(QStringLiteral("Waiting for USB firmware drive…"));
            auto driveWait = waitForBootDrive(m_platform.bootDriveTimeoutSeconds, known);
            drive = co_await driveWait;
            if (!drive)
                throw UpdaterError::bootDriveNotFound();
        } else {
            setStatus(QStringLiteral("Waiting for USB firmware drive…"));
        }
        co_await pauseFor(1s);
        // The file keeps its own name on the drive, as far as FAT can store it.
        const QString destination = drive->path + QLatin1Char('/') + driveFileName(QFileInfo(filePath).fileName());
        if (!image) {
            // Not readable at Upload (a folder, say): the copy's own read
            // reports that, and what it reads now must be an image too.
            image = readFirmwareSource(filePath);
            if (!isUf2Image(*image))
                throw UpdaterError::copyFailed(notUf2Message);
        }
        auto copy = copyOntoDrive(std::move(*image), *drive, destination);
        co_await copy;
        setStatus(QStringLiteral("Finishing…"));
        // The boot loader restarts once it holds the whole image, and its
        // drive goes: that, not the copy, says the device took it.
        using Clock = std::chrono::steady_clock;
        const auto copied = Clock::now();
        co_await pauseFor(2s);
        for (;;) {
            auto check = onWorkerThread([drive = *drive] { return bootDriveGone(drive); });
            if (co_await check)
                break;
            const std::chrono::duration<double> waited = Clock::now() - copied;
            if (waited.count() >= m_platform.restartTimeoutSeconds)
                throw UpdaterError::copyFailed(QStringLiteral(
                    "The VELTA did not restart after the firmware was copied: its boot loader did not take it."));
            co_await pauseFor(250ms);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    setProgress(std::nullopt);
    report(failure, QStringLiteral("USB firmware update failed.\n\n"), QStringLiteral("USB firmware upload complete."));
    setBusy(false);
}

Task<void> FirmwareUpdater::copyOntoDrive(QByteArray image, BootDrive drive, QString destination)
{
    // A copy onto a boot loader's drive takes seconds: it runs on a worker,
    // and its progress reaches the window posted, in order.
    const auto self = shared_from_this();
    setProgress(UploadProgress{QStringLiteral("Copying"), 0});
    auto copy = onWorkerThread([image = std::move(image), drive, destination, self, stop = m_stopUpload] {
        // An image with nothing for this chip would overwrite nothing and
        // never restart it.
        if (!driveTakesImage(drive.path, image))
            throw UpdaterError::copyFailed(notUf2Message);
        const qint64 total = image.size();
        writeFirmware(image, destination, [self, total](qint64 done) {
            const int percent = total > 0 ? int(done * 100 / total) : 100;
            postToMainThread([self, percent] { self->setProgress(UploadProgress{QStringLiteral("Copying"), percent}); });
        }, stop.get());
        return true;
    });
    co_await copy;
}

Task<void> FirmwareUpdater::performCoreUpload(QString filePath, QString portPath)
{
    const auto self = shared_from_this();
    setStatus(QStringLiteral("Uploading Core firmware…"));
    std::exception_ptr failure;
    QString output;
    try {
        // The worker gets values only; the updater stays on this thread.
        // (Awaiters are named locals: GCC 12 mishandles temporaries with
        // non-trivial destructors inside co_await expressions.)
        // Progress reaches the window the way everything else does: posted,
        // in order, ahead of the run's result.
        auto programmerRun = onWorkerThread([runner = m_platform.avrdude, filePath, portPath, self,
                                             stop = m_stopUpload] {
            return runner.run(
                filePath, portPath,
                [self](const AvrdudeProgress &progress) {
                    const UploadProgress shown{phaseName(progress.phase), progress.percent};
                    postToMainThread([self, shown] { self->setProgress(shown); });
                },
                stop.get());
        });
        output = co_await programmerRun;
    } catch (...) {
        failure = std::current_exception();
    }
    // The tool's output goes to standard output after a success only, before the alert.
    if (!failure && m_platform.writeStandardOutput)
        m_platform.writeStandardOutput(output + QLatin1Char('\n'));
    report(failure, QStringLiteral("Core firmware update failed.\n\n"), QStringLiteral("Core firmware upload complete."));
    // Posted, so the window shows the final status before it is usable again.
    postToMainThread([self] {
        self->setProgress(std::nullopt);
        self->setBusy(false);
    });
}
