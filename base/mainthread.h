#pragma once

#include <functional>

// Runs `work` later on the main thread, after whatever it is doing now.
// Everything posted this way runs in posting order, from any thread.
void postToMainThread(std::function<void()> work);
