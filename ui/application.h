#pragma once

// Names the application and gives it the Fusion style, the same look on
// every desktop. Call right after the QApplication is made.
void configureApplication();
