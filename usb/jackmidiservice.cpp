#include "usb/jackmidiservice.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <semaphore>
#include <string>
#include <thread>
#include <utility>

using namespace std::chrono_literals;

namespace {

// libjack prints to stderr and stdout by default, even when there is simply
// no server; every failure here is reported through return values instead.
void ignoreJackMessage(const char *) {}

// How long a caller waits for the worker to open a client. A frozen server
// never answers, and a caller must not hang with it.
constexpr auto serverWait = 2000ms;
// How long a send waits for the cycles that carry its bytes; one takes ~5 ms.
constexpr auto cycleWait = 2000ms;
// How long after writing the bytes an xrun still counts against them. The
// server reports an xrun through another thread, a little after the cycle
// that missed its deadline.
constexpr jack_time_t xrunWindowUsecs = 20000;

// Where a send's bytes are between the worker and the process callback.
// `busy` means the callback is working on the hand-off.
enum class Stage { idle, queued, busy, written, done, failed };

} // namespace

// The change handler, shared with the clients, whose callbacks come from
// libjack's threads.
struct JackMidiService::Notices {
    std::mutex mutex;
    std::function<void()> handler;

    void notify()
    {
        std::function<void()> call;
        {
            std::lock_guard lock(mutex);
            call = handler;
        }
        if (call)
            call();
    }
};

// One open JACK client. Made, used for sends and closed on the worker only.
struct JackMidiService::Client {
    // Clients of this process whose server went away and that are not yet
    // closed. libjack deletes every client of the process on the next
    // jack_client_open after a server went away, so while this is non-zero
    // nothing may be opened: a later close of a deleted client would crash.
    static inline std::atomic<int> awaitingClose{0};

    jack_client_t *handle = nullptr;
    std::shared_ptr<Notices> notices;
    // The server shut down or dropped us; set from libjack's own thread.
    std::atomic<bool> gone{false};
    // The service is going: a send under way gives up.
    std::atomic<bool> abandoned{false};
    std::atomic<jack_port_t *> output{nullptr};
    std::atomic<unsigned> xruns{0};

    // The hand-off. The worker fills the fields and then sets `stage` to
    // queued; from then until it takes the stage back to idle only the
    // process callback touches them.
    std::atomic<Stage> stage{Stage::idle};
    std::string target;
    const std::uint8_t *bytes = nullptr;
    std::size_t size = 0;
    std::atomic<bool> *complete = nullptr;
    unsigned xrunsAtWrite = 0;
    jack_time_t writtenAt = 0;
    // Released by the callback, a shutdown or abandon(): the worker looks again.
    std::counting_semaphore<> progress{0};

    static std::unique_ptr<Client> open(const QByteArray &name, const QByteArray &server,
                                        std::shared_ptr<Notices> notices);
    ~Client();

    void send(SysexRequest &request, const std::string &destination);
    void takeBack();
    void abandon()
    {
        abandoned = true;
        progress.release();
    }

    static int process(jack_nframes_t frames, void *arg);
    static int xrun(void *arg);
    static void shutdown(void *arg);
    static void portRegistered(jack_port_id_t, int, void *arg);
};

std::unique_ptr<JackMidiService::Client> JackMidiService::Client::open(const QByteArray &name,
                                                                       const QByteArray &server,
                                                                       std::shared_ptr<Notices> notices)
{
    int options = JackNoStartServer;
    if (!server.isEmpty())
        options |= JackServerName;
    jack_status_t status;
    jack_client_t *handle =
        jack_client_open(name.constData(), jack_options_t(options), &status, server.constData());
    if (handle == nullptr)
        return nullptr;
    auto client = std::make_unique<Client>();
    client->handle = handle;
    client->notices = std::move(notices);
    jack_set_process_callback(handle, &Client::process, client.get());
    jack_set_xrun_callback(handle, &Client::xrun, client.get());
    jack_set_port_registration_callback(handle, &Client::portRegistered, client.get());
    jack_on_shutdown(handle, &Client::shutdown, client.get());
    if (jack_activate(handle) != 0)
        return nullptr;
    return client;
}

JackMidiService::Client::~Client()
{
    // Stops the callbacks before the members they use go away.
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
    if (!client->gone.exchange(true)) {
        ++awaitingClose;
        client->notices->notify();
    }
    client->progress.release();
}

void JackMidiService::Client::portRegistered(jack_port_id_t, int, void *arg)
{
    static_cast<Client *>(arg)->notices->notify();
}

void JackMidiService::Client::send(SysexRequest &request, const std::string &destination)
{
    if (gone || abandoned)
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
        if (now == Stage::done || now == Stage::failed || gone || abandoned)
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
    : serverName_(std::move(serverName)), notices_(std::make_shared<Notices>())
{
    jack_set_error_function(ignoreJackMessage);
    jack_set_info_function(ignoreJackMessage);
    // libjack writes to its server's socket without MSG_NOSIGNAL: a server
    // that goes away in the middle would end the whole program with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
}

JackMidiService::~JackMidiService()
{
    std::shared_ptr<Client> client;
    {
        std::lock_guard lock(mutex_);
        client = std::move(client_);
    }
    if (client)
        client->abandon();
    // Queues the close, which the worker runs before it ends.
    client.reset();
    worker_.stop();
}

std::shared_ptr<JackMidiService::Client> JackMidiService::liveClient()
{
    std::shared_ptr<Client> dead;
    std::unique_lock lock(mutex_);
    if (client_ && !client_->gone)
        return client_;
    dead = std::move(client_);
    if (clientName_.isEmpty())
        return nullptr;
    // Only the call that asks for an open waits for it: while a frozen
    // server holds one up, later calls answer at once.
    const bool asking = !openPending_;
    if (asking) {
        openPending_ = true;
        lock.unlock();
        // Its close is queued before the open.
        dead.reset();
        worker_.post([this] { open(); });
        lock.lock();
        openFinished_.wait_for(lock, serverWait, [this] { return !openPending_; });
    }
    return client_ && !client_->gone ? client_ : nullptr;
}

void JackMidiService::open()
{
    QByteArray name;
    {
        std::lock_guard lock(mutex_);
        name = clientName_.toUtf8();
    }
    // Closing asks the server, so it happens here, on the worker, and a
    // client dropped on this thread closes at once.
    ServiceWorker *worker = &worker_;
    auto closeOnWorker = [worker](Client *client) {
        if (worker->isCurrentThread())
            delete client;
        else
            worker->post([client] { delete client; });
    };
    std::shared_ptr<Client> fresh;
    if (!worker_.stopping() && Client::awaitingClose == 0) {
        if (std::unique_ptr<Client> opened = Client::open(name, serverName_.toUtf8(), notices_))
            fresh = std::shared_ptr<Client>(opened.release(), closeOnWorker);
    }
    if (fresh && (fresh->gone || worker_.stopping()))
        fresh.reset();

    std::shared_ptr<Client> old;
    {
        std::lock_guard lock(mutex_);
        if (fresh) {
            old = std::exchange(client_, fresh);
            ++clientHandle_;
        }
        openPending_ = false;
    }
    openFinished_.notify_all();
    // A server that came (back) may bring destinations with it.
    if (fresh)
        notices_->notify();
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
    return endpointAt(destinations_, index);
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
    // The job owns the client and the request for as long as it needs them.
    worker_.post([client, request, target] { client->send(*request, target); });
}

void JackMidiService::setChangeHandler(std::function<void()> handler)
{
    std::lock_guard lock(notices_->mutex);
    notices_->handler = std::move(handler);
}
