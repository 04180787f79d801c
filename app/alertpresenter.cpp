#include "app/alertpresenter.h"

#include "base/mainthread.h"

void showAlert(std::shared_ptr<AlertPresenter> presenter, const QString &title, const QString &message)
{
    postToMainThread([presenter = std::move(presenter), title, message] {
        presenter->present(title, message);
    });
}
