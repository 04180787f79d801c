#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// One SysEx send. The service keeps its own reference until it is done with
// the bytes, so the caller may stop waiting (and drop its reference) at any time.
struct SysexRequest {
    std::uint32_t destination = 0;
    std::vector<std::uint8_t> data;
    // Set by the service, from any thread, once every byte has gone out.
    std::atomic<bool> complete{false};
};

enum class MidiProperty { displayName, name };

// The few things the updater needs from a MIDI system. Endpoint 0 means "none".
class MidiService {
public:
    virtual ~MidiService() = default;

    // Registers a client under `name` (change notices come through
    // setChangeHandler). Returns the client handle, or 0 when none could be registered.
    virtual std::uint32_t createClient(const QString &name) = 0;

    virtual int destinationCount() = 0;
    // The endpoint at `index` (from 0), or 0 when there is none.
    virtual std::uint32_t destination(int index) = 0;
    // A value (possibly empty) on success; nothing when the property can't be read.
    virtual std::optional<QString> stringProperty(std::uint32_t endpoint, MidiProperty key) = 0;

    // Queues the request and returns at once; sets request->complete when the
    // bytes are really out. A failed send simply never completes.
    virtual void sendSysex(std::shared_ptr<SysexRequest> request) = 0;

    // `handler` is called, from any thread, when destinations may have come
    // or gone. A service that can't tell never calls it.
    virtual void setChangeHandler(std::function<void()> handler) { (void)handler; }
};
