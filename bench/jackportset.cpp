#include "jackportset.h"

#include <jack/jack.h>

JackPortSet::~JackPortSet()
{
    close();
}

bool JackPortSet::open(const QString &serverName, const QString &clientName, int portCount)
{
    close();
    jack_status_t status;
    client_ = jack_client_open(clientName.toUtf8().constData(), jack_options_t(JackNoStartServer | JackServerName),
                               &status, serverName.toUtf8().constData());
    if (client_ == nullptr)
        return false;
    for (int i = 1; i <= portCount; ++i) {
        const QByteArray port = QStringLiteral("midi-in-%1").arg(i, 2, 10, QLatin1Char('0')).toUtf8();
        if (jack_port_register(client_, port.constData(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0) == nullptr)
            return false;
    }
    // Active like a real device's client; the ports need no process callback.
    return jack_activate(client_) == 0;
}

void JackPortSet::close()
{
    if (client_ != nullptr)
        jack_client_close(client_);
    client_ = nullptr;
}
