#include "usb/alsamidiservice.h"

#include <alsa/asoundlib.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace {

// alsa-lib prints its errors to stderr by default; failures here are
// reported through return values instead.
void ignoreAlsaError(const char *, int, const char *, int, const char *, ...) {}

} // namespace

struct AlsaMidiService::Sequencer {
    snd_seq_t *handle = nullptr;
    // The handle is used by the caller's thread and the send threads.
    std::mutex mutex;
    int outputPort = -1;

    ~Sequencer() { snd_seq_close(handle); }
};

std::shared_ptr<AlsaMidiService> AlsaMidiService::create()
{
    snd_lib_error_set_handler(ignoreAlsaError);
    snd_seq_t *handle = nullptr;
    // Non-blocking, so a full kernel pool fails a send instead of holding the
    // handle (and with it every other call) indefinitely.
    if (snd_seq_open(&handle, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
        return nullptr;
    auto sequencer = std::make_shared<Sequencer>();
    sequencer->handle = handle;
    return std::shared_ptr<AlsaMidiService>(new AlsaMidiService(std::move(sequencer)));
}

AlsaMidiService::AlsaMidiService(std::shared_ptr<Sequencer> sequencer)
    : sequencer_(std::move(sequencer))
{
}

AlsaMidiService::~AlsaMidiService() = default;

std::uint32_t AlsaMidiService::createClient(const QString &name)
{
    std::lock_guard lock(sequencer_->mutex);
    if (snd_seq_set_client_name(sequencer_->handle, name.toUtf8().constData()) < 0)
        return 0;
    const int id = snd_seq_client_id(sequencer_->handle);
    return id > 0 ? std::uint32_t(id) : 0;
}

int AlsaMidiService::destinationCount()
{
    std::lock_guard lock(sequencer_->mutex);
    destinations_.clear();
    snd_seq_t *seq = sequencer_->handle;
    const int self = snd_seq_client_id(seq);

    snd_seq_client_info_t *client;
    snd_seq_port_info_t *port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        const int id = snd_seq_client_info_get_client(client);
        if (id == SND_SEQ_CLIENT_SYSTEM || id == self)
            continue;
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            const unsigned caps = snd_seq_port_info_get_capability(port);
            constexpr unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
            if ((caps & writable) != writable || (caps & SND_SEQ_PORT_CAP_NO_EXPORT))
                continue;
            destinations_.push_back(endpoint(id, snd_seq_port_info_get_port(port)));
        }
    }
    return int(destinations_.size());
}

std::uint32_t AlsaMidiService::destination(int index)
{
    std::lock_guard lock(sequencer_->mutex);
    if (index < 0 || index >= int(destinations_.size()))
        return 0;
    return destinations_[std::size_t(index)];
}

std::optional<QString> AlsaMidiService::stringProperty(std::uint32_t endpoint, MidiProperty key)
{
    if (endpoint == 0)
        return std::nullopt;
    std::lock_guard lock(sequencer_->mutex);
    snd_seq_t *seq = sequencer_->handle;
    if (key == MidiProperty::displayName) {
        snd_seq_port_info_t *port;
        snd_seq_port_info_alloca(&port);
        if (snd_seq_get_any_port_info(seq, clientOf(endpoint), portOf(endpoint), port) < 0)
            return std::nullopt;
        return QString::fromUtf8(snd_seq_port_info_get_name(port));
    }
    snd_seq_client_info_t *client;
    snd_seq_client_info_alloca(&client);
    if (snd_seq_get_any_client_info(seq, clientOf(endpoint), client) < 0)
        return std::nullopt;
    return QString::fromUtf8(snd_seq_client_info_get_name(client));
}

void AlsaMidiService::sendSysex(std::shared_ptr<SysexRequest> request)
{
    if (!request || request->destination == 0 || request->data.empty())
        return;
    // The thread owns the sequencer and the request, so neither goes away
    // under it if the service or the caller does.
    std::thread([sequencer = sequencer_, request] {
        std::unique_lock lock(sequencer->mutex);
        snd_seq_t *seq = sequencer->handle;
        if (sequencer->outputPort < 0) {
            sequencer->outputPort = snd_seq_create_simple_port(
                seq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
            if (sequencer->outputPort < 0)
                return;
        }

        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, sequencer->outputPort);
        snd_seq_ev_set_dest(&event, clientOf(request->destination), portOf(request->destination));
        snd_seq_ev_set_direct(&event);
        snd_seq_ev_set_sysex(&event, unsigned(request->data.size()), request->data.data());
        if (snd_seq_event_output(seq, &event) < 0) {
            snd_seq_drop_output(seq);
            return;
        }

        // The kernel takes a short message at once; a pool that stays full
        // for a second means the send failed.
        int left = snd_seq_drain_output(seq);
        for (int attempt = 0; left == -EAGAIN && attempt < 100; ++attempt) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            lock.lock();
            left = snd_seq_drain_output(seq);
        }
        if (left != 0) {
            // Drop what is left so it can't go out in front of a later send.
            snd_seq_drop_output(seq);
            return;
        }
        request->complete = true;
    }).detach();
}
