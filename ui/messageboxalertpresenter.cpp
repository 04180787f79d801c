#include "ui/messageboxalertpresenter.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>

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
    // All of avrdude's output: scrolled in a box of bounded height rather
    // than a dialog taller than the screen.
    auto *text = new QPlainTextEdit(message, &box);
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
    // Below the title, in its column.
    auto *grid = qobject_cast<QGridLayout *>(box.layout());
    int row = 0, column = 1, rowSpan = 1, columnSpan = 1;
    if (grid && titleLabel && grid->indexOf(titleLabel) >= 0)
        grid->getItemPosition(grid->indexOf(titleLabel), &row, &column, &rowSpan, &columnSpan);
    if (grid)
        grid->addWidget(text, row + 1, column, 1, columnSpan);
}

void MessageBoxAlertPresenter::present(const QString &title, const QString &message)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(title);
    configure(box, title, message);
    box.exec();
}
