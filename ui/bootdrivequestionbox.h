#pragma once

#include "app/bootdrivequestion.h"

// The question as a modal message box over the active window: Copy
// Firmware or Cancel, Cancel the default and the answer to Escape.
class BootDriveQuestionBox : public BootDriveQuestion {
public:
    bool copyOntoDrive(const QString &folder) override;
};
