#pragma once

#include "support/updaterharness.h"
#include "ui/contentview.h"

#include <QPushButton>

// The window over a harness's updater, shown, as the user has it.
struct ShownWindow {
    explicit ShownWindow(UpdaterHarness &h) : view(h.updater) { view.show(); }
    // Every button usable again (the pickers also depend on their lists).
    bool controlsEnabled() const
    {
        for (QPushButton *button : view.findChildren<QPushButton *>()) {
            if (!button->isEnabled())
                return false;
        }
        return true;
    }
    ContentView view;
};
