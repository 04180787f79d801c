#include "app/firmwaretarget.h"

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
