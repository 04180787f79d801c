#include "ui/contentview.h"

#include "app/firmwareupdater.h"
#include "ui/announcer.h"
#include "ui/pathbox.h"
#include "ui/quitquestion.h"
#include "ui/readablelabel.h"
#include "ui/segmentedpicker.h"
#include "ui/spinner.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace {

constexpr int padding = 20;

QLabel *plainLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    // Names, paths and status texts are shown as they are, never as markup.
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel *headline(const QString &text, QWidget *parent)
{
    QLabel *label = plainLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

void dim(QLabel *label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
}

void scaleFont(QLabel *label, qreal factor, QFont::Weight weight)
{
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * factor);
    font.setWeight(weight);
    label->setFont(font);
}

QVBoxLayout *column(int spacing)
{
    auto *layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

// A heading over one row of controls, added to `sections`; returns the row.
QHBoxLayout *addSection(QVBoxLayout *sections, QLabel *heading)
{
    auto *section = column(6);
    section->addWidget(heading);
    auto *row = new QHBoxLayout;
    row->setSpacing(10);
    section->addLayout(row);
    sections->addLayout(section);
    return row;
}

QWidget *buildHeader(QWidget *parent)
{
    auto *header = new QWidget(parent);
    auto *layout = column(4);
    QLabel *title = plainLabel(QStringLiteral("VELTA 2 Updater"), header);
    scaleFont(title, 1.3, QFont::DemiBold);
    QLabel *subtitle = plainLabel(QStringLiteral("Update the USB firmware or Core firmware on your VELTA 2."), header);
    scaleFont(subtitle, 0.95, QFont::Normal);
    dim(subtitle);
    layout->addWidget(title);
    layout->addWidget(subtitle);
    header->setLayout(layout);
    return header;
}

// A plain widget as a window is a "filler" to AT-SPI; screen readers look
// for a frame to read its title and find its status bar.
QAccessibleInterface *windowAccessible(const QString &, QObject *object)
{
    auto *view = qobject_cast<ContentView *>(object);
    if (view && view->isWindow())
        return new QAccessibleWidget(view, QAccessible::Window);
    return nullptr;
}

} // namespace

ContentView::ContentView(std::shared_ptr<FirmwareUpdater> updater, QWidget *parent)
    : QWidget(parent), m_updater(std::move(updater))
{
    static const bool factoryInstalled = (QAccessible::installFactory(windowAccessible), true);
    (void)factoryInstalled;
    auto *root = column(18);
    root->setContentsMargins(padding, padding, padding, padding);
    // The window is exactly as big as its content: 680 wide, and as tall as
    // the content is at that width, so a status that wraps makes it taller.
    root->setSizeConstraint(QLayout::SetFixedSize);
    for (QWidget *part : {buildHeader(this), buildGroup(), buildActions()}) {
        part->setFixedWidth(windowWidth - 2 * padding);
        root->addWidget(part);
    }
    setLayout(root);
    // Read out when the window comes up; the title bar shows the same.
    setAccessibleName(QStringLiteral("VELTA 2 Updater"));

    FirmwareUpdater *model = m_updater.get();
    connect(model, &FirmwareUpdater::selectedTargetChanged, this, &ContentView::onTargetChanged);
    connect(model, &FirmwareUpdater::firmwarePathChanged, this, &ContentView::showFirmwarePath);
    connect(model, &FirmwareUpdater::midiPortNamesChanged, this, &ContentView::showMidiPicker);
    connect(model, &FirmwareUpdater::selectedMIDIPortNameChanged, this, &ContentView::showMidiPicker);
    connect(model, &FirmwareUpdater::serialPortsChanged, this, &ContentView::showSerialPicker);
    connect(model, &FirmwareUpdater::selectedSerialPortPathChanged, this, &ContentView::showSerialPicker);
    connect(model, &FirmwareUpdater::statusTextChanged, this, &ContentView::showStatus);
    connect(model, &FirmwareUpdater::isBusyChanged, this, &ContentView::showBusy);
    connect(model, &FirmwareUpdater::progressChanged, this, &ContentView::showProgress);

    connect(m_targetPicker, &SegmentedPicker::chosen, this, [this](int index) {
        m_updater->setSelectedTarget(allFirmwareTargets.at(size_t(index)));
    });
    connect(m_chooseButton, &QPushButton::clicked, this, &ContentView::chooseFile);
    connect(m_refreshButton, &QPushButton::clicked, this, [this] { m_updater->refreshDevices(); });
    connect(m_uploadButton, &QPushButton::clicked, this, [this] { m_updater->startUpload(); });
    connect(m_midiPicker, &QComboBox::activated, this, [this](int index) {
        m_updater->setSelectedMIDIPortName(m_midiPicker->itemData(index).toString());
    });
    connect(m_serialPicker, &QComboBox::activated, this, [this](int index) {
        m_updater->setSelectedSerialPortPath(m_serialPicker->itemData(index).toString());
    });

    // Ctrl+O presses Choose… and F5 Refresh, wherever the focus is, unless
    // the button is disabled. Return is handled in keyPressEvent instead.
    const std::pair<QKeySequence, QPushButton *> keys[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_O), m_chooseButton},
        {QKeySequence(Qt::Key_F5), m_refreshButton},
    };
    for (const auto &[key, button] : keys) {
        auto *shortcut = new QShortcut(key, this);
        connect(shortcut, &QShortcut::activated, button, [button] {
            if (button->isEnabled())
                button->click();
        });
    }

    showTarget();
    showFirmwarePath();
    showMidiPicker();
    showSerialPicker();
    showStatus();
    showBusy();
    showProgress();
}

