#pragma once

#include "common/error.h"

#include <QString>
#include <QtGlobal>
#include <chrono>
#include <string>

namespace sound {

// Modes in the order callers and stored code have always counted them.
enum class TMPModes { mpNotReady, mpStopped, mpPlaying, mpRecording, mpSeeking, mpPaused, mpOpen };

// Which of the output's streams a channel plays on. Cues go out through a small buffer, so they
// start within a few milliseconds of their play; the music through a deep one, because a break
// in it is heard and a tenth of a second more before it starts or stops is not.
enum class Stream { Cues, Music };

// Raised by a channel: the message is what the user sees in the error box.
class MediaError : public vintra::Error {
public:
    using vintra::Error::Error;
};

// Text of the error raised by every operation that needs an open channel.
inline constexpr const char *kNoDeviceOpen = "No MCI device open";

// Raised by every operation that needs an open channel when the channel is not open. Its own
// type, because the sequencer treats a cue whose file was missing at START as silence and must
// tell that from every other failure without reading the text.
class NoDeviceOpen : public MediaError {
public:
    NoDeviceOpen() : MediaError(QString::fromLatin1(kNoDeviceOpen)) {}
};

// One playable sound. Positions and lengths are in frames of the decoded file, so a sound that
// has played to its end has position() == length() exactly.
//
// Contract shared by every implementation:
//  - open(): closes first; opens fileName(); on failure raises MediaError with the back end's
//    own text and the channel is not open. On success the channel is stopped at frame 0.
//  - close(): releases the sound; does nothing when not open.
//  - Every operation below that "needs an open channel" raises NoDeviceOpen without one.
//  - play(): needs an open channel; rewinds first when position() == length(); plays from the
//    current position and returns at once; on a channel that already plays it changes nothing.
//  - playAt(due): play(), with the sound's first frame heard at `due` (the steady clock) rather
//    than at once, when `due` is still ahead; one already past starts at once. mode() reads
//    mpPlaying from the call; a stop() or pause() before `due` means it is never heard (a pause
//    then resumed plays at once). A back end that cannot place a sound plays it at once.
//  - stop(): needs an open channel; halts, the position stays.
//  - pause(): needs an open channel; playing -> paused, paused -> playing, otherwise nothing.
//  - setPosition(): needs an open channel.
//  - mode(): never throws; a channel that is not open reads mpNotReady, never mpPlaying.
//  - position(): 0 when not open. length(): needs an open channel.
//  - setFileName(): only stores the text; an open sound goes on with its old file.
class SoundChannel {
public:
    virtual ~SoundChannel() = default;

    virtual QString fileName() const = 0;
    virtual void setFileName(const QString &name) = 0;
    virtual bool isOpen() const = 0;

    virtual void open() = 0;
    virtual void close() = 0;
    virtual void play() = 0;
    // A workout's tick is handled a little ahead of its second, so that a late GUI thread does not
    // make the cue late: the cue is handed over with its second.
    virtual void playAt(std::chrono::steady_clock::time_point due)
    {
        (void)due;
        play();
    }
    // A play of this channel is expected at `due` (the steady clock): a back end may get ready
    // for it, and let go of what it holds between plays. Only a hint: it never throws, and a
    // play that does not come changes nothing.
    virtual void expectPlayAt(std::chrono::steady_clock::time_point due) { (void)due; }
    virtual void stop() = 0;
    virtual void pause() = 0;
    virtual void setPosition(qint64 frame) = 0;

    virtual TMPModes mode() const = 0;
    virtual qint64 position() const = 0;
    virtual qint64 length() const = 0;
};

} // namespace sound
