#pragma once

class QWidget;

// Asked when the window is closed while an update runs. The window supplies
// the real one; tests answer it themselves.
class QuitQuestion {
public:
    virtual ~QuitQuestion() = default;
    // True to quit anyway, false to stay.
    virtual bool quitAnyway(QWidget *window) = 0;
};
