#pragma once

#include <QTimer>
#include <QWidget>

#include <memory>
#include <utility>

class Announcer;
class FirmwareUpdater;
class PathBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class ReadableLabel;
class SegmentedPicker;
class Spinner;

// The one window: target, file, device, Upload, status. It shows the
// updater's fields and writes only the three picker selections; everything
// else goes through the updater's operations.
class ContentView : public QWidget {
    Q_OBJECT
public:
    static constexpr int windowWidth = 680;

    explicit ContentView(std::shared_ptr<FirmwareUpdater> updater, QWidget *parent = nullptr);

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QWidget *buildGroup();
    QWidget *buildActions();

    void onTargetChanged();
    void showTarget();
    void showFirmwarePath();
    void showMidiPicker();
    void showSerialPicker();
    void fillPicker(QComboBox *picker, const QList<std::pair<QString, QString>> &items, const QString &emptyText,
                    const QString &selected);
    void showStatus();
    void showBusy();
    void enablePicker(QComboBox *picker, bool hasItems);
    void showProgressValue();
    void showProgress();
    void chooseFile();
    void sayFocusAgain();

    std::shared_ptr<FirmwareUpdater> m_updater;
    bool m_firstShowDone = false;
    bool m_focusToSayAgain = false;

    SegmentedPicker *m_targetPicker = nullptr;
    PathBox *m_pathBox = nullptr;
    QPushButton *m_chooseButton = nullptr;
    QLabel *m_deviceHeading = nullptr;
    QComboBox *m_midiPicker = nullptr;
    QComboBox *m_serialPicker = nullptr;
    QPushButton *m_refreshButton = nullptr;
    QPushButton *m_uploadButton = nullptr;
    Spinner *m_spinner = nullptr;
    ReadableLabel *m_statusLine = nullptr;
    Announcer *m_announcer = nullptr;
    QWidget *m_progressRow = nullptr;
    QProgressBar *m_progressBar = nullptr;
    QLabel *m_phaseLabel = nullptr;
    QTimer *m_progressPace = nullptr;
};
