#pragma once

#include <QString>

typedef struct _jack_client jack_client_t;

// One JACK client of the benchmark's own with a number of MIDI input
// ports, so a MIDI service sees that many real destinations.
class JackPortSet {
public:
    JackPortSet() = default;
    ~JackPortSet();
    JackPortSet(const JackPortSet &) = delete;
    JackPortSet &operator=(const JackPortSet &) = delete;

    // False when the client or any port could not be made.
    bool open(const QString &serverName, const QString &clientName, int portCount);
    void close();

private:
    jack_client_t *client_ = nullptr;
};
