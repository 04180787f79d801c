#pragma once

#include <QMetaType>
#include <QString>

#include <array>

// Which of the device's two firmware images an upload writes.
enum class FirmwareTarget { usbFirmware, coreFirmware };
Q_DECLARE_METATYPE(FirmwareTarget)

inline constexpr std::array<FirmwareTarget, 2> allFirmwareTargets{
    FirmwareTarget::usbFirmware, FirmwareTarget::coreFirmware};

// "USB Firmware (.uf2)" / "Core Firmware (.hex)".
QString label(FirmwareTarget target);
// The file name extension without the dot: "uf2" / "hex".
QString fileExtension(FirmwareTarget target);
