#include "sound/soundfileopen.h"

#include "common/longpath.h"

// The wide-character open, with the path's long form so that a file beyond MAX_PATH opens too.
// libsndfile keeps the name as UTF-8 in a buffer of its own (SF_FILENAME_LEN, 1024 bytes): a long
// form of more than 1023 UTF-8 bytes does not open (the prefix takes 4 of them, a Cyrillic letter
// 2), or opens a shorter name.

namespace sound::detail {

SNDFILE *openSoundFile(const QString &path, SF_INFO *info)
{
    const QString name = vintra::longPathName(path);
    return sf_wchar_open(reinterpret_cast<const wchar_t *>(name.utf16()), SFM_READ, info);
}

} // namespace sound::detail
