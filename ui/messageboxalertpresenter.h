#pragma once

#include "app/alertpresenter.h"

class QMessageBox;

// An informational message box: the title in bold, the message below it,
// both shown as plain text, one OK button.
class MessageBoxAlertPresenter : public AlertPresenter {
public:
    void present(const QString &title, const QString &message) override;

    // Builds the box without showing it (the window's tests look at it).
    static void configure(QMessageBox &box, const QString &title, const QString &message);
};
