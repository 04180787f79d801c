#pragma once

#include "ui/quitquestion.h"

class QMessageBox;
class QPushButton;

// A warning message box: Quit or Cancel, Cancel the default and the answer
// to Escape, so a stray key press never leaves a half-written device.
class MessageBoxQuitQuestion : public QuitQuestion {
public:
    bool quitAnyway(QWidget *window) override;

    // Builds the box without showing it; returns its Quit button.
    static QPushButton *configure(QMessageBox &box);
};
