#include "usb/alsamidiservice.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// alsa-lib prints its errors to stderr by default; failures here are
// reported through return values instead.
void ignoreAlsaError(const char *, int, const char *, int, const char *, ...) {}

// How long the kernel may refuse room for the message before the send
// counts as failed.
constexpr auto drainLimit = std::chrono::milliseconds(1000);

// A client or a port started, exited or changed: six event types in a row.
bool isSetupChange(const snd_seq_event_t &event)
{
    return event.type >= SND_SEQ_EVENT_CLIENT_START && event.type <= SND_SEQ_EVENT_PORT_CHANGE;
}

} // namespace

// The service's one thread: a send may wait for room in the kernel's pool,
// which must not hold up the caller, and announcements are read here. The
// handle is non-blocking, so no job runs longer than drainLimit, and
// stopping needs no more than waiting for the job at hand.
class AlsaMidiService::Worker {
public:
    Worker() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), thread_([this] { run(); }) {}
    ~Worker()
    {
        stop();
        if (wakeFd_ >= 0)
            ::close(wakeFd_);
    }

    // Jobs run one at a time, in posting order.
    void post(std::function<void()> job)
    {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            jobs_.push_back(std::move(job));
        }
        wake();
    }

    // Between jobs, waits for input on `fds` too and then calls `onInput`.
    void watch(std::vector<pollfd> fds, std::function<void()> onInput)
    {
        {
            std::lock_guard lock(mutex_);
            watched_ = std::move(fds);
            onInput_ = std::move(onInput);
        }
        wake();
    }

    // Returns once the thread has ended, within drainLimit. Sends still
    // queued are dropped: to their callers they failed.
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            jobs_.clear();
        }
        wake();
        if (thread_.joinable())
            thread_.join();
    }

private:
    void wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }

    void run()
    {
        for (;;) {
            std::function<void()> job;
            std::vector<pollfd> fds;
            std::function<void()> onInput;
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    return;
                if (!jobs_.empty()) {
                    job = std::move(jobs_.front());
                    jobs_.pop_front();
                } else {
                    fds = watched_;
                    onInput = onInput_;
                }
            }
            if (job) {
                job();
                continue;
            }
            // Nothing queued: sleep until a post, a stop or watched input
            // (without the wake-up descriptor, look again every 50 ms).
            fds.push_back({wakeFd_, POLLIN, 0});
            if (::poll(fds.data(), nfds_t(fds.size()), wakeFd_ >= 0 ? -1 : 50) <= 0)
                continue;
            std::uint64_t count;
            while (::read(wakeFd_, &count, sizeof count) > 0) {
            }
            const bool input =
                std::any_of(fds.begin(), fds.end() - 1, [](const pollfd &fd) { return fd.revents != 0; });
            if (input && onInput)
                onInput();
        }
    }

    std::mutex mutex_;
    std::deque<std::function<void()>> jobs_;
    std::vector<pollfd> watched_;
    std::function<void()> onInput_;
    bool stopping_ = false;
    const int wakeFd_;
    std::thread thread_;
};

std::shared_ptr<AlsaMidiService> AlsaMidiService::create()
{
    snd_lib_error_set_handler(ignoreAlsaError);
    snd_seq_t *handle = nullptr;
    // Non-blocking, so a full kernel pool fails a send instead of holding the
    // handle (and with it every other call) indefinitely.
    if (snd_seq_open(&handle, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
        return nullptr;
    return std::shared_ptr<AlsaMidiService>(new AlsaMidiService(handle));
}

AlsaMidiService::AlsaMidiService(snd_seq_t *handle) : seq_(handle), worker_(std::make_unique<Worker>()) {}

AlsaMidiService::~AlsaMidiService()
{
    worker_->stop();
    snd_seq_close(seq_);
}

std::uint32_t AlsaMidiService::createClient(const QString &name)
{
    std::lock_guard lock(mutex_);
    if (snd_seq_set_client_name(seq_, name.toUtf8().constData()) < 0)
        return 0;
    const int id = snd_seq_client_id(seq_);
    return id > 0 ? std::uint32_t(id) : 0;
}

int AlsaMidiService::destinationCount()
{
    std::lock_guard lock(mutex_);
    destinations_.clear();
    const int self = snd_seq_client_id(seq_);

    snd_seq_client_info_t *client;
    snd_seq_port_info_t *port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq_, client) >= 0) {
        const int id = snd_seq_client_info_get_client(client);
        if (id == SND_SEQ_CLIENT_SYSTEM || id == self)
            continue;
        // A kernel client without a sound card is no device: "Midi Through"
        // is on every desktop, and picked first it would hide that no
        // USB MIDI device is there.
        if (snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT && snd_seq_client_info_get_card(client) < 0)
            continue;
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq_, port) >= 0) {
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
    std::lock_guard lock(mutex_);
    return index >= 0 && index < int(destinations_.size()) ? destinations_[std::size_t(index)] : 0;
}

