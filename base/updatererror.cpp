#include "base/updatererror.h"

#include <cstring>

namespace {

QString systemErrorText(int errorNumber)
{
    // strerror_r (GNU flavour) may return a static string instead of filling buf.
    char buf[256] = {};
    const char *text = strerror_r(errorNumber, buf, sizeof buf);
    if (text == nullptr || *text == '\0')
        return QStringLiteral("Unknown error %1").arg(errorNumber);
    return QString::fromLocal8Bit(text);
}

} // namespace

UpdaterError::UpdaterError(Kind kind, QString text, int errorNumber)
    : m_kind(kind), m_text(std::move(text)), m_errorNumber(errorNumber)
{
    m_what = errorDescription().toStdString();
}

QString UpdaterError::errorDescription() const
{
    switch (m_kind) {
    case Kind::midiDestinationNotFound:
        return QStringLiteral("Could not find the selected MIDI destination: '") + m_text + QStringLiteral("'.");
    case Kind::sysexSendFailed:
        return QStringLiteral("Could not send the USB firmware update command on '") + m_text + QStringLiteral("'.");
    case Kind::copyFailed:
    case Kind::serialConfigFailed:
        return m_text;
    case Kind::serialOpenFailed:
        return QStringLiteral("Could not open the selected USB serial device:\n\n") + m_text
            + QStringLiteral("\n\n") + systemErrorText(m_errorNumber);
    case Kind::bundledToolMissing:
        return QStringLiteral("The bundled update tool '") + m_text
            + QStringLiteral("' could not be found in the app resources.");
    case Kind::bundledToolNotExecutable:
        return QStringLiteral("The bundled update tool '") + m_text + QStringLiteral("' is not executable.");
    case Kind::avrdudeFailed:
        return QStringLiteral("avrdude failed.\n\n") + m_text;
    case Kind::bootDriveNotFound:
        return QStringLiteral("The USB firmware drive did not appear.");
    }
    return {};
}

QString describeError(const std::exception &error)
{
    if (const auto *ours = dynamic_cast<const UpdaterError *>(&error))
        return ours->errorDescription();
    return QString::fromUtf8(error.what());
}
