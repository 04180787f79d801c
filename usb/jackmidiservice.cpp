#include "usb/jackmidiservice.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <semaphore>
#include <string>
#include <thread>
#include <utility>

using namespace std::chrono_literals;

namespace {

// libjack prints to stderr and stdout by default, even when there is simply
// no server; every failure here is reported through return values instead.
void ignoreJackMessage(const char *) {}

// How long a caller waits for a server round trip (open, close). A frozen
// server never answers, and a caller must not hang with it.
constexpr auto serverWait = 2000ms;
// How long a send waits for the cycles that carry its bytes; one takes ~5 ms.
constexpr auto cycleWait = 2000ms;
// How long after writing the bytes an xrun still counts against them. The
// server reports an xrun through another thread, a little after the cycle
// that missed its deadline.
constexpr jack_time_t xrunWindowUsecs = 20000;

// Runs `work` on a thread of its own and waits for it at most `limit`. Work
// that outlasts the limit carries on alone, so it must own what it uses.
bool finishesWithin(std::chrono::milliseconds limit, std::function<void()> work)
{
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> done = finished->get_future();
    std::thread([work = std::move(work), finished] {
        work();
        finished->set_value();
    }).detach();
    return done.wait_for(limit) == std::future_status::ready;
}

// Drops `object` on another thread. When that was the last reference to a
// client, the client closes, which asks the server: the wait is bounded.
template <typename T>
void release(std::shared_ptr<T> object)
{
    if (object)
        finishesWithin(serverWait, [object = std::move(object)]() mutable { object.reset(); });
}

// Where a send's bytes are between the sending thread and the process
// callback. `busy` means the callback is working on the hand-off.
enum class Stage { idle, queued, busy, written, done, failed };

} // namespace

// One open JACK client. Shared by the service and the send threads; whoever
// lets go last closes it.
struct JackMidiService::Client {
    // Clients of this process whose server went away and that are not yet
    // closed. libjack deletes every client of the process on the next
    // jack_client_open after a server went away, so while this is non-zero
    // nothing may be opened: a later close of a deleted client would crash.
    static inline std::atomic<int> awaitingClose{0};

    jack_client_t *handle = nullptr;
    // The server shut down or dropped us; set from libjack's own thread.
    std::atomic<bool> gone{false};
    std::atomic<jack_port_t *> output{nullptr};
    std::atomic<unsigned> xruns{0};

    // There is one output port and one hand-off, so one send at a time. A
    // send held up by a frozen server keeps this; later ones wait behind it
    // and, like it, never complete.
    std::mutex sendMutex;

    // The hand-off. The sender fills the fields and then sets `stage` to
    // queued; from then until it takes the stage back to idle only the
    // process callback touches them.
    std::atomic<Stage> stage{Stage::idle};
    std::string target;
    const std::uint8_t *bytes = nullptr;
    std::size_t size = 0;
    std::atomic<bool> *complete = nullptr;
    unsigned xrunsAtWrite = 0;
    jack_time_t writtenAt = 0;
    std::counting_semaphore<> progress{0};

    static std::shared_ptr<Client> open(const QByteArray &name, const QByteArray &server);
    ~Client();

    void send(SysexRequest &request, const std::string &destination);
    void takeBack();

    static int process(jack_nframes_t frames, void *arg);
    static int xrun(void *arg);
    static void shutdown(void *arg);
};

struct JackMidiService::Opening {
    std::mutex mutex;
    bool finished = false;
    std::shared_ptr<Client> client;
};

std::shared_ptr<JackMidiService::Client> JackMidiService::Client::open(const QByteArray &name,
                                                                       const QByteArray &server)
{
    int options = JackNoStartServer;
    if (!server.isEmpty())
        options |= JackServerName;
    jack_status_t status;
    jack_client_t *handle =
        jack_client_open(name.constData(), jack_options_t(options), &status, server.constData());
    if (handle == nullptr)
        return nullptr;
    auto client = std::make_shared<Client>();
    client->handle = handle;
    jack_set_process_callback(handle, &Client::process, client.get());
    jack_set_xrun_callback(handle, &Client::xrun, client.get());
    jack_on_shutdown(handle, &Client::shutdown, client.get());
    if (jack_activate(handle) != 0)
        return nullptr;
    return client;
}

