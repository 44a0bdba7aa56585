#include "sound/soundfileopen.h"

#include <QDir>

namespace sound::detail {

SNDFILE *openSoundFile(const QString &path, SF_INFO *info)
{
    const QString native = QDir::toNativeSeparators(path);
    return sf_wchar_open(reinterpret_cast<const wchar_t *>(native.utf16()), SFM_READ, info);
}

} // namespace sound::detail
