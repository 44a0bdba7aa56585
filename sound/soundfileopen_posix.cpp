#include "sound/soundfileopen.h"

#include <QFile>

namespace sound::detail {

SNDFILE *openSoundFile(const QString &path, SF_INFO *info)
{
    return sf_open(QFile::encodeName(path).constData(), SFM_READ, info);
}

} // namespace sound::detail
