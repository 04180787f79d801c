#include "ui/quitquestion.h"

#include <QMessageBox>
#include <QPushButton>

bool quitAnyway(QWidget *window)
{
    QMessageBox box(window);
    box.setWindowTitle(QStringLiteral("VELTA 2 Updater"));
    box.setIcon(QMessageBox::Warning);
    box.setTextFormat(Qt::PlainText);
    box.setText(QStringLiteral("An update is running. If you quit now, the VELTA 2 may be left without working "
                               "firmware.\n\nQuit anyway?"));
    QPushButton *quit = box.addButton(QStringLiteral("Quit"), QMessageBox::DestructiveRole);
    QPushButton *cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == quit;
}
