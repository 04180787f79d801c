#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The phases avrdude draws a progress bar for.
enum class AvrdudePhase { reading, writing, verifying };

// "Reading", "Writing", "Verifying": shown beside the bar.
QString phaseName(AvrdudePhase phase);

struct AvrdudeProgress {
    AvrdudePhase phase = AvrdudePhase::reading;
    int percent = 0;

    friend bool operator==(const AvrdudeProgress &, const AvrdudeProgress &) = default;
};

// Follows avrdude's standard error as it streams. Without a terminal it
// draws each bar as "Writing | " followed by one '#' per 2 %, and ends it
// with " | 100% 1.23s"; the read that checks a write comes after a line
// "avrdude: verifying ...".
class AvrdudeProgressParser {
public:
    // The progress that `chunk` (any piece of the stream) moved to, in order.
    QList<AvrdudeProgress> feed(const QByteArray &chunk);

private:
    enum class State { between, inBar };

    State m_state = State::between;
    QByteArray m_line; // the line so far, between bars
    bool m_verifyAnnounced = false;
    AvrdudeProgress m_progress;
};
