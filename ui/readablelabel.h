#pragma once

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

private:
    QString m_text;
};
