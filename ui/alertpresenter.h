#pragma once

#include <QString>

// Shows one alert, modally, on the main thread.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    virtual void present(const QString &title, const QString &message) = 0;
};
