#pragma once

#include <QWidget>

class ReadableLabel;

// The chosen file's path on one line, cut in the middle when too long so the
// start and the file name both stay visible. The text can be selected, and
// copying a selection that spans the cut copies the whole path.
class PathBox : public QWidget {
    Q_OBJECT
public:
    static const QString placeholder;

    explicit PathBox(QWidget *parent = nullptr);

    void setPath(const QString &path);
    // What assistive technology calls the box; it reads the whole path as its text.
    void setName(const QString &name);
    const QString &path() const { return m_path; }
    // What the box shows right now (the placeholder, the path or its elided form).
    QString shownText() const;
    void selectAll();
    void copy() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateShownText();

    QString m_path;
    ReadableLabel *m_label;
};
