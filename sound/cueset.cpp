#include "sound/cueset.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace sound {

bool namesExistingFile(const QString &text)
{
    // QFileInfo follows links, so a link to a file counts and a dangling one does not.
    return !text.isEmpty() && QFileInfo(text).isFile();
}

QString soundDirFor(const QString &executablePath)
{
    qsizetype cut = executablePath.lastIndexOf(QLatin1Char('/'));
#ifdef Q_OS_WIN
    cut = std::max({cut, executablePath.lastIndexOf(QLatin1Char('\\')), executablePath.lastIndexOf(QLatin1Char(':'))});
#endif
    // Written as the system writes paths: the default cue paths are shown in the sound tab.
    return QDir::toNativeSeparators(executablePath.left(cut + 1)) + QStringLiteral("sounds") + QDir::separator();
}

void PrepareCues(CueChannels &cues, const CueFieldTexts &pathFieldTexts, const QString &sound_dir)
{
    // Same order as the path fields and the default names.
    const std::array<SoundChannel *, kCueCount> byField = {cues.mpOver, cues.mpRest, cues.mpStart,
                                                           cues.mpTick, cues.mpWork, cues.mpMusic};
    for (std::size_t i = 0; i < byField.size(); ++i) {
        const QString &text = pathFieldTexts[i];
        byField[i]->setFileName(namesExistingFile(text) ? text : sound_dir + QString::fromLatin1(kDefaultCueFiles[i]));
    }

    // Work is opened before Tick here; the order shows when an open fails part way.
    for (SoundChannel *channel : {cues.mpOver, cues.mpRest, cues.mpStart, cues.mpWork, cues.mpTick, cues.mpMusic}) {
        if (namesExistingFile(channel->fileName()))
            channel->open();
    }
}

} // namespace sound
