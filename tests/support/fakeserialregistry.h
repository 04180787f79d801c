#pragma once

#include "core/serialregistry.h"

// Lists whatever paths the test gives it, in that order.
class FakeSerialRegistry : public SerialRegistry {
public:
    explicit FakeSerialRegistry(QStringList paths = {}) : paths(std::move(paths)) {}
    QStringList calloutDevicePaths() override { return paths; }
    QStringList paths;
};
