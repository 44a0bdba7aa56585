#pragma once

// The six cue channels of a workout and the choice, at every START, of the file each one plays.

#include "sound/soundchannel.h"

#include <QString>
#include <array>

namespace sound {

// The number of cues, and so of path fields on the sound tab: Over, Rest, Start, Tick, Work, Music.
inline constexpr int kCueCount = 6;

// The texts of the path fields edit1..edit6, in that order.
using CueFieldTexts = std::array<QString, kCueCount>;

// The channels the sequencer plays. The window owns them; this only points at them.
struct CueChannels {
    SoundChannel *mpOver = nullptr;
    SoundChannel *mpRest = nullptr;
    SoundChannel *mpStart = nullptr;
    SoundChannel *mpTick = nullptr;
    SoundChannel *mpWork = nullptr;
    SoundChannel *mpMusic = nullptr;
};

// Default file of each cue in the sounds folder, in the order of the path fields edit1..edit6
// (Over, Rest, Start, Tick, Work, Music). The case is part of the name.
inline constexpr std::array<const char *, kCueCount> kDefaultCueFiles = {"over.wav", "Rest.wav", "Start.wav",
                                                                         "Tick.wav", "Work.wav", "vintra.mp3"};

// True only for an existing file, links followed: false for folders, missing paths, dangling
// links and empty text. The text is used as it is, relative paths against the current folder.
// The cue set and the sound tab's preview both decide with it whether a path field counts.
bool namesExistingFile(const QString &text);

// The sounds folder beside an executable: its folder (everything up to and including the last
// separator) followed by "sounds" and the native separator. Works for paths of any length.
QString soundDirFor(const QString &executablePath);

// Resolves each cue's file (the path field's text when it names an existing file, otherwise
// sound_dir + the default name) and opens, afresh, every channel whose file exists. A channel
// whose file is missing is left exactly as it was. A failing open throws the channel's
// MediaError and leaves the channels after it in the opening order untouched.
void PrepareCues(CueChannels &cues, const CueFieldTexts &pathFieldTexts, const QString &sound_dir);

} // namespace sound
