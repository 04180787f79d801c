#include "ui/messageboxalertpresenter.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace {

// A sentence of about this many characters fits on one line.
constexpr int lineCharacters = 64;
constexpr int toolLineCharacters = 84;
// Beyond this a message is read in a scrolling text area, which shows this
// many lines at most.
constexpr int longMessageLines = 12;
constexpr int longMessageCharacters = 600;
constexpr int shownLines = 16;

} // namespace

void MessageBoxAlertPresenter::configure(QMessageBox &box, const QString &title, const QString &message)
{
    box.setIcon(QMessageBox::Information);
    box.setTextFormat(Qt::PlainText);
    box.setText(title);
    box.setStandardButtons(QMessageBox::Ok);
    // Device names and tool output must never be read as markup; the tool's
    // output is worth copying into a support request.
    auto *titleLabel = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
    if (titleLabel) {
        QFont bold = titleLabel->font();
        bold.setBold(true);
        titleLabel->setFont(bold);
    }
    const int lineWidth = box.fontMetrics().averageCharWidth() * lineCharacters;
    if (message.count(QLatin1Char('\n')) < longMessageLines && message.size() <= longMessageCharacters) {
        box.setInformativeText(message);
        if (auto *informative = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"))) {
            informative->setTextFormat(Qt::PlainText);
            informative->setTextInteractionFlags(Qt::TextSelectableByMouse);
            informative->setMinimumWidth(lineWidth);
        }
        return;
    }
    // Below the title, in its column: a short first paragraph ("Core
    // firmware update failed.") as a line of its own, since screen readers
    // say an alert's labels but not its text areas, then the rest.
    auto *column = new QWidget(&box);
    auto *lines = new QVBoxLayout(column);
    lines->setContentsMargins(0, 0, 0, 0);
    QString details = message;
    const qsizetype headlineEnd = message.indexOf(QStringLiteral("\n\n"));
    if (headlineEnd > 0 && headlineEnd <= lineCharacters && !message.left(headlineEnd).contains(QLatin1Char('\n'))) {
        auto *headline = new QLabel(message.left(headlineEnd), column);
        headline->setObjectName(QStringLiteral("alertHeadline"));
        headline->setTextFormat(Qt::PlainText);
        headline->setTextInteractionFlags(Qt::TextSelectableByMouse);
        lines->addWidget(headline);
        details = message.mid(headlineEnd + 2);
    }
    // All of avrdude's output: scrolled in a box of bounded height rather
    // than a dialog taller than the screen.
    auto *text = new QPlainTextEdit(details, column);
    text->setObjectName(QStringLiteral("alertMessage"));
    text->setReadOnly(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text->setAccessibleName(title);
    text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Wide enough for avrdude's lines.
    text->setMinimumWidth(box.fontMetrics().averageCharWidth() * toolLineCharacters + 2 * text->frameWidth());
    text->setFixedHeight(text->fontMetrics().lineSpacing() * shownLines + 2 * text->frameWidth()
                         + int(2 * text->document()->documentMargin()));
    lines->addWidget(text);
    auto *grid = qobject_cast<QGridLayout *>(box.layout());
    int row = 0, at = 1, rowSpan = 1, columnSpan = 1;
    if (grid && titleLabel && grid->indexOf(titleLabel) >= 0)
        grid->getItemPosition(grid->indexOf(titleLabel), &row, &at, &rowSpan, &columnSpan);
    if (grid)
        grid->addWidget(column, row + 1, at, 1, columnSpan);
}

void MessageBoxAlertPresenter::present(const QString &title, const QString &message)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title);
    configure(box, title, message);
    box.exec();
}
