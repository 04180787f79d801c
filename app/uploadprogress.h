#pragma once

#include <QString>

// How far the running upload has got, for the bar under the status line:
// avrdude's phases for the Core firmware, "Copying" for the USB firmware.
struct UploadProgress {
    QString phase;
    int percent = 0;

    friend bool operator==(const UploadProgress &, const UploadProgress &) = default;
};
