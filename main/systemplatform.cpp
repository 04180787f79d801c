#include "main/systemplatform.h"

#include "core/systemserialregistry.h"
#include "ui/filedialogchooser.h"
#include "ui/messageboxalertpresenter.h"
#include "usb/bootdrive.h"
#include "usb/alsamidiservice.h"
#include "usb/udisksvolumes.h"

#include <cstdio>

UpdaterPlatform systemPlatform()
{
    return UpdaterPlatform{
        // No MIDI service where no sequencer can be opened: no MIDI destinations.
        AlsaMidiService::create(),
        std::make_shared<SystemSerialRegistry>(),
        defaultVolumeRoots(),
        std::make_shared<UDisksVolumes>(),
        AvrdudeRunner(),
        std::make_shared<MessageBoxAlertPresenter>(),
        std::make_shared<FileDialogChooser>(),
        [](const QString &text) {
            const QByteArray bytes = text.toUtf8();
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
            std::fflush(stdout);
        },
    };
}
