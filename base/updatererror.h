#pragma once

#include <QString>

#include <exception>
#include <string>

// The one error of every update operation. The workflow never looks at the
// kind, only at errorDescription(), which it puts into an alert.
class UpdaterError : public std::exception {
public:
    enum class Kind {
        midiDestinationNotFound,
        sysexSendFailed,
        copyFailed,
        serialOpenFailed,
        serialConfigFailed,
        bundledToolMissing,
        bundledToolNotExecutable,
        avrdudeFailed,
        bootDriveNotFound,
    };

    static UpdaterError midiDestinationNotFound(const QString &name) { return {Kind::midiDestinationNotFound, name}; }
    static UpdaterError sysexSendFailed(const QString &name) { return {Kind::sysexSendFailed, name}; }
    static UpdaterError copyFailed(const QString &message) { return {Kind::copyFailed, message}; }
    // Never raised: avrdude, not the updater, opens the serial device.
    static UpdaterError serialOpenFailed(const QString &path, int errorNumber)
    {
        return {Kind::serialOpenFailed, path, errorNumber};
    }
    // Never raised: nor does the updater configure it; avrdude sets the line up.
    static UpdaterError serialConfigFailed(const QString &message) { return {Kind::serialConfigFailed, message}; }
    static UpdaterError bundledToolMissing(const QString &resourceName)
    {
        return {Kind::bundledToolMissing, resourceName};
    }
    static UpdaterError bundledToolNotExecutable(const QString &resourceName)
    {
        return {Kind::bundledToolNotExecutable, resourceName};
    }
    static UpdaterError avrdudeFailed(const QString &output) { return {Kind::avrdudeFailed, output}; }
    static UpdaterError bootDriveNotFound() { return {Kind::bootDriveNotFound, QString()}; }

    Kind kind() const { return m_kind; }

    QString errorDescription() const;
    const char *what() const noexcept override { return m_what.c_str(); }

private:
    UpdaterError(Kind kind, QString text, int errorNumber = 0);

    Kind m_kind;
    QString m_text;
    int m_errorNumber;
    std::string m_what;
};

// The text to show for any caught error: errorDescription() for ours, the
// library's own text for anything else.
QString describeError(const std::exception &error);
