#pragma once

#include <QStringList>

#include <functional>

// The system's list of serial devices, as the device paths that count as
// callout devices on this platform (the ones a programmer can open).
class SerialRegistry {
public:
    virtual ~SerialRegistry() = default;
    // In the registry's own order; may hold duplicates; never fails.
    virtual QStringList calloutDevicePaths() = 0;

    // `handler` is called on the main thread when such a device may have
    // come or gone. A registry that can't tell never calls it.
    virtual void setChangeHandler(std::function<void()> handler) { (void)handler; }
};