QWidget *ContentView::buildGroup()
{
    auto *group = new QGroupBox(this);
    auto *sections = column(14);
    // The usual inner margin of a group box, with 4 more above and below.
    sections->setContentsMargins(10, 10 + 4, 10, 10 + 4);

    QHBoxLayout *targetRow = addSection(sections, headline(QStringLiteral("Firmware Target"), group));
    QLabel *pickerLabel = plainLabel(QStringLiteral("Firmware Target"), group);
    QStringList targets;
    for (FirmwareTarget t : allFirmwareTargets)
        targets << label(t);
    m_targetPicker = new SegmentedPicker(targets, group);
    m_targetPicker->setAccessibleName(QStringLiteral("Firmware Target"));
    pickerLabel->setBuddy(m_targetPicker);
    targetRow->addWidget(pickerLabel);
    targetRow->addWidget(m_targetPicker, 1);

    QHBoxLayout *fileRow = addSection(sections, headline(QStringLiteral("Firmware File"), group));
    m_pathBox = new PathBox(group);
    m_pathBox->setName(QStringLiteral("Firmware File"));
    m_chooseButton = new QPushButton(QStringLiteral("Choose…"), group);
    m_chooseButton->setAutoDefault(false);
    fileRow->addWidget(m_pathBox, 1, Qt::AlignVCenter);
    fileRow->addWidget(m_chooseButton, 0, Qt::AlignVCenter);

    m_deviceHeading = headline(QString(), group);
    QHBoxLayout *deviceRow = addSection(sections, m_deviceHeading);
    m_midiPicker = new QComboBox(group);
    m_midiPicker->setObjectName(QStringLiteral("midiPicker"));
    m_midiPicker->setAccessibleName(QStringLiteral("USB MIDI Device"));
    m_serialPicker = new QComboBox(group);
    m_serialPicker->setObjectName(QStringLiteral("serialPicker"));
    m_serialPicker->setAccessibleName(QStringLiteral("USB Serial Device"));
    for (QComboBox *picker : {m_midiPicker, m_serialPicker}) {
        picker->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        // Long device names must not widen the window.
        picker->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        picker->setMinimumContentsLength(10);
        deviceRow->addWidget(picker, 1, Qt::AlignVCenter);
    }
    m_refreshButton = new QPushButton(QStringLiteral("Refresh"), group);
    m_refreshButton->setAutoDefault(false);
    deviceRow->addWidget(m_refreshButton, 0, Qt::AlignVCenter);

    group->setLayout(sections);
    return group;
}

