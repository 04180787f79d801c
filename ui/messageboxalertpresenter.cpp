#include "ui/messageboxalertpresenter.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>

void MessageBoxAlertPresenter::configure(QMessageBox &box, const QString &title, const QString &message)
{
    box.setIcon(QMessageBox::Information);
    box.setTextFormat(Qt::PlainText);
    box.setText(title);
    box.setInformativeText(message);
    box.setStandardButtons(QMessageBox::Ok);
    // Device names and tool output must never be read as markup; the tool's
    // output is worth copying into a support request.
    if (auto *label = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))) {
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
    }
    if (auto *informative = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"))) {
        informative->setTextFormat(Qt::PlainText);
        informative->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
}

void MessageBoxAlertPresenter::present(const QString &title, const QString &message)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title);
    configure(box, title, message);
    box.exec();
}
