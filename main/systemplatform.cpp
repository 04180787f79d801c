#include "main/systemplatform.h"

#include "core/systemserialregistry.h"
#include "ui/bootdrivequestionbox.h"
#include "ui/filedialogchooser.h"
#include "ui/messageboxalertpresenter.h"
#include "usb/bootdrive.h"
#include "usb/alsamidiservice.h"
#include "usb/udisksvolumes.h"

#include <cstdio>

UpdaterPlatform systemPlatform()
{
    UpdaterPlatform platform;
    // No MIDI service where no sequencer can be opened: no MIDI destinations.
    platform.midi = AlsaMidiService::create();
    platform.serialRegistry = std::make_shared<SystemSerialRegistry>();
    platform.volumeRoots = defaultVolumeRoots();
    platform.volumeService = std::make_shared<UDisksVolumes>();
    platform.alerts = std::make_shared<MessageBoxAlertPresenter>();
    platform.fileChooser = std::make_shared<FileDialogChooser>();
    platform.writeStandardOutput = [](const QString &text) {
        const QByteArray bytes = text.toUtf8();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fflush(stdout);
    };
    platform.bootDriveQuestion = std::make_shared<BootDriveQuestionBox>();
    return platform;
}
