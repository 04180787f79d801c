#include "ui/bootdrivequestionbox.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

bool BootDriveQuestionBox::copyOntoDrive(const QString &folder)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QStringLiteral("VELTA 2 Updater"));
    box.setIcon(QMessageBox::Question);
    box.setTextFormat(Qt::PlainText);
    box.setText(QStringLiteral("A UF2 boot drive is connected at ") + folder
                + QStringLiteral(", but no USB MIDI device is."));
    box.setInformativeText(
        QStringLiteral("If it is your VELTA 2 waiting in its boot loader, the firmware can be copied onto it now."));
    QPushButton *copy = box.addButton(QStringLiteral("Copy Firmware"), QMessageBox::AcceptRole);
    QPushButton *cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    // Writing onto a drive that may be another board's needs a deliberate choice.
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == copy;
}
