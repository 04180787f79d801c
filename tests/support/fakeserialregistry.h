#pragma once

#include "core/serialregistry.h"

// Lists whatever paths the test gives it, in that order; notify() plays a
// device that came or went.
class FakeSerialRegistry : public SerialRegistry {
public:
    explicit FakeSerialRegistry(QStringList paths = {}) : paths(std::move(paths)) {}
    QStringList calloutDevicePaths() override { return paths; }
    void setChangeHandler(std::function<void()> handler) override { changeHandler = std::move(handler); }
    void notify() { changeHandler ? changeHandler() : void(); }
    QStringList paths;
    std::function<void()> changeHandler;
};