std::optional<QString> AlsaMidiService::stringProperty(std::uint32_t endpoint, MidiProperty key)
{
    if (endpoint == 0)
        return std::nullopt;
    std::lock_guard lock(mutex_);
    if (key == MidiProperty::displayName) {
        snd_seq_port_info_t *port;
        snd_seq_port_info_alloca(&port);
        if (snd_seq_get_any_port_info(seq_, clientOf(endpoint), portOf(endpoint), port) < 0)
            return std::nullopt;
        return QString::fromUtf8(snd_seq_port_info_get_name(port));
    }
    snd_seq_client_info_t *client;
    snd_seq_client_info_alloca(&client);
    if (snd_seq_get_any_client_info(seq_, clientOf(endpoint), client) < 0)
        return std::nullopt;
    return QString::fromUtf8(snd_seq_client_info_get_name(client));
}

void AlsaMidiService::sendSysex(std::shared_ptr<SysexRequest> request)
{
    if (!request || request->destination == 0 || request->data.empty())
        return;
    // The job owns the request, so its bytes outlive a caller that stopped waiting.
    worker_->post([this, request] { deliver(*request); });
}

void AlsaMidiService::deliver(SysexRequest &request)
{
    std::lock_guard lock(mutex_);
    if (outputPort_ < 0) {
        outputPort_ = snd_seq_create_simple_port(seq_, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                                 SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (outputPort_ < 0)
            return;
    }
    const int client = clientOf(request.destination);
    const int port = portOf(request.destination);

    // A USB MIDI device's port opens its output only while someone is
    // subscribed to it, and refuses events otherwise: subscribe for the send.
    // A subscription of ours already there (left over) serves as well.
    const int subscribed = snd_seq_connect_to(seq_, outputPort_, client, port);
    if (subscribed < 0 && subscribed != -EBUSY)
        return;
    const bool written = writeAndDrain(request, client, port);
    // Unsubscribing closes the port's output once we were its only
    // subscriber, which drains the bytes onto the cable first.
    const bool unsubscribed = snd_seq_disconnect_to(seq_, outputPort_, client, port) == 0;
    // The device restarts the moment it has the update command, and its
    // port may be gone before we get to unsubscribe: the kernel took our
    // subscription with it and the unsubscribe fails, though the bytes went
    // out. Whether the device really got them shows next (its boot drive).
    if (written && (unsubscribed || !portExists(client, port)))
        request.complete = true;
}

bool AlsaMidiService::portExists(int client, int port)
{
    snd_seq_port_info_t *info;
    snd_seq_port_info_alloca(&info);
    return snd_seq_get_any_port_info(seq_, client, port, info) >= 0;
}

bool AlsaMidiService::writeAndDrain(SysexRequest &request, int client, int port)
{
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_source(&event, outputPort_);
    snd_seq_ev_set_dest(&event, client, port);
    snd_seq_ev_set_direct(&event);
    snd_seq_ev_set_sysex(&event, unsigned(request.data.size()), request.data.data());
    if (snd_seq_event_output(seq_, &event) < 0) {
        snd_seq_drop_output(seq_);
        return false;
    }

    // The kernel takes a short message at once; when its pool is full, wait
    // for room, but not for ever.
    const auto deadline = std::chrono::steady_clock::now() + drainLimit;
    int left = snd_seq_drain_output(seq_);
    while (left > 0 || left == -EAGAIN) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0)
            break;
        pollfd fds[4];
        const int count = snd_seq_poll_descriptors(seq_, fds, 4, POLLOUT);
        ::poll(fds, nfds_t(count), int(remaining.count()));
        left = snd_seq_drain_output(seq_);
    }
    if (left != 0) {
        // Drop what is left so it can't go out in front of a later send.
        snd_seq_drop_output(seq_);
        return false;
    }
    return true;
}

void AlsaMidiService::setChangeHandler(std::function<void()> handler)
{
    std::vector<pollfd> fds;
    {
        std::lock_guard lock(mutex_);
        changeHandler_ = std::move(handler);
        if (announcePort_ >= 0)
            return;
        // The system's announce port tells of every client and port that
        // comes or goes. Ours receives it and is offered to nobody.
        announcePort_ = snd_seq_create_simple_port(seq_, "announce",
                                                   SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                   SND_SEQ_PORT_TYPE_APPLICATION);
        if (announcePort_ < 0
            || snd_seq_connect_from(seq_, announcePort_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0)
            return;
        fds.resize(std::size_t(snd_seq_poll_descriptors_count(seq_, POLLIN)));
        fds.resize(std::size_t(snd_seq_poll_descriptors(seq_, fds.data(), unsigned(fds.size()), POLLIN)));
    }
    worker_->watch(std::move(fds), [this] { readAnnouncements(); });
}

void AlsaMidiService::readAnnouncements()
{
    bool changed = false;
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        snd_seq_event_t *event = nullptr;
        int result;
        while ((result = snd_seq_event_input(seq_, &event)) >= 0 && event != nullptr)
            changed = changed || isSetupChange(*event);
        // An overrun lost announcements: something may have changed.
        changed = changed || result == -ENOSPC;
        handler = changeHandler_;
    }
    if (changed && handler)
        handler();
}
