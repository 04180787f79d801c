#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "core/avrdudeprogress.h"

#include <atomic>
#include <chrono>
#include <functional>

// The fourteen arguments, in order; paths are passed verbatim, never quoted.
QStringList avrdudeArguments(const QString &configPath, const QString &serialPortPath,
                             const QString &firmwarePath);

// Runs the avrdude that ships in the application's resources folder.
// Blocks its caller until the tool ends; call it off the main thread.
class AvrdudeRunner {
public:
    // A normal write and verify takes seconds and a silent device makes the
    // tool give up within a minute; only a wedged tool reaches this.
    static constexpr std::chrono::milliseconds defaultTimeLimit{std::chrono::seconds(120)};

    // resources/ beside the executable, found from the executable's own path.
    static QString defaultResourceDir();

    explicit AvrdudeRunner(QString resourceDir = defaultResourceDir(),
                           std::chrono::milliseconds timeLimit = defaultTimeLimit);

    // The tool's output when it exits with status 0; otherwise throws
    // UpdaterError (bundledToolMissing, bundledToolNotExecutable, avrdudeFailed).
    // `onProgress`, when given, hears of the tool's progress bars as they
    // stream, on the caller's thread. Once `stop` is set (from any thread)
    // the tool is killed within a quarter second and reaped, and run throws
    // avrdudeFailed.
    QString run(const QString &firmwarePath, const QString &serialPortPath,
                const std::function<void(const AvrdudeProgress &)> &onProgress = {},
                const std::atomic<bool> *stop = nullptr) const;

    const QString &resourceDir() const { return m_resourceDir; }

private:
    QString m_resourceDir;
    std::chrono::milliseconds m_timeLimit;
};