QWidget *ContentView::buildActions()
{
    auto *actions = new QWidget(this);
    auto *layout = column(12);
    auto *row = new QHBoxLayout;
    m_uploadButton = new QPushButton(actions);
    m_uploadButton->setDefault(true);
    m_spinner = new Spinner(actions);
    m_spinner->setAccessibleName(QStringLiteral("Working"));
    row->addWidget(m_uploadButton, 0, Qt::AlignVCenter);
    row->addStretch(1);
    row->addWidget(m_spinner, 0, Qt::AlignVCenter);
    layout->addLayout(row);
    m_statusLine = new ReadableLabel(actions);
    m_statusLine->setObjectName(QStringLiteral("statusLine"));
    m_statusLine->setWordWrap(true);
    scaleFont(m_statusLine, 0.95, QFont::Normal);
    dim(m_statusLine);
    // Named by the line it shows, so a reader's read-status-bar command says that line.
    m_statusLine->setAccessibleRole(QAccessible::StatusBar);
    layout->addWidget(m_statusLine);
    // Orca says a label's or a status bar's new text only while it has the focus.
    m_announcer = new Announcer(actions);

    // While an upload runs: the phase avrdude names, or the copy onto the
    // boot drive, and how far into it it is.
    m_progressRow = new QWidget(actions);
    auto *progressLayout = new QHBoxLayout(m_progressRow);
    progressLayout->setContentsMargins(0, 0, 0, 0);
    m_phaseLabel = plainLabel(QString(), m_progressRow);
    m_phaseLabel->setMinimumWidth(m_phaseLabel->fontMetrics().horizontalAdvance(QStringLiteral("Verifying")) + 4);
    m_progressBar = new QProgressBar(m_progressRow);
    m_progressBar->setRange(0, 100);
    m_progressBar->setAccessibleName(QStringLiteral("Upload progress"));
    // Each value is an event for screen readers, which fall behind at one
    // per percent and then drop the statuses that follow; a few a second
    // show the progress as well.
    m_progressPace = new QTimer(this);
    m_progressPace->setSingleShot(true);
    m_progressPace->setInterval(250);
    connect(m_progressPace, &QTimer::timeout, this, &ContentView::showProgressValue);
    m_phaseLabel->setBuddy(m_progressBar);
    progressLayout->addWidget(m_phaseLabel);
    progressLayout->addWidget(m_progressBar, 1);
    layout->addWidget(m_progressRow);
    actions->setLayout(layout);
    return actions;
}

void ContentView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_firstShowDone) {
        m_firstShowDone = true;
        m_updater->refreshDevices();
    }
}

// Return presses the default button from any control that leaves it
// unused. Not a shortcut: Qt fires shortcuts before a screen reader sees
// the key, and with Orca's keypad layout Enter under the Orca key would
// start an update instead of reading the window.
void ContentView::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (m_uploadButton->isEnabled())
            m_uploadButton->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ContentView::closeEvent(QCloseEvent *event)
{
    // Leaving half-way can leave the device without working firmware.
    if (m_updater->isBusy()) {
        if (!quitAnyway(this)) {
            event->ignore();
            return;
        }
        m_updater->abandonUpload();
    }
    QWidget::closeEvent(event);
}

void ContentView::chooseFile()
{
    m_updater->chooseFirmwareFile();
    // Orca can take the file dialog's deactivation after the window's return,
    // and then follows no window. Once the window is active again it hears
    // that, and where the focus is, once more.
    m_focusToSayAgain = true;
    if (isActiveWindow()) {
        sayFocusAgain();
        return;
    }
    // The keys come here again, but Qt may still count the closed dialog
    // as active, and Orca ignores the focus of a window that is not.
    activateWindow();
    QApplication::setActiveWindow(this);
}

void ContentView::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && m_focusToSayAgain)
        sayFocusAgain();
}

void ContentView::sayFocusAgain()
{
    m_focusToSayAgain = false;
    QAccessible::State active;
    active.active = true;
    QAccessibleStateChangeEvent activated(this, active);
    QAccessible::updateAccessibility(&activated);
    QWidget *focused = focusWidget() ? focusWidget() : m_chooseButton;
    QAccessibleEvent focus(focused, QAccessible::Focus);
    QAccessible::updateAccessibility(&focus);
}

