#pragma once

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

// Small file helpers for tests; a file that can't be written ends the test run.
namespace testfiles {

inline QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    return writeFile(dir.filePath(name), bytes);
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline QByteArray randomBytes(int size)
{
    QByteArray bytes(size, '\0');
    for (char &b : bytes)
        b = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

} // namespace testfiles
