#include "core/avrdudeprogress.h"

namespace {

const QByteArray barOpening = " | ";

} // namespace

QString phaseName(AvrdudePhase phase)
{
    // In the order of AvrdudePhase.
    static const QString names[] = {QStringLiteral("Reading"), QStringLiteral("Writing"), QStringLiteral("Verifying")};
    return names[int(phase)];
}

QList<AvrdudeProgress> AvrdudeProgressParser::feed(const QByteArray &chunk)
{
    QList<AvrdudeProgress> updates;
    auto report = [&](int percent) {
        percent = qMin(percent, 100);
        if (percent > m_progress.percent) {
            m_progress.percent = percent;
            updates.append(m_progress);
        }
    };
    for (const char c : chunk) {
        if (m_state == State::inBar) {
            if (c == '#') {
                report(m_progress.percent + 2);
            } else if (c == '%' || c == '\n') {
                // " | 100% 0.52s": the bar is complete, however many marks it drew.
                if (c == '%')
                    report(100);
                m_state = State::between;
                m_line.clear();
            }
            continue;
        }
        if (c == '\n') {
            if (m_line.startsWith("avrdude: verifying"))
                m_verifyAnnounced = true;
            m_line.clear();
            continue;
        }
        m_line.append(c);
        const bool reading = m_line == "Reading" + barOpening;
        if (reading || m_line == "Writing" + barOpening) {
            m_progress.phase = !reading ? AvrdudePhase::writing
                               : m_verifyAnnounced ? AvrdudePhase::verifying
                                                   : AvrdudePhase::reading;
            m_verifyAnnounced = false;
            m_progress.percent = -1;
            report(0);
            m_state = State::inBar;
        }
    }
    return updates;
}