void ContentView::onTargetChanged()
{
    showTarget();
    m_updater->resetForTargetChange();
    m_updater->refreshDevices();
}

void ContentView::showTarget()
{
    const bool usb = m_updater->selectedTarget() == FirmwareTarget::usbFirmware;
    m_targetPicker->setCurrent(usb ? 0 : 1);
    m_deviceHeading->setText(usb ? QStringLiteral("USB MIDI Device") : QStringLiteral("USB Serial Device"));
    // On Linux a drop-down's name is its current item; the heading is read as its label.
    m_deviceHeading->setBuddy(usb ? m_midiPicker : m_serialPicker);
    m_uploadButton->setText(usb ? QStringLiteral("Upload USB Firmware") : QStringLiteral("Upload Core Firmware"));
    m_midiPicker->setVisible(usb);
    m_serialPicker->setVisible(!usb);
}

void ContentView::showProgress()
{
    const std::optional<UploadProgress> &progress = m_updater->progress();
    m_progressRow->setVisible(progress.has_value());
    if (!progress)
        return;
    // A phase's start and end are shown at once, the values between at the pace.
    const bool newPhase = m_phaseLabel->text() != progress->phase;
    if (newPhase) {
        m_phaseLabel->setText(progress->phase);
        m_progressBar->setAccessibleDescription(progress->phase);
    }
    if (newPhase || progress->percent == 100 || !m_progressPace->isActive())
        showProgressValue();
}

void ContentView::showProgressValue()
{
    const std::optional<UploadProgress> &progress = m_updater->progress();
    if (!progress || m_progressBar->value() == progress->percent)
        return;
    m_progressBar->setValue(progress->percent);
    m_progressPace->start();
}

void ContentView::showFirmwarePath()
{
    m_pathBox->setPath(m_updater->firmwarePath());
}

void ContentView::showMidiPicker()
{
    QList<std::pair<QString, QString>> items;
    for (const QString &name : m_updater->midiPortNames())
        items.append({name, name});
    fillPicker(m_midiPicker, items, QStringLiteral("No USB MIDI devices found"), m_updater->selectedMIDIPortName());
}

void ContentView::showSerialPicker()
{
    QList<std::pair<QString, QString>> items;
    for (const SerialPortChoice &port : m_updater->serialPorts())
        items.append({serialPortLabel(port.path), port.path});
    fillPicker(m_serialPicker, items, QStringLiteral("No USB serial devices found"), m_updater->selectedSerialPortPath());
}

void ContentView::fillPicker(QComboBox *picker, const QList<std::pair<QString, QString>> &items,
                             const QString &emptyText, const QString &selected)
{
    // Each item shows its label and carries the name or path the updater
    // selects by; an empty list shows one disabled placeholder.
    const QSignalBlocker blocker(picker);
    picker->clear();
    if (items.isEmpty())
        picker->addItem(emptyText, QString());
    for (const auto &[label, value] : items)
        picker->addItem(label, value);
    picker->setCurrentIndex(picker->findData(selected));
    enablePicker(picker, !items.isEmpty());
}

void ContentView::enablePicker(QComboBox *picker, bool hasItems)
{
    // The hidden one keeps its state while busy: the target can't change
    // then, and every change is a burst of events for screen readers.
    const bool usb = m_updater->selectedTarget() == FirmwareTarget::usbFirmware;
    const bool shown = (picker == m_midiPicker) == usb;
    picker->setEnabled(hasItems && !(m_updater->isBusy() && shown));
}

void ContentView::showStatus()
{
    m_statusLine->setReadableText(m_updater->statusText());
    m_announcer->announce(m_updater->statusText());
}

void ContentView::showBusy()
{
    const bool busy = m_updater->isBusy();
    for (QWidget *control : std::initializer_list<QWidget *>{m_targetPicker, m_chooseButton, m_refreshButton, m_uploadButton})
        control->setEnabled(!busy);
    enablePicker(m_midiPicker, !m_updater->midiPortNames().isEmpty());
    enablePicker(m_serialPicker, !m_updater->serialPorts().isEmpty());
    m_spinner->setVisible(busy);
}
