#include "app/filechooser.h"

#include <QRegularExpression>

QString firmwareDialogTitle(FirmwareTarget target)
{
    return target == FirmwareTarget::coreFirmware ? QStringLiteral("Choose Core Firmware")
                                                  : QStringLiteral("Choose USB Firmware");
}

std::optional<QString> firmwareNameFilter(const QString &extension)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_-]+$"));
    if (!plain.match(extension).hasMatch())
        return std::nullopt;
    // Qt's dialog matches name filters without regard to letter case.
    return QStringLiteral("Firmware (*.%1)").arg(extension.toLower());
}
