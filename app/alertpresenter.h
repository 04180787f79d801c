#pragma once

#include "base/mainthread.h"

#include <QString>

#include <memory>

// Shows one alert, modally, on the main thread. The window supplies the
// real one; the updater only knows this interface.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    virtual void present(const QString &title, const QString &message) = 0;
};

// Posts the alert to the main thread and returns at once, whatever thread it
// is called from; alerts and status updates show in the order they were posted.
inline void showAlert(std::shared_ptr<AlertPresenter> presenter, const QString &title, const QString &message)
{
    postToMainThread([presenter = std::move(presenter), title, message] { presenter->present(title, message); });
}
