#pragma once

#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <unistd.h>

// Collects what is written to fd 2 while it lives: libraries write there
// directly, past Qt's message handler.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    ~StderrCapture()
    {
        finish();
        std::fclose(file_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Restores fd 2 and returns what was written meanwhile.
    QByteArray finish()
    {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
        QFile file;
        file.open(fileno(file_), QIODevice::ReadOnly);
        file.seek(0);
        return file.readAll();
    }

private:
    std::FILE *file_ = nullptr;
    int saved_ = -1;
};
