#pragma once

#include <QAccessible>
#include <QLabel>

// A plain-text label that assistive technology reads by its text, also when
// it has a name of its own: the text comes through the text interface, whole
// even where the label shows it cut, and each change is announced with the
// text it brings, so a reader need not look it up after it has moved on.
class ReadableLabel : public QLabel {
    Q_OBJECT
public:
    explicit ReadableLabel(QWidget *parent = nullptr);

    void setReadableText(const QString &text) { setReadableText(text, text); }
    // Shows `shown` and offers `text` to readers.
    void setReadableText(const QString &text, const QString &shown);
    const QString &readableText() const { return m_text; }

    // What it is to readers: static text by default; read-only text
    // (EditableText) says its content where a label says only its name.
    void setAccessibleRole(QAccessible::Role role) { m_role = role; }
    QAccessible::Role accessibleRole() const { return m_role; }

private:
    QString m_text;
    QAccessible::Role m_role = QAccessible::StaticText;
};
