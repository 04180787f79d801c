#include "uf2copybench.h"

#include "benchtable.h"
#include "childprocess.h"
#include "samples.h"

#include "support/uf2image.h"
#include "usb/firmwarecopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <exception>
#include <memory>
#include <linux/magic.h>
#include <sys/vfs.h>

namespace {

const QString name = QStringLiteral("UF2: the updater's copy vs cp + sync (2 MiB)");
const QString target = QStringLiteral("ratio <= 1.1");
constexpr int blocks = 4096; // 512 bytes each

bool onTmpfs(const QString &path)
{
    struct statfs info {};
    return ::statfs(QFile::encodeName(path).constData(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

} // namespace

void Uf2CopyBench::run(BenchTable &table) const
{
    // tmpfs would make every flush free and hide what the copy costs; the
    // build folder is the fallback.
    auto dir = std::make_unique<QTemporaryDir>(QStringLiteral("/var/tmp/velta-bench-XXXXXX"));
    if (!dir->isValid() || onTmpfs(dir->path()))
        dir = std::make_unique<QTemporaryDir>(
            QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../velta-bench-XXXXXX")));
    if (!dir->isValid() || onTmpfs(dir->path())) {
        table.fail(name, QStringLiteral("no disk-backed folder for the copies"), target);
        return;
    }

    const QString source = dir->filePath(QStringLiteral("usb.uf2"));
    const QString viaCopyPath = dir->filePath(QStringLiteral("copied.uf2"));
    const QString viaCpPath = dir->filePath(QStringLiteral("cp.uf2"));
    const QByteArray image = uf2image::image(blocks);
    QFile file(source);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() || !file.flush()) {
        table.fail(name, QStringLiteral("could not write the source image"), target);
        return;
    }
    file.close();

    const ChildProcess cp("cp", {source.toStdString(), viaCpPath.toStdString()});
    const ChildProcess sync("sync", {});
    constexpr std::chrono::milliseconds limit(60000);

    QString problem;
    auto timeCopy = [&]() -> double {
        QFile::remove(viaCopyPath);
        QElapsedTimer t;
        t.start();
        try {
            writeFirmware(readFirmwareSource(source), viaCopyPath);
        } catch (const std::exception &e) {
            problem = QStringLiteral("copy: ") + QString::fromUtf8(e.what());
        }
        return double(t.nsecsElapsed()) / 1e6;
    };
    auto timeCp = [&]() -> double {
        QFile::remove(viaCpPath);
        QElapsedTimer t;
        t.start();
        const int copied = cp.run(limit).exitCode;
        const int synced = sync.run(limit).exitCode;
        const double ms = double(t.nsecsElapsed()) / 1e6;
        if (copied != 0 || synced != 0)
            problem = QStringLiteral("cp or sync failed");
        return ms;
    };

    timeCopy();
    timeCp();
    Samples viaCopy, viaCp;
    for (int i = 0; i < runs_ && problem.isEmpty(); ++i) {
        if (i % 2 == 0) {
            viaCopy.add(timeCopy());
            viaCp.add(timeCp());
        } else {
            viaCp.add(timeCp());
            viaCopy.add(timeCopy());
        }
    }
    QFile copied(viaCopyPath);
    if (problem.isEmpty() && (!copied.open(QIODevice::ReadOnly) || copied.readAll() != image))
        problem = QStringLiteral("the copy differs from the source");
    table.detail(QStringLiteral("viaCopy ms"), viaCopy);
    table.detail(QStringLiteral("viaCp ms"), viaCp);
    if (!problem.isEmpty()) {
        table.fail(name, problem, target);
        return;
    }
    const double ratio = viaCopy.median() / viaCp.median();
    table.add(name,
              QStringLiteral("copy %1 ms, cp+sync %2 ms (medians of %3), ratio %4")
                  .arg(viaCopy.median(), 0, 'f', 1)
                  .arg(viaCp.median(), 0, 'f', 1)
                  .arg(runs_)
                  .arg(ratio, 0, 'f', 3),
              target, ratio <= 1.1);
}
