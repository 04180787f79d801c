#pragma once

#include <QStringList>

// The system's list of serial devices, as the device paths that count as
// callout devices on this platform (the ones a programmer can open).
class SerialRegistry {
public:
    virtual ~SerialRegistry() = default;
    // In the registry's own order; may hold duplicates; never fails.
    virtual QStringList calloutDevicePaths() = 0;
};
