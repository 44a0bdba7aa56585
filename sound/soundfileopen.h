#pragma once

// Opens a sound file for decoding by its name as the user chose it. One implementation per
// platform: libsndfile's plain open takes the name in the system's 8-bit encoding, which on
// Windows is the ANSI code page, so names outside it (a Cyrillic name on a Western Windows) would
// not open there; Windows gets the wide-character open instead.

#include <sndfile.h>

#include <QString>

namespace sound::detail {

// The open file, or null with sf_strerror(nullptr) saying why.
SNDFILE *openSoundFile(const QString &path, SF_INFO *info);

} // namespace sound::detail
