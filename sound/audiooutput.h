#pragma once

// The program's one audio output: an SDL2 device and a small mixer that sums every channel
// created from it. The application object owns it; channels must not outlive it (if they do,
// they are closed and refuse to open again).

#include "sound/soundchannel.h"

#include <QString>
#include <memory>

namespace sound {

class AudioOutput {
public:
    // frames per device buffer: small, because a cue must start within a few milliseconds.
    explicit AudioOutput(int bufferFrames = 512);
    ~AudioOutput();
    AudioOutput(const AudioOutput &) = delete;
    AudioOutput &operator=(const AudioOutput &) = delete;

    std::unique_ptr<SoundChannel> createChannel();

    // Whether the device is consuming audio now. It is paused while every channel is idle.
    bool isRunning() const;
    // SDL driver in use ("pulseaudio", "alsa", "dummy", "disk", ...).
    QString driverName() const;
    // True when no real device could be opened and output goes silently to the dummy driver.
    bool isSilentFallback() const;
    int sampleRate() const;
    int bufferFrames() const;

    struct Impl;

private:
    std::shared_ptr<Impl> d;
};

} // namespace sound
