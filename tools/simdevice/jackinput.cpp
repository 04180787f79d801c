#include "jackinput.h"

#include <jack/midiport.h>

#include <cstdint>
#include <cstdio>

namespace {

// Enough for many SysEx messages between two polls.
constexpr std::size_t ringSize = 1 << 16;

void logJackMessage(const char *message)
{
    std::fprintf(stderr, "jack: %s\n", message);
}

} // namespace

JackInput::JackInput(QObject *parent)
    : QObject(parent)
{
    poll_.setInterval(2);
    connect(&poll_, &QTimer::timeout, this, &JackInput::deliver);
}

JackInput::~JackInput()
{
    close();
}

bool JackInput::open(const QString &server, const QString &clientName, const QString &portName,
                     QString *error)
{
    // stdout carries the protocol the tests read; libjack's chatter goes to stderr.
    jack_set_error_function(logJackMessage);
    jack_set_info_function(logJackMessage);

    int options = JackNoStartServer | JackUseExactName;
    const QByteArray serverName = server.toUtf8();
    if (!serverName.isEmpty())
        options |= JackServerName;
    jack_status_t status;
    client_ = jack_client_open(clientName.toUtf8().constData(), jack_options_t(options), &status,
                               serverName.constData());
    if (client_ == nullptr) {
        *error = QStringLiteral("cannot open JACK client (status 0x%1)").arg(unsigned(status), 0, 16);
        return false;
    }
    port_ = jack_port_register(client_, portName.toUtf8().constData(), JACK_DEFAULT_MIDI_TYPE,
                               JackPortIsInput, 0);
    ring_ = jack_ringbuffer_create(ringSize);
    if (port_ == nullptr || ring_ == nullptr) {
        *error = QStringLiteral("cannot register the MIDI port");
        close();
        return false;
    }
    jack_set_process_callback(client_, &JackInput::process, this);
    jack_on_shutdown(client_, &JackInput::shutdown, this);
    if (jack_activate(client_) != 0) {
        *error = QStringLiteral("cannot activate the JACK client");
        close();
        return false;
    }
    poll_.start();
    return true;
}

void JackInput::close()
{
    poll_.stop();
    if (client_ != nullptr) {
        jack_client_close(client_);
        client_ = nullptr;
        port_ = nullptr;
    }
    if (ring_ != nullptr) {
        jack_ringbuffer_free(ring_);
        ring_ = nullptr;
    }
}

int JackInput::process(jack_nframes_t frames, void *arg)
{
    auto *self = static_cast<JackInput *>(arg);
    void *buffer = jack_port_get_buffer(self->port_, frames);
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    for (std::uint32_t index = 0; index < count; ++index) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, index) != 0)
            continue;
        // Each message goes in as its length, then its bytes.
        const auto size = std::uint32_t(event.size);
        if (jack_ringbuffer_write_space(self->ring_) < sizeof size + size) {
            ++self->dropped_;
            continue;
        }
        jack_ringbuffer_write(self->ring_, reinterpret_cast<const char *>(&size), sizeof size);
        jack_ringbuffer_write(self->ring_, reinterpret_cast<const char *>(event.buffer), size);
    }
    return 0;
}

void JackInput::shutdown(void *arg)
{
    // Runs on libjack's thread, where closing is not allowed; deliver() acts on it.
    static_cast<JackInput *>(arg)->gone_ = true;
}

void JackInput::deliver()
{
    for (;;) {
        std::uint32_t size = 0;
        if (jack_ringbuffer_read_space(ring_) < sizeof size)
            break;
        jack_ringbuffer_peek(ring_, reinterpret_cast<char *>(&size), sizeof size);
        // The writer may have put the length in but not yet the bytes.
        if (jack_ringbuffer_read_space(ring_) < sizeof size + size)
            break;
        jack_ringbuffer_read_advance(ring_, sizeof size);
        QByteArray message(qsizetype(size), Qt::Uninitialized);
        jack_ringbuffer_read(ring_, message.data(), size);
        emit received(message);
        if (ring_ == nullptr)
            return; // a receiver closed us
    }
    if (const unsigned dropped = dropped_.exchange(0))
        std::fprintf(stderr, "dropped %u MIDI messages: ring buffer full\n", dropped);
    if (gone_.exchange(false)) {
        close();
        emit serverGone();
    }
}
