#pragma once

#include <QString>

#include <memory>

class AlertPresenter;

// Posts the alert to the main thread and returns at once, whatever thread it
// is called from; alerts and status updates show in the order they were posted.
void showAlert(const QString &title, const QString &message);
void showAlert(std::shared_ptr<AlertPresenter> presenter, const QString &title, const QString &message);
