#pragma once

class QWidget;

// Asked when the window is closed while an update runs: a warning with Quit
// and Cancel, Cancel the default and the answer to Escape, so a stray key
// press never leaves a half-written device. True to quit anyway.
bool quitAnyway(QWidget *window);
