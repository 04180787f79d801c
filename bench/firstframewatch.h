#pragma once

#include <QObject>

// Watches a window for its first paint and then reports, on stdout, when
// that frame was done and how much memory the process holds, and ends the
// event loop.
//
//   FRAME_MONO_NS <CLOCK_MONOTONIC at the frame>
//   SINCE_START_MS <ms from the kernel's process start time to the frame>
//   RSS_KB <VmRSS>
class FirstFrameWatch : public QObject {
    Q_OBJECT
public:
    explicit FirstFrameWatch(QObject *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void report();

    QObject *window_;
    bool seen_ = false;
};
