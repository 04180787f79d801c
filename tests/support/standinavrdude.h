#pragma once

#include "core/avrduderunner.h"
#include "support/testfiles.h"

// A resources folder in `dir` whose "avrdude" is the shell script `script`,
// beside an empty config.
inline AvrdudeRunner standInAvrdude(const QTemporaryDir &dir, const QByteArray &script)
{
    testfiles::writeFile(dir.filePath("avrdude"), "#!/bin/sh\n" + script, QFile::Permissions(0x7755)); // rwxr-xr-x
    testfiles::writeFile(dir.filePath("avrdude.conf"), {});
    return AvrdudeRunner(dir.path());
}
