#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>

// The device's MIDI side: a JACK client with one MIDI input port. The process
// callback only copies events into a ring buffer; they are handed out on the
// Qt thread, where printing and allocating are fine.
class JackInput : public QObject {
    Q_OBJECT
public:
    explicit JackInput(QObject *parent = nullptr);
    ~JackInput() override;

    // Registers the port and activates; false (with `error`) without a server.
    bool open(const QString &server, const QString &clientName, const QString &portName, QString *error);
    // Leaves the JACK graph, as the device does when it reboots.
    void close();

signals:
    void received(const QByteArray &message);
    void serverGone();

private:
    static int process(jack_nframes_t frames, void *arg);
    static void shutdown(void *arg);
    void deliver();

    jack_client_t *client_ = nullptr;
    jack_port_t *port_ = nullptr;
    jack_ringbuffer_t *ring_ = nullptr;
    std::atomic<bool> gone_{false};
    std::atomic<unsigned> dropped_{0};
    QTimer poll_;
};
