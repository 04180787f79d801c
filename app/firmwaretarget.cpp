#include "app/firmwaretarget.h"

QString rawValue(FirmwareTarget target)
{
    return target == FirmwareTarget::coreFirmware ? QStringLiteral("coreFirmware")
                                                  : QStringLiteral("usbFirmware");
}

std::optional<FirmwareTarget> firmwareTargetFromRawValue(const QString &raw)
{
    for (FirmwareTarget target : allFirmwareTargets) {
        if (rawValue(target) == raw)
            return target;
    }
    return std::nullopt;
}

QString label(FirmwareTarget target)
{
    return target == FirmwareTarget::coreFirmware ? QStringLiteral("Core Firmware (.hex)")
                                                  : QStringLiteral("USB Firmware (.uf2)");
}

QString fileExtension(FirmwareTarget target)
{
    return target == FirmwareTarget::coreFirmware ? QStringLiteral("hex")
                                                  : QStringLiteral("uf2");
}
