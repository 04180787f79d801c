#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

// The drive the device shows once it has restarted into its UF2 bootloader: a
// folder under the volumes folder, watched for files copied onto it.
class SimDrive : public QObject {
    Q_OBJECT
public:
    explicit SimDrive(QObject *parent = nullptr);
    ~SimDrive() override;

    // Makes <volumesDir>/RPI-RP2 with the bootloader's info file.
    bool mount(const QString &volumesDir, QString *error);
    QString path() const { return path_; }

signals:
    // A new file whose size has stopped changing.
    void fileWritten(const QString &name, qint64 size);

private:
    struct Watched {
        qint64 size = -1;
        int unchangedScans = 0;
        bool reported = false;
    };

    void scan();

    std::unique_ptr<QTemporaryDir> storage_;
    QString path_;
    QHash<QString, Watched> files_;
    QTimer scanTimer_;
};