JackMidiService::Client::~Client()
{
    // Stops the process callback before the members it uses go away.
    jack_client_close(handle);
    if (gone)
        --awaitingClose;
}

int JackMidiService::Client::process(jack_nframes_t frames, void *arg)
{
    auto *client = static_cast<Client *>(arg);
    jack_port_t *port = client->output.load(std::memory_order_acquire);
    if (port == nullptr)
        return 0;
    void *buffer = jack_port_get_buffer(port, frames);
    // An output buffer keeps the last cycle's events until it is cleared.
    jack_midi_clear_buffer(buffer);

    Stage stage = client->stage.load(std::memory_order_acquire);
    if ((stage != Stage::queued && stage != Stage::written)
        || !client->stage.compare_exchange_strong(stage, Stage::busy))
        return 0;
    Stage next = stage;
    if (stage == Stage::written) {
        // In an xrun a late reader may have found the buffer already cleared
        // by the next cycle: whether the bytes got out is unknown, so the
        // send fails. Without one, the cycle that carried them has finished.
        if (client->xruns != client->xrunsAtWrite)
            next = Stage::failed;
        else if (jack_get_time() - client->writtenAt >= xrunWindowUsecs)
            next = Stage::done;
        if (next == Stage::done)
            client->complete->store(true);
    } else if (jack_port_connected_to(port, client->target.c_str())) {
        // Only once the connection is in this cycle's graph: bytes written
        // before would go nowhere. (This reads the shared graph, no locks.)
        client->xrunsAtWrite = client->xruns;
        client->writtenAt = jack_get_time();
        next = jack_midi_event_write(buffer, 0, client->bytes, client->size) == 0 ? Stage::written
                                                                                 : Stage::failed;
    }
    client->stage.store(next, std::memory_order_release);
    if (next == Stage::done || next == Stage::failed)
        client->progress.release();
    return 0;
}

int JackMidiService::Client::xrun(void *arg)
{
    ++static_cast<Client *>(arg)->xruns;
    return 0;
}

void JackMidiService::Client::shutdown(void *arg)
{
    // Closing is not allowed here; the service notices `gone` and reopens.
    // libjack may call this from two of its threads.
    auto *client = static_cast<Client *>(arg);
    if (!client->gone.exchange(true))
        ++awaitingClose;
    client->progress.release();
}

void JackMidiService::Client::send(SysexRequest &request, const std::string &destination)
{
    std::lock_guard lock(sendMutex);
    if (gone)
        return;
    jack_port_t *port = output.load();
    if (port == nullptr) {
        port = jack_port_register(handle, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (port == nullptr)
            return;
        output.store(port, std::memory_order_release);
    }
    const char *own = jack_port_name(port);
    const int connected = jack_connect(handle, own, destination.c_str());
    if (connected != 0 && connected != EEXIST)
        return; // the destination is gone

    while (progress.try_acquire()) {
    }
    target = destination;
    bytes = request.data.data();
    size = request.data.size();
    complete = &request.complete;
    stage.store(Stage::queued, std::memory_order_release);

    const auto deadline = std::chrono::steady_clock::now() + cycleWait;
    for (;;) {
        const Stage now = stage.load(std::memory_order_acquire);
        if (now == Stage::done || now == Stage::failed || gone)
            break;
        if (!progress.try_acquire_until(deadline))
            break;
    }
    takeBack();
    jack_disconnect(handle, own, destination.c_str());
}

void JackMidiService::Client::takeBack()
{
    // The callback may be in the middle of a step; it never blocks, so this
    // spins for microseconds at most.
    for (;;) {
        Stage now = stage.load(std::memory_order_acquire);
        if (now == Stage::busy) {
            std::this_thread::yield();
            continue;
        }
        if (stage.compare_exchange_weak(now, Stage::idle))
            return;
    }
}

JackMidiService::JackMidiService(QString serverName)
    : serverName_(std::move(serverName))
{
    jack_set_error_function(ignoreJackMessage);
    jack_set_info_function(ignoreJackMessage);
    // libjack writes to its server's socket without MSG_NOSIGNAL: a server
    // that goes away in the middle would end the whole program with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
}

JackMidiService::~JackMidiService()
{
    release(std::move(opening_));
    release(std::move(client_));
}

std::shared_ptr<JackMidiService::Client> JackMidiService::liveClient()
{
    QByteArray name;
    std::shared_ptr<Client> dead;
    {
        std::lock_guard lock(mutex_);
        if (client_ && !client_->gone)
            return client_;
        dead = std::move(client_);
        name = clientName_.toUtf8();
    }
    // Closed here unless a send thread still holds it; then that thread
    // closes it when its send fails, which takes moments once the server is gone.
    release(std::move(dead));
    if (name.isEmpty() || Client::awaitingClose > 0)
        return nullptr;

    std::lock_guard openLock(openMutex_);
    if (!opening_) {
        auto opening = std::make_shared<Opening>();
        opening_ = opening;
        // Opening never returns while the server is frozen; the thread owns
        // `opening`, so an open we stopped waiting for is picked up later.
        finishesWithin(serverWait, [opening, name, server = serverName_.toUtf8()] {
            std::shared_ptr<Client> client = Client::open(name, server);
            std::lock_guard lock(opening->mutex);
            opening->client = std::move(client);
            opening->finished = true;
        });
    }
    std::shared_ptr<Client> fresh;
    {
        std::lock_guard lock(opening_->mutex);
        if (!opening_->finished)
            return nullptr;
        fresh = std::move(opening_->client);
    }
    opening_.reset();
    if (fresh && fresh->gone)
        release(std::move(fresh));
    if (!fresh)
        return nullptr;

    std::shared_ptr<Client> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(client_, fresh);
        ++clientHandle_;
    }
    release(std::move(old));
    return fresh;
}

