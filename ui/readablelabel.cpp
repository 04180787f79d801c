#include "ui/readablelabel.h"

#include <QAccessibleWidget>

#include <utility>

namespace {

// A label has no text interface of its own, and a named one says only its name.
class ReadableLabelAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit ReadableLabelAccessible(ReadableLabel *label) : QAccessibleWidget(label) {}

    QAccessible::Role role() const override { return static_cast<ReadableLabel *>(widget())->accessibleRole(); }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Name && widget()->accessibleName().isEmpty())
            return content();
        return QAccessibleWidget::text(kind);
    }
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        state.selectableText = widget()->focusPolicy() != Qt::NoFocus;
        return state;
    }

    QString text(int startOffset, int endOffset) const override
    {
        return content().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(content().size()); }
    // Read-only, no caret, and no selection of its own to report.
    void selection(int, int *startOffset, int *endOffset) const override { *startOffset = *endOffset = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int *startOffset, int *endOffset) const override
    {
        *startOffset = 0;
        *endOffset = characterCount();
        return {};
    }

private:
    const QString &content() const { return static_cast<const ReadableLabel *>(widget())->readableText(); }
};

QAccessibleInterface *readableLabelAccessible(const QString &, QObject *object)
{
    if (auto *label = qobject_cast<ReadableLabel *>(object))
        return new ReadableLabelAccessible(label);
    return nullptr;
}

} // namespace

ReadableLabel::ReadableLabel(QWidget *parent) : QLabel(parent)
{
    static const bool factoryInstalled = (QAccessible::installFactory(readableLabelAccessible), true);
    (void)factoryInstalled;
    // Names, paths and status texts are shown as they are, never as markup.
    setTextFormat(Qt::PlainText);
}

void ReadableLabel::setReadableText(const QString &text, const QString &shown)
{
    const QString previous = std::exchange(m_text, text);
    // Set after the readable text: unnamed, the label tells readers its
    // new name as the shown text changes. Readers cache names.
    const bool renamedByShownText = QLabel::text() != shown;
    setText(shown);
    if (text == previous)
        return;
    // Screen readers speak what the event carries; by the time they could ask
    // for the text, the next status may already be there.
    QAccessibleTextUpdateEvent event(this, 0, previous, m_text);
    QAccessible::updateAccessibility(&event);
    if (accessibleName().isEmpty() && !renamedByShownText) {
        QAccessibleEvent renamed(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&renamed);
    }
}
