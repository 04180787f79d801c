#include "ui/showalert.h"

#include "app/mainthread.h"
#include "ui/messageboxalertpresenter.h"

void showAlert(const QString &title, const QString &message)
{
    showAlert(std::make_shared<MessageBoxAlertPresenter>(), title, message);
}

void showAlert(std::shared_ptr<AlertPresenter> presenter, const QString &title, const QString &message)
{
    postToMainThread([presenter = std::move(presenter), title, message] {
        presenter->present(title, message);
    });
}