std::uint32_t JackMidiService::createClient(const QString &name)
{
    {
        std::lock_guard lock(mutex_);
        clientName_ = name;
    }
    if (!liveClient())
        return 0;
    std::lock_guard lock(mutex_);
    return clientHandle_;
}

int JackMidiService::destinationCount()
{
    std::shared_ptr<Client> client = liveClient();
    std::lock_guard lock(mutex_);
    destinations_.clear();
    if (!client)
        return 0;
    // Reads the server's shared graph without a round trip, so a frozen
    // server can't hold this.
    const char **ports = jack_get_ports(client->handle, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    if (ports == nullptr)
        return 0;
    const QString own = QString::fromUtf8(jack_get_client_name(client->handle)) + QLatin1Char(':');
    for (const char **port = ports; *port != nullptr; ++port) {
        const QString name = QString::fromUtf8(*port);
        if (!name.startsWith(own))
            destinations_.push_back(endpointFor(name));
    }
    jack_free(ports);
    return int(destinations_.size());
}

std::uint32_t JackMidiService::endpointFor(const QString &portName)
{
    if (auto found = endpoints_.constFind(portName); found != endpoints_.constEnd())
        return *found;
    portNames_.append(portName);
    const auto endpoint = std::uint32_t(portNames_.size());
    endpoints_.insert(portName, endpoint);
    return endpoint;
}

std::uint32_t JackMidiService::destination(int index)
{
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= int(destinations_.size()))
        return 0;
    return destinations_[std::size_t(index)];
}

std::optional<QString> JackMidiService::stringProperty(std::uint32_t endpoint, MidiProperty key)
{
    std::lock_guard lock(mutex_);
    if (endpoint == 0 || endpoint > std::uint32_t(portNames_.size()))
        return std::nullopt;
    const QString &full = portNames_[qsizetype(endpoint - 1)];
    if (key == MidiProperty::displayName)
        return full;
    // JACK names a port "client:port"; the short name follows the first colon.
    return full.mid(full.indexOf(QLatin1Char(':')) + 1);
}

void JackMidiService::sendSysex(std::shared_ptr<SysexRequest> request)
{
    if (!request || request->data.empty())
        return;
    std::shared_ptr<Client> client;
    std::string target;
    {
        std::lock_guard lock(mutex_);
        const std::uint32_t endpoint = request->destination;
        if (!client_ || client_->gone || endpoint == 0 || endpoint > std::uint32_t(portNames_.size()))
            return;
        client = client_;
        target = portNames_[qsizetype(endpoint - 1)].toStdString();
    }
    // jack_connect waits for the server, which may never answer. The thread
    // owns the client and the request for as long as it needs them.
    std::thread([client, request, target] { client->send(*request, target); }).detach();
}
