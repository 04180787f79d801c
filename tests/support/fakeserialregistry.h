#pragma once

#include "core/serialregistry.h"

// Lists whatever paths the test gives it, in that order; notify() plays a
// device that came or went.
class FakeSerialRegistry : public SerialRegistry {
public:
    explicit FakeSerialRegistry(QStringList paths = {}) : paths(std::move(paths)) {}
    QStringList calloutDevicePaths() override { return paths; }
    void setChangeHandler(std::function<void()> handler) override { m_handler = std::move(handler); }
    void notify()
    {
        if (m_handler)
            m_handler();
    }
    QStringList paths;

private:
    std::function<void()> m_handler;
};
