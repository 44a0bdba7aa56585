#pragma once

// The program's one audio output: a small mixer that sums every channel created from it, on
// two SDL2 devices, one per stream (see Stream). The application object owns it; channels must
// not outlive it (if they do, they are closed and refuse to open again).

#include "sound/soundchannel.h"

#include <QString>
#include <memory>

namespace sound {

class AudioOutput {
public:
    // Long enough to keep the device across the usual gap between a tick cue and the cue of the
    // phase change three seconds later.
    static constexpr int kDefaultCloseAfterIdleMs = 3000;

    // The music's device buffer (372 ms at 44.1 kHz): what the server holds of it rides out a
    // stall of the callback, or of the whole machine. A virtual machine under load was seen to
    // stop every thread, real-time ones included, for up to 103 ms. PulseAudio (asked by SDL to
    // keep the whole latency at one buffer) holds about half of it: 185-205 ms measured, where
    // 8192 frames held only 77-112 ms and a stop of 100 ms broke the music now and then.
    static constexpr int kMusicBufferFrames = 16384;

    // When the output first reaches for the sound server: at once, or at connect() (or the first
    // channel's open or play, whichever comes first). Starting the audio libraries and opening
    // the first device takes tens of milliseconds of CPU, which a program may rather spend on
    // its window first.
    enum class Connect { AtOnce, Later };

    // bufferFrames: frames per buffer of the cues' device: small, because a cue must start
    // within a few milliseconds. musicBufferFrames: the same for the music's device.
    // closeAfterIdleMs: how long a device stays open once nothing plays on it. A paused SDL
    // device still feeds silence to the sound server, so an idle output closes it and opens a
    // new one at the next play (about a millisecond on PulseAudio).
    explicit AudioOutput(int bufferFrames = 512, int closeAfterIdleMs = kDefaultCloseAfterIdleMs,
                         Connect connect = Connect::AtOnce, int musicBufferFrames = kMusicBufferFrames);
    ~AudioOutput();
    AudioOutput(const AudioOutput &) = delete;
    AudioOutput &operator=(const AudioOutput &) = delete;

    std::unique_ptr<SoundChannel> createChannel(Stream stream = Stream::Cues);
    // Lets an output made with Connect::Later reach for the server now; returns at once.
    void connect();

    // Whether a device is open and consuming audio now: from a play until shortly after every
    // channel of its stream has gone idle, when the device is paused.
    bool isRunning() const;
    // Whether any device of this output still exists: one in use, or an old one still being
    // closed in the background. False once the output has idled for closeAfterIdleMs and the
    // close has finished; then the output costs no CPU.
    bool isDeviceOpen() const;
    // SDL driver in use ("pulseaudio", "alsa", "dummy", "disk", ...), also while the device is
    // closed.
    QString driverName() const;
    // True when no real device could be opened and output goes silently to the dummy driver.
    bool isSilentFallback() const;
    int sampleRate() const;
    int bufferFrames(Stream stream = Stream::Cues) const;

    struct Impl;

private:
    std::shared_ptr<Impl> d;
};

} // namespace sound
